// The watch cycle and the start-up snapshot: listing, burn map, state file, report, exit status.
#pragma once

#include <string>

#include "burns/burn_map.hpp"
#include "host/calls.hpp"

namespace emberscope::driver {

/// The burn map of a listing: one entry per row that has a "netuid" member, keyed by that value
/// as text; a repeated netuid keeps its first position and the later row's value.
burns::BurnMap burn_map_of_rows(const host::Object& rows);

/// One watch cycle; returns its exit status (0 done, 1 no key / listing failed / not delivered).
int run_emberscope_once(const std::string& state_path, double threshold,
                        const std::string& burn_token, const std::string& burn_chat_id);

/// The start-up snapshot; returns its exit status.
int run_burn_startup_snapshot(const std::string& state_path, const std::string& burn_token,
                              const std::string& burn_chat_id);

host::Object run_emberscope_once_op(const host::Args& args);        // (*, state_path, threshold, burn_token, burn_chat_id)
host::Object run_burn_startup_snapshot_op(const host::Args& args);  // (*, state_path, burn_token, burn_chat_id)

}  // namespace emberscope::driver
