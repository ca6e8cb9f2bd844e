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
    const std::string& state_path = args.text(0);
    const double threshold = args.real(1);
    const std::string& burn_token = args.text(3);
    const std::string& burn_chat_id = args.text(4);
    run_poll_loop(host::services(), args.real(2), args.text(5), [&] {
        run_emberscope_once(state_path, threshold, burn_token, burn_chat_id);
    });
    return host::none();
}

}  // namespace emberscope::driver
