// Host-facing operations of the monitor module: host arguments in, the engine's cycle report out
// as a dict.
#pragma once

#include "host/calls.hpp"

namespace emberscope::host {

/// run_cycle(*, state_path, threshold, burn_token, burn_chat_id, pause_path, interval_seconds,
///           outbox_max_age_seconds=86400, wait_budget_seconds=None) -> dict
Object monitor_run_cycle(const Args& args);
/// run_snapshot(*, state_path, burn_token, burn_chat_id, pause_path, interval_seconds=300,
///              outbox_max_age_seconds=86400, wait_budget_seconds=None) -> dict
Object monitor_run_snapshot(const Args& args);

}  // namespace emberscope::host
