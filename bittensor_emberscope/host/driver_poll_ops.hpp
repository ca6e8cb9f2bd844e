// Host-facing poll loop and pause control.
#pragma once

#include "host/calls.hpp"

namespace emberscope::driver {

// Operations and their parameters.
inline constexpr host::Param kPausedParams[] = {host::required("pause_path", host::ParamType::text)};
inline constexpr host::Param kIntervalParams[] = {host::required("interval_seconds", host::ParamType::real), host::required("pause_path", host::ParamType::text)};
inline constexpr host::Param kPollParams[] = {
    host::keyword("state_path", host::ParamType::text), host::keyword("threshold", host::ParamType::real), host::keyword("interval_minutes", host::ParamType::real),
    host::keyword("burn_token", host::ParamType::text), host::keyword("burn_chat_id", host::ParamType::text),
    host::Param{"pause_path", host::ParamType::text, true, true, "", 0}};

host::Object burn_is_paused_op(const host::Args& args);        // kPausedParams
host::Object sleep_until_interval_op(const host::Args& args);  // kIntervalParams
host::Object run_burn_poll_loop_op(const host::Args& args);    // kPollParams

}  // namespace emberscope::driver
