// Host-facing poll loop and pause control.
#include "host/driver_poll_ops.hpp"

#include "driver/poll.hpp"
#include "host/driver_watch_ops.hpp"
#include "host/host_services.hpp"

namespace emberscope::driver {

host::Object burn_is_paused_op(const host::Args& args) {
    return host::boolean(burn_is_paused(host::services(), args.text<kPausedParams, "pause_path">()));
}

host::Object sleep_until_interval_op(const host::Args& args) {
    const double interval_seconds = args.real<kIntervalParams, "interval_seconds">();
    const std::string_view pause_path = args.text<kIntervalParams, "pause_path">();
    return host::boolean(sleep_until_interval(host::services(), interval_seconds, pause_path));
}

host::Object run_burn_poll_loop_op(const host::Args& args) {
    const Watch watch{args.text<kPollParams, "state_path">(), args.text<kPollParams, "burn_token">(),
                      args.text<kPollParams, "burn_chat_id">()};
    const double threshold = args.real<kPollParams, "threshold">();
    const double interval_minutes = args.real<kPollParams, "interval_minutes">();
    const std::string_view pause_path = args.text<kPollParams, "pause_path">();
    Services& services = host::services();
    run_poll_loop(services, interval_minutes, pause_path,
                  [&] { run_watch_cycle(services, host_cycle(), watch, threshold); });
    return host::none();
}

}  // namespace emberscope::driver
