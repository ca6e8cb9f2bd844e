// The poll loop and its pause control.
#pragma once

#include <string>

#include "host/calls.hpp"

namespace emberscope::driver {

/// True when `pause_path` is non-empty and names an existing regular file (the empty path is
/// never looked up).
bool burn_is_paused(const std::string& pause_path);

/// Sleeps `interval_seconds` in steps of at most one second, checking the pause file before
/// each step; false as soon as the pause file is seen, true when the wait ended without it.
bool sleep_until_interval(double interval_seconds, const std::string& pause_path);

/// Runs watch cycles one interval apart until the pause file appears.
void run_burn_poll_loop(const std::string& state_path, double threshold, double interval_minutes,
                        const std::string& burn_token, const std::string& burn_chat_id,
                        const std::string& pause_path);

host::Object burn_is_paused_op(const host::Args& args);        // (pause_path)
host::Object sleep_until_interval_op(const host::Args& args);  // (interval_seconds, pause_path)
host::Object run_burn_poll_loop_op(const host::Args& args);    // (*, state_path, threshold, interval_minutes, burn_token, burn_chat_id, pause_path="")

}  // namespace emberscope::driver
