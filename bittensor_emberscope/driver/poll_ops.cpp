// Host-facing poll loop and pause control.
#include "driver/poll_ops.hpp"

#include "driver/poll.hpp"
#include "driver/watch_ops.hpp"
#include "host/host_services.hpp"

namespace emberscope::driver {

host::Object burn_is_paused_op(const host::Args& args) {
    return host::boolean(burn_is_paused(host::services(), args.text(0)));
}

host::Object sleep_until_interval_op(const host::Args& args) {
    return host::boolean(sleep_until_interval(host::services(), args.real(0), args.text(1)));
}

host::Object run_burn_poll_loop_op(const host::Args& args) {
    const Watch watch{args.text(0), args.text(3), args.text(4)};
    const double threshold = args.real(1);
    Services& services = host::services();
    run_poll_loop(services, args.real(2), args.text(5),
                  [&] { run_watch_cycle(services, host_cycle(), watch, threshold); });
    return host::none();
}

}  // namespace emberscope::driver
