// Host-facing watch cycle and start-up snapshot: the cycle's host steps over the listing's rows.
#pragma once

#include "burns/burn_map.hpp"
#include "driver/watch.hpp"
#include "host/calls.hpp"

namespace emberscope::driver {

/// The burn map of a listing: one entry per row that has a "netuid" member, keyed by that value
/// as text; a repeated netuid keeps its first position and the later row's value.
burns::BurnMap burn_map_of_rows(const host::Object& rows);

/// The cycle's host steps of the running module.
CycleHost& host_cycle();

host::Object run_emberscope_once_op(const host::Args& args);        // (*, state_path, threshold, burn_token, burn_chat_id)
host::Object run_burn_startup_snapshot_op(const host::Args& args);  // (*, state_path, burn_token, burn_chat_id)

}  // namespace emberscope::driver
