// The poll loop and its pause control.
#include "driver/poll.hpp"

#include <exception>

#include "common/stepped_wait.hpp"
#include "driver/console.hpp"

namespace emberscope::driver {

bool burn_is_paused(Services& services, std::string_view pause_path) {
    return !pause_path.empty() && services.is_file(pause_path);
}

bool sleep_until_interval(Services& services, double interval_seconds,
                          std::string_view pause_path) {
    // Each sleep runs the handlers of signals that arrived, so Ctrl-C ends a wait within a step.
    const auto paused = [&] { return burn_is_paused(services, pause_path); };
    return wait_in_steps(interval_seconds, paused, [&](double s) { services.sleep(s); }) &&
           !paused();
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
