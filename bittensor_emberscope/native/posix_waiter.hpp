// One sleep between two watch cycles on POSIX: it ends at the first of the deadline, the pause
// file appearing, a wake descriptor becoming readable or the watchdog falling due, so a process
// that waits minutes wakes only when something happened.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace emberscope::native {

/// How often the pause file is looked at when its folder cannot be watched (it does not exist,
/// or the kernel offers no inotify), or when the pause path is a link whose target may change.
inline constexpr double kPausePollSeconds = 2.0;

/// What one wait is for.
struct WaitFor {
    /// Until the deadline, on the monotonic clock; 0 or less ends the wait at once.
    double seconds = 0;
    /// The pause file; "" when pausing is off.
    std::string pause_path;
    /// A descriptor whose readability ends the wait (the interpreter's signal wake-up socket,
    /// written by its signal handler and by the bot's poller); -1 for none. Its bytes are left
    /// for the caller to read.
    int wake_fd = -1;
    /// Until the watchdog is due, when there is one to feed.
    std::optional<double> watchdog_seconds;
    /// How often the pause file is looked at when it cannot be watched.
    double pause_poll_seconds = kPausePollSeconds;
};

/// Why a wait ended. `woken` also covers a signal that interrupted it.
enum class WaitEnd { deadline, paused, woken, watchdog };

/// The end's name as the host sees it: "deadline", "paused", "woken", "watchdog".
std::string_view wait_end_name(WaitEnd end);

/// True when the pause file exists: a regular file (links followed) at a path that is not empty.
bool pause_file_present(std::string_view pause_path);

/// Sleeps until the first of the events of `what` and says which one it was. The pause file is
/// looked at first (one already there ends the wait at once), then watched through inotify on
/// its folder and confirmed by pause_file_present; an event for another name, or a directory
/// named like the pause file, does not end the wait.
WaitEnd wait_for_first(const WaitFor& what);

}  // namespace emberscope::native
