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

// Operations and their parameters.
inline constexpr host::Param kOnceParams[] = {host::keyword("state_path", host::ParamType::text), host::keyword("threshold", host::ParamType::real),
                                              host::keyword("burn_token", host::ParamType::text), host::keyword("burn_chat_id", host::ParamType::text)};
inline constexpr host::Param kStartupParams[] = {host::keyword("state_path", host::ParamType::text), host::keyword("burn_token", host::ParamType::text),
                                                 host::keyword("burn_chat_id", host::ParamType::text)};

host::Object run_emberscope_once_op(const host::Args& args);        // kOnceParams
host::Object run_burn_startup_snapshot_op(const host::Args& args);  // kStartupParams

}  // namespace emberscope::driver
