// Whole-file reading and atomic replacement on POSIX, for the command's engine.
//
// Failures throw OsError, whose text is the one the host gives an OSError
// ("[Errno 2] No such file or directory: '/var/lib/state.json'"), so a console line reads the
// same whichever services ran the cycle.
#pragma once

#include "common/services.hpp"

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace emberscope::native {

/// An operating-system error of a file operation.
class OsError : public std::runtime_error {
public:
    OsError(int number, std::string_view path);
    int number() const { return number_; }

private:
    int number_;
};

/// Content that is not UTF-8, refused as the host's text reader refuses it.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The bytes a path names on the file system: a path's text as the interpreter hands it over
/// (UTF-8, a name byte that is not UTF-8 kept as the lone surrogate U+DC80..U+DCFF, as
/// `os.fsdecode` gives it) turned back into the bytes `os.fsencode` would give.
std::string fs_path(std::string_view path);

/// True when `path` names a regular file (links followed).
bool is_regular_file(std::string_view path);

/// The file's content as text (line ends "\r\n" and "\r" read as "\n", as the host's text
/// reader reads them), or nullopt when it cannot be opened or read. Throws DecodeError when the
/// content is not UTF-8.
std::optional<std::string> read_text_file(std::string_view path);

/// The file's content as text, as read_text_file reads it, or why there is none: missing (only
/// when nothing is at the path), not UTF-8, or unreadable (a directory, a pipe or device, a
/// permission or I/O error), with the reason in the host's words.
FileText read_text(std::string_view path);

/// The kernel's boot id (/proc/sys/kernel/random/boot_id), "" where there is none.
std::string boot_id();

/// Replaces the file's content through a temporary file beside it (synced, then renamed over
/// it, then the directory synced), keeping the permissions of the file it replaces. A path that
/// is not a regular file is refused; temporary files left by processes that no longer run are
/// removed on the way. `between_steps`, when given, runs after the clean-up and again before
/// the rename: what it throws (a stop) ends the save there, the file as it was.
void replace_file_atomically(std::string_view path, std::string_view content,
                             const std::function<void()>& between_steps = {});

/// rename(2); throws OsError naming `from`.
void rename_path(std::string_view from, std::string_view to);

/// unlink(2); a missing file is not an error.
void remove_path(std::string_view path);

}  // namespace emberscope::native
