// The services of `watch`'s loop on POSIX: the system's clocks, one sleep that ends on the first
// event (native/posix_waiter.hpp), the wake-up descriptor, and systemd's notifications with a
// watchdog fed by a timer thread while a cycle runs. Nothing here knows the interpreter: the
// module's glue (host/) runs the signal handlers and lets go of the interpreter's lock.
#pragma once

#include "engine/watch_loop.hpp"
#include "native/systemd_notify.hpp"

namespace emberscope::native {

class PosixLoopServices : public engine::LoopServices {
public:
    /// `wake_fd`: the descriptor whose bytes end a wait (a signal's number, the bot's zero
    /// byte); -1 for none. It is read, never closed.
    PosixLoopServices(SystemdNotifier& notifier, int wake_fd);

    double monotonic() override;
    double wall_clock() override;
    bool paused(std::string_view pause_path) override;
    engine::SleepEnd sleep(double seconds, std::string_view pause_path,
                           std::optional<double> watchdog_in) override;
    engine::Woken drain() override;
    /// No handlers here.
    void run_signal_handlers() override {}
    void notify(std::string_view fields) override;
    std::optional<double> watchdog_period() override;
    void cover_cycle(bool on, double limit) override;

protected:
    SystemdNotifier& notifier() { return notifier_; }
    int wake_fd() const { return wake_fd_; }

private:
    SystemdNotifier& notifier_;
    CycleWatchdog watchdog_;
    int wake_fd_;
};

/// True when the wake-up descriptor has bytes waiting (never for -1).
bool wake_pending(int fd);

/// What a wake-up descriptor's pending bytes say: a zero byte is the bot's, any other a signal's
/// number. Reads until nothing is left (the descriptor is non-blocking) or it is closed.
engine::Woken drain_wake_descriptor(int fd);

}  // namespace emberscope::native
