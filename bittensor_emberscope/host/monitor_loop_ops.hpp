// Host-facing operations of the monitor module for `watch`'s loop: the engine's loop
// (engine/watch_loop.hpp) over the POSIX loop services, with the command's Python side as its
// host.
#pragma once

#include "host/calls.hpp"

namespace emberscope::host {

/// The hooks dict (see monitor.pyi), then the loop's settings.
inline constexpr Param kWatchLoopParams[] = {
    required("hooks", ParamType::map),
    keyword("interval_seconds", ParamType::real),
    keyword("pause_path", ParamType::text),
    keyword("first", ParamType::text),
    Param{"verbose", ParamType::whole, true, true, "", 0},
    Param{"bot", ParamType::whole, true, true, "", 0},
    Param{"wake_fd", ParamType::whole, true, true, "", -1}};

inline constexpr Param kWaitBetweenParams[] = {
    required("hooks", ParamType::map),
    keyword("seconds", ParamType::real),
    keyword("pause_path", ParamType::text),
    Param{"wake_fd", ParamType::whole, true, true, "", -1}};

/// The whole `watch` run (kWatchLoopParams) -> its exit status.
Object monitor_watch_loop(const Args& args);
/// One wait between two cycles (kWaitBetweenParams) -> "done", "paused" or "signal".
Object monitor_wait_between(const Args& args);

}  // namespace emberscope::host
