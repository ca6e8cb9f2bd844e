// The files beside the state file, the regular-file rule and the state lock.
#include "records/files.hpp"

#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/outbox.hpp"
#include "native/posix_files.hpp"

namespace emberscope::records {

std::string status_path(std::string_view state) { return engine::beside_state(state, ".status.json"); }
std::string history_path(std::string_view state) { return engine::beside_state(state, ".history.jsonl"); }
std::string rotated_history_path(std::string_view state) { return history_path(state) + ".1"; }
std::string outbox_path(std::string_view state) { return engine::outbox_path(state); }
std::string mutes_path(std::string_view state) { return engine::beside_state(state, ".mutes.json"); }
std::string bot_offset_path(std::string_view state) {
    return engine::beside_state(state, ".bot-offset.json");
}
std::string lock_path(std::string_view state) { return engine::beside_state(state, ".lock"); }

std::string describe_kind(unsigned mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a regular file";
}

std::optional<std::string> irregular(std::string_view path) {
    if (path.empty()) return std::nullopt;
    struct stat st {};
    if (::stat(native::fs_path(path).c_str(), &st) != 0) return std::nullopt;
    if (S_ISREG(st.st_mode)) return std::nullopt;
    return std::string(path) + " is " + describe_kind(st.st_mode) + ", not a regular file";
}

std::vector<std::string> own_files(std::string_view state, std::string_view pause_path) {
    return {status_path(state), history_path(state), rotated_history_path(state), outbox_path(state),
            mutes_path(state), bot_offset_path(state), lock_path(state), std::string(pause_path)};
}

std::vector<std::string> irregular_files(std::string_view state, std::string_view pause_path) {
    std::vector<std::string> problems;
    for (const std::string& path : own_files(state, pause_path))
        if (std::optional<std::string> problem = irregular(path)) problems.push_back(std::move(*problem));
    return problems;
}

int open_regular(std::string_view path, int flags, unsigned mode) {
    const int fd = ::open(native::fs_path(path).c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd < 0) throw native::OsError(errno, path);
    struct stat st {};
    const int error = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (error != 0) {
        ::close(fd);
        throw native::OsError(error, path);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<std::string> read_regular(std::string_view path, std::size_t limit) {
    int fd = -1;
    try {
        fd = open_regular(path, O_RDONLY);
    } catch (const native::OsError&) {
        return std::nullopt;
    }
    std::string out;
    char buffer[65536];
    while (out.size() < limit) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

namespace {

std::optional<long> recorded_pid(int fd) {
    char buffer[32];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    std::string_view text(buffer, static_cast<std::size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' ||
                             text.back() == '\r'))
        text.remove_suffix(1);
    if (text.empty() || text.size() > 18) return std::nullopt;
    long pid = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        pid = pid * 10 + (c - '0');
    }
    return pid;
}

}  // namespace

std::string StateLock::Busy::holder() const {
    return pid ? "pid " + std::to_string(*pid) : std::string("another process");
}

StateLock::StateLock(std::string_view state_path) : path_(lock_path(state_path)) {}

StateLock::~StateLock() { release(); }

std::optional<StateLock::Busy> StateLock::acquire(double wait_seconds) {
    if (fd_ >= 0) return std::nullopt;
    const int fd = open_regular(path_, O_RDWR | O_CREAT);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration<double>(std::max(0.0, wait_seconds));
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EWOULDBLOCK) {
            ::close(fd);
            throw native::OsError(error, path_);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Busy busy{recorded_pid(fd)};
            ::close(fd);
            return busy;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        const int error = errno;
        ::close(fd);
        throw native::OsError(error, path_);
    }
    fd_ = fd;
    return std::nullopt;
}

void StateLock::release() {
    if (fd_ < 0) return;
    // Still held here: nobody else writes the file meanwhile.
    [[maybe_unused]] const int ignored = ::ftruncate(fd_, 0);
    ::close(fd_);
    fd_ = -1;
}

std::optional<LockHolder> lock_holder(std::string_view state_path) {
    int fd = -1;
    try {
        fd = open_regular(lock_path(state_path), O_RDONLY);
    } catch (const native::OsError&) {
        return std::nullopt;
    }
    std::optional<LockHolder> out;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        out = LockHolder{false, std::nullopt};
    } else if (errno == EWOULDBLOCK) {
        out = LockHolder{true, recorded_pid(fd)};
    }
    ::close(fd);
    return out;
}

}  // namespace emberscope::records
