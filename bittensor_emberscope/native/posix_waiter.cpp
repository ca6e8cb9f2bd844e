// One sleep between two watch cycles on POSIX.
#include "native/posix_waiter.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include "native/posix_files.hpp"

namespace emberscope::native {
namespace {

constexpr std::uint32_t kPauseEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB;
// The folder itself going away ends its watch: the wait falls back to looking.
constexpr std::uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

double now_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

timespec span_of(double seconds) {
    seconds = std::clamp(seconds, 0.0, 1e9);
    const double whole = std::floor(seconds);
    long nanos = static_cast<long>((seconds - whole) * 1e9) + 1;  // never a moment early
    if (nanos >= 1'000'000'000L) nanos = 999'999'999L;
    return {static_cast<time_t>(whole), nanos};
}

// The folder that holds the pause file, watched through inotify while it can be.
class PauseWatch {
public:
    explicit PauseWatch(std::string_view pause_text) {
        if (pause_text.empty()) return;
        const std::string pause_path = fs_path(pause_text);
        const std::size_t slash = pause_path.rfind('/');
        if (slash == std::string::npos) {
            folder_ = ".";
        } else {
            folder_ = std::string(pause_path.substr(0, slash == 0 ? 1 : slash));
            if (slash + 1 == pause_path.size()) folder_.clear();  // no name: nothing to watch
        }
        // A link may point into another folder, whose changes this watch would not see.
        struct stat st {};
        link_ = ::lstat(pause_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        start();
    }
    ~PauseWatch() { stop(); }
    PauseWatch(const PauseWatch&) = delete;
    PauseWatch& operator=(const PauseWatch&) = delete;

    /// The inotify descriptor, -1 while not watching.
    int fd() const { return fd_; }
    /// True when the pause file must be looked at now and then: no watch, or a link.
    bool needs_looking() const { return fd_ < 0 || link_; }

    /// Watches the folder when it can; a folder that does not exist yet is tried again later.
    void start() {
        if (fd_ >= 0 || folder_.empty()) return;
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) return;
        if (::inotify_add_watch(fd_, folder_.c_str(), kPauseEvents | IN_ONLYDIR) < 0) stop();
    }

    /// Reads what is pending; the watch ends when the folder went away.
    void drain() {
        alignas(inotify_event) char buffer[4096];
        bool gone = false;
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->mask & kFolderGone) gone = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        if (gone) stop();
    }

private:
    void stop() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    std::string folder_;
    bool link_ = false;
    int fd_ = -1;
};

}  // namespace

std::string_view wait_end_name(WaitEnd end) {
    switch (end) {
        case WaitEnd::deadline: return "deadline";
        case WaitEnd::paused: return "paused";
        case WaitEnd::woken: return "woken";
        case WaitEnd::watchdog: return "watchdog";
    }
    return "deadline";
}

bool pause_file_present(std::string_view pause_path) {
    return !pause_path.empty() && is_regular_file(pause_path);
}

WaitEnd wait_for_first(const WaitFor& what) {
    const double start = now_seconds();
    const double deadline = start + (what.seconds > 0 ? what.seconds : 0);
    const double watchdog_at = what.watchdog_seconds
                                   ? start + std::max(0.0, *what.watchdog_seconds)
                                   : std::numeric_limits<double>::infinity();
    const double poll_every = what.pause_poll_seconds > 0 ? what.pause_poll_seconds : kPausePollSeconds;
    // Watching begins before the first look, so that a file made in between is not missed.
    PauseWatch watch(what.pause_path);
    double look_at = start + poll_every;
    for (;;) {
        if (pause_file_present(what.pause_path)) return WaitEnd::paused;
        const double now = now_seconds();
        if (now >= deadline) return WaitEnd::deadline;
        if (now >= watchdog_at) return WaitEnd::watchdog;
        const bool looking = !what.pause_path.empty() && watch.needs_looking();
        if (looking && now >= look_at) {
            watch.start();  // the folder may exist by now
            look_at = now + poll_every;
            continue;
        }
        double until = std::min(deadline, watchdog_at);
        if (looking) until = std::min(until, look_at);

        pollfd fds[2];
        nfds_t count = 0;
        int wake_slot = -1, watch_slot = -1;
        if (what.wake_fd >= 0) {
            wake_slot = static_cast<int>(count);
            fds[count++] = {what.wake_fd, POLLIN, 0};
        }
        if (watch.fd() >= 0) {
            watch_slot = static_cast<int>(count);
            fds[count++] = {watch.fd(), POLLIN, 0};
        }
        const timespec timeout = span_of(until - now);
        const int ready = ::ppoll(fds, count, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) return WaitEnd::woken;  // a signal: its handler is the caller's
            // Nothing else is expected of ppoll; sleep out the span rather than spin.
            ::nanosleep(&timeout, nullptr);
            continue;
        }
        if (wake_slot >= 0 && fds[wake_slot].revents != 0) return WaitEnd::woken;
        if (watch_slot >= 0 && fds[watch_slot].revents != 0) watch.drain();
    }
}

}  // namespace emberscope::native
