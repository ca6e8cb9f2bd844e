// `watch`'s loop services on POSIX.
#include "native/loop_services.hpp"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "native/posix_services.hpp"
#include "native/posix_waiter.hpp"

namespace emberscope::native {

PosixLoopServices::PosixLoopServices(SystemdNotifier& notifier, int wake_fd)
    : notifier_(notifier), watchdog_(notifier), wake_fd_(wake_fd) {}

double PosixLoopServices::monotonic() { return clock_seconds(CLOCK_MONOTONIC); }

double PosixLoopServices::wall_clock() { return clock_seconds(CLOCK_REALTIME); }

bool PosixLoopServices::paused(std::string_view pause_path) {
    return pause_file_present(pause_path);
}

engine::SleepEnd PosixLoopServices::sleep(double seconds, std::string_view pause_path,
                                          std::optional<double> watchdog_in) {
    WaitFor what;
    what.seconds = seconds;
    what.pause_path = std::string(pause_path);
    what.wake_fd = wake_fd_;
    what.watchdog_seconds = watchdog_in;
    switch (wait_for_first(what)) {
        case WaitEnd::deadline: return engine::SleepEnd::deadline;
        case WaitEnd::paused: return engine::SleepEnd::paused;
        case WaitEnd::woken: return engine::SleepEnd::woken;
        case WaitEnd::watchdog: return engine::SleepEnd::watchdog;
    }
    return engine::SleepEnd::deadline;
}

engine::Woken PosixLoopServices::drain() { return drain_wake_descriptor(wake_fd_); }

void PosixLoopServices::notify(std::string_view fields) { notifier_.send(fields); }

std::optional<double> PosixLoopServices::watchdog_period() {
    if (!notifier_.enabled() || !notifier_.watchdog_seconds()) return std::nullopt;
    return *notifier_.watchdog_seconds() / 2;
}

void PosixLoopServices::cover_cycle(bool on, double limit) {
    if (on)
        watchdog_.begin(limit);
    else
        watchdog_.end();
}

bool wake_pending(int fd) {
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

engine::Woken drain_wake_descriptor(int fd) {
    engine::Woken woken;
    char buffer[256];
    // Only what is there now: a descriptor left blocking must not hold the loop.
    while (wake_pending(fd)) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) (buffer[i] == 0 ? woken.poked : woken.signalled) = true;
    }
    return woken;
}

}  // namespace emberscope::native
