// The poll loop and its pause control.
#include "driver/poll_ops.hpp"

#include <algorithm>
#include <exception>

#include "driver/console.hpp"
#include "driver/watch_ops.hpp"
#include "host/error.hpp"
#include "host/services.hpp"
#include "taostats/client_ops.hpp"

namespace emberscope::driver {

bool burn_is_paused(const std::string& pause_path) {
    return !pause_path.empty() && host::is_file(pause_path);
}

bool sleep_until_interval(double interval_seconds, const std::string& pause_path) {
    // The wait is the sum of the sleeps, no clock is read; NaN ends it at once, infinity never.
    double remaining = interval_seconds;
    while (remaining > 0.0) {
        if (burn_is_paused(pause_path)) return false;
        double step = std::min(remaining, 1.0);
        host::sleep(step);
        remaining -= step;
    }
    return !burn_is_paused(pause_path);
}

void run_burn_poll_loop(const std::string& state_path, double threshold, double interval_minutes,
                        const std::string& burn_token, const std::string& burn_chat_id,
                        const std::string& pause_path) {
    const double interval = poll_interval_seconds(interval_minutes);
    if (!sleep_until_interval(interval, pause_path)) {
        host::write_stderr(kPausedLine);
        return;
    }
    for (;;) {
        if (burn_is_paused(pause_path)) {
            host::write_stderr(kPausedLine);
            return;
        }
        try {
            run_emberscope_once(state_path, threshold, burn_token, burn_chat_id);
        } catch (host::Error& e) {
            // Ordinary errors of a cycle are reported and survived; an interrupt or an exit
            // request (outside the Exception family) ends the loop at once.
            if (!host::is_exception_family(e)) throw;
            host::write_stderr(detail_line(
                "[burn] error: ",
                secrets::mask(host::message_of(e), taostats::known_secrets(burn_token))));
        } catch (const std::exception& e) {
            host::write_stderr(detail_line("[burn] error: ", e.what()));
        }
        if (!sleep_until_interval(interval, pause_path)) {
            host::write_stderr(kPausedLine);
            return;
        }
    }
}

host::Object burn_is_paused_op(const host::Args& args) {
    return host::boolean(burn_is_paused(args.text(0)));
}

host::Object sleep_until_interval_op(const host::Args& args) {
    return host::boolean(sleep_until_interval(args.real(0), args.text(1)));
}

host::Object run_burn_poll_loop_op(const host::Args& args) {
    run_burn_poll_loop(args.text(0), args.real(1), args.real(2), args.text(3), args.text(4),
                       args.text(5));
    return host::none();
}

}  // namespace emberscope::driver
