// The poll loop and its pause control.
#include "driver/poll.hpp"

#include <algorithm>
#include <exception>

#include "driver/console.hpp"

namespace emberscope::driver {

bool burn_is_paused(Services& services, std::string_view pause_path) {
    return !pause_path.empty() && services.is_file(pause_path);
}

bool sleep_until_interval(Services& services, double interval_seconds,
                          std::string_view pause_path) {
    // The wait is the sum of the sleeps, no clock is read; NaN ends it at once, infinity never.
    // Each sleep runs the handlers of signals that arrived, so Ctrl-C ends a wait within a step.
    double remaining = interval_seconds;
    while (remaining > 0.0) {
        if (burn_is_paused(services, pause_path)) return false;
        const double step = std::min(remaining, 1.0);
        services.sleep(step);
        remaining -= step;
    }
    return !burn_is_paused(services, pause_path);
}

void run_poll_loop(Services& services, double interval_minutes, std::string_view pause_path,
                   const std::function<void()>& cycle) {
    const double interval = poll_interval_seconds(interval_minutes);
    if (!sleep_until_interval(services, interval, pause_path)) {
        services.console(kPausedLine);
        return;
    }
    for (;;) {
        if (burn_is_paused(services, pause_path)) {
            services.console(kPausedLine);
            return;
        }
        try {
            cycle();
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            if (!services.is_ordinary_error(error)) throw;
            services.console(detail_line(kCycleErrorPrefix, services.error_message(error)));
        }
        if (!sleep_until_interval(services, interval, pause_path)) {
            services.console(kPausedLine);
            return;
        }
    }
}

}  // namespace emberscope::driver
