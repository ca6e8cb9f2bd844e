// Host-facing poll loop and pause control.
#pragma once

#include "host/calls.hpp"

namespace emberscope::driver {

host::Object burn_is_paused_op(const host::Args& args);        // (pause_path)
host::Object sleep_until_interval_op(const host::Args& args);  // (interval_seconds, pause_path)
host::Object run_burn_poll_loop_op(const host::Args& args);    // (*, state_path, threshold, interval_minutes, burn_token, burn_chat_id, pause_path="")

}  // namespace emberscope::driver
