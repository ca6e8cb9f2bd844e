// The command's own files beside the state file: their names, the rule that opens them only when
// they are regular files, and the lock that keeps two runs off one state file.
//
// A FIFO, a device or a socket in place of one of these files would block a reader or a writer
// forever, or swallow what is written: every open here is non-blocking, and refuses anything but
// a regular file. The lock file (`state.lock` for `state.json`) is held with flock(2) for a whole
// cycle, and by `watch` for its whole run; it records the holder's pid. The kernel lets go of it
// when the holder ends, however it ends, so a non-blocking attempt tells whether one is alive.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace emberscope::records {

/// The files beside `state_path` ("X.json" -> "X.status.json"; another name gets the suffix).
std::string status_path(std::string_view state_path);
std::string history_path(std::string_view state_path);
/// The history log's previous generation, where it goes when it outgrows its size.
std::string rotated_history_path(std::string_view state_path);
std::string outbox_path(std::string_view state_path);
std::string mutes_path(std::string_view state_path);
std::string bot_offset_path(std::string_view state_path);
std::string lock_path(std::string_view state_path);

/// What a file of this st_mode is, in words ("a FIFO", "a directory", ...).
std::string describe_kind(unsigned mode);

/// Why `path` cannot be one of the command's files ("P is a FIFO, not a regular file"), or
/// nullopt for a regular file, nothing at all, or a path that cannot be looked at.
std::optional<std::string> irregular(std::string_view path);

/// Every file a monitoring command opens beside the state file, besides the state file itself:
/// status, history and its older generation, outbox, mutes, bot offset, lock, and `pause_path`.
std::vector<std::string> own_files(std::string_view state_path, std::string_view pause_path);

/// What is wrong with each of those that is not a regular file (a FIFO would block the cycle),
/// in that order; empty when nothing is.
std::vector<std::string> irregular_files(std::string_view state_path, std::string_view pause_path);

/// open(2) of a regular file only, never blocking on anything else: the descriptor (blocking,
/// close-on-exec). Throws native::OsError (ENOENT, EACCES, ...; EINVAL naming the kind for a
/// FIFO or a device).
int open_regular(std::string_view path, int flags, unsigned mode = 0666);

/// The first `limit` bytes of the regular file `path`; nullopt when it is missing, not a
/// regular file, or cannot be read.
std::optional<std::string> read_regular(std::string_view path, std::size_t limit = 1 << 20);

/// An exclusive flock(2) on the state file's lock file, recording this process's pid in it.
class StateLock {
public:
    explicit StateLock(std::string_view state_path);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    /// Who holds the lock when it could not be taken: its recorded pid, if it wrote one.
    struct Busy {
        std::optional<long> pid;
        /// "pid N", or "another process".
        std::string holder() const;
    };

    /// Takes the lock, trying every tenth of a second for up to `wait_seconds`: nullopt once
    /// held, Busy when another process keeps it. Throws native::OsError when the lock file
    /// cannot be opened.
    std::optional<Busy> acquire(double wait_seconds = 0);
    /// Lets go (the recorded pid is cleared first); nothing when not held.
    void release();
    bool held() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

/// Whether a process holds the lock right now, and the pid it recorded; nullopt when that
/// cannot be told (no lock file, or one this user cannot open). Never waits.
struct LockHolder {
    bool held = false;
    std::optional<long> pid;
};
std::optional<LockHolder> lock_holder(std::string_view state_path);

}  // namespace emberscope::records
