// The services the program's engine runs on: the POSIX ones, with the program's console, its
// signals and its clock.
#pragma once

#include "native/loop_services.hpp"
#include "native/posix_services.hpp"
#include "program/console.hpp"
#include "program/signals.hpp"

namespace emberscope::program {

/// A variable of the process's environment; nullopt when unset.
std::optional<std::string> environment_variable(std::string_view name);
/// The Bot API origin: TELEGRAM_API_BASE, else Telegram's own.
std::string telegram_api_base();

/// The program's clock. Normally the system's own; with EMBERSCOPE_TIME_SCALE=N (N > 1, for the
/// demo and the tests of the command) a clock that runs N times faster from the start: every
/// sleep is N times shorter and both clocks move on by what was slept, so waits, holds and ages
/// keep their proportions.
class Clock {
public:
    explicit Clock(double scale = 1);
    /// The scale the environment asks for (1 when unset or not a number > 1).
    static Clock from_environment();

    double wall() const;
    double monotonic() const;
    /// The real seconds of `seconds` on this clock.
    double real(double seconds) const { return seconds / scale_; }
    double scale() const { return scale_; }

private:
    double scale_;
    double wall0_;
    double mono0_;
};

class ProgramServices : public native::PosixServices {
public:
    /// `signals`: whose stops end a sleep or an exchange under way (nullptr: none).
    /// `cancel_fd`: a descriptor whose readability ends an exchange under way with an ordinary
    /// error (the bot's threads, closing); -1 for none.
    ProgramServices(Console& console, const Clock& clock, const Signals* signals,
                    int cancel_fd = -1);

    /// The Taostats key from a file stands in for TAOSTATS_API_KEY.
    void set_taostats_key(std::string key) { key_ = std::move(key); }
    std::optional<std::string> environment(std::string_view name) override;
    void console(std::string_view line) override;
    /// Lines these services wrote to the console.
    std::size_t lines() const { return lines_; }
    void check_signals() override;
    double epoch_seconds() override { return clock_.wall(); }
    double monotonic_seconds() override { return clock_.monotonic(); }
    void sleep(double seconds) override;

private:
    Console& console_;
    const Clock& clock_;
    const Signals* signals_;
    int cancel_fd_;
    std::optional<std::string> key_;
    std::size_t lines_ = 0;
};

/// The loop's services: the POSIX ones on the program's clock, its signals' stops raised.
class ProgramLoopServices : public native::PosixLoopServices {
public:
    ProgramLoopServices(native::SystemdNotifier& notifier, const Signals& signals,
                        const Clock& clock);

    double monotonic() override { return clock_.monotonic(); }
    double wall_clock() override { return clock_.wall(); }
    engine::SleepEnd sleep(double seconds, std::string_view pause_path,
                           std::optional<double> watchdog_in) override;
    void run_signal_handlers() override { signals_.check(); }
    /// On a faster clock under notifications, the watchdog is fed every two seconds of it (or
    /// every half interval when that is shorter), whether or not systemd asked for it: what a
    /// test of the notifications sees in moments.
    std::optional<double> watchdog_period() override;
    void cover_cycle(bool on, double limit) override;

private:
    const Signals& signals_;
    const Clock& clock_;
    bool trim_ = true;
};

}  // namespace emberscope::program
