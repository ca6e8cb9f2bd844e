// The program's services.
#include "program/services.hpp"

#include "reports/telegram_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <utility>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace emberscope::program {
std::optional<std::string> environment_variable(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string telegram_api_base() {
    const std::optional<std::string> base = environment_variable("TELEGRAM_API_BASE");
    return base && !base->empty() ? *base : std::string(reports::kDefaultTelegramBase);
}

Clock::Clock(double scale)
    : scale_(std::isfinite(scale) && scale > 1 ? scale : 1),
      wall0_(native::clock_seconds(CLOCK_REALTIME)),
      mono0_(native::clock_seconds(CLOCK_MONOTONIC)) {}

Clock Clock::from_environment() {
    const char* text = std::getenv("EMBERSCOPE_TIME_SCALE");
    if (text == nullptr || *text == '\0') return Clock(1);
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    return Clock(end != nullptr && *end == '\0' ? scale : 1);
}

double Clock::wall() const {
    const double now = native::clock_seconds(CLOCK_REALTIME);
    if (scale_ == 1) return now;
    return wall0_ + (native::clock_seconds(CLOCK_MONOTONIC) - mono0_) * scale_;
}

double Clock::monotonic() const {
    const double now = native::clock_seconds(CLOCK_MONOTONIC);
    return scale_ == 1 ? now : mono0_ + (now - mono0_) * scale_;
}

ProgramServices::ProgramServices(Console& console, const Clock& clock, const Signals* signals,
                                 int cancel_fd)
    : console_(console), clock_(clock), signals_(signals), cancel_fd_(cancel_fd) {
    if (signals_ != nullptr) curl().set_wake_fd(signals_->exchange_fd());
    else if (cancel_fd_ >= 0) curl().set_wake_fd(cancel_fd_);
}

std::optional<std::string> ProgramServices::environment(std::string_view name) {
    if (key_ && name == "TAOSTATS_API_KEY") return key_;
    return PosixServices::environment(name);
}

void ProgramServices::console(std::string_view line) {
    for (char c : line) lines_ += c == '\n' ? 1 : 0;
    console_.say(line);
}

void ProgramServices::check_signals() {
    if (cancel_fd_ >= 0 && native::wake_pending(cancel_fd_))
        throw std::runtime_error("cancelled: the bot is closing");
    if (signals_ == nullptr) return;
    signals_->drain_exchange_fd();  // a SIGHUP's byte must not keep an exchange awake
    signals_->check();
}

void ProgramServices::sleep(double seconds) { PosixServices::sleep(clock_.real(seconds)); }

ProgramLoopServices::ProgramLoopServices(native::SystemdNotifier& notifier, const Signals& signals,
                                         const Clock& clock)
    : PosixLoopServices(notifier, signals.wake_fd()), signals_(signals), clock_(clock) {}

engine::SleepEnd ProgramLoopServices::sleep(double seconds, std::string_view pause_path,
                                            std::optional<double> watchdog_in) {
#if defined(__GLIBC__)
    // The first sleep after a cycle: the listing and messages it freed go back to the system
    // rather than counting for the waiting process.
    if (std::exchange(trim_, false)) ::malloc_trim(0);
#endif
    if (watchdog_in) watchdog_in = clock_.real(*watchdog_in);
    const engine::SleepEnd end =
        PosixLoopServices::sleep(clock_.real(seconds), pause_path, watchdog_in);
    signals_.check();
    return end;
}

std::optional<double> ProgramLoopServices::watchdog_period() {
    const std::optional<double> half = PosixLoopServices::watchdog_period();
    if (clock_.scale() == 1 || !notifier().enabled()) return half;
    constexpr double kFeedSeconds = 2.0;
    return half ? std::min(*half, kFeedSeconds) : kFeedSeconds;
}

void ProgramLoopServices::cover_cycle(bool on, double limit) {
    PosixLoopServices::cover_cycle(on, limit);
    if (!on) trim_ = true;
}

}  // namespace emberscope::program
