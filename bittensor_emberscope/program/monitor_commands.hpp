// The commands that run the monitor: `once` and `snapshot` (one cycle under the state file's
// lock, recorded for the operator) and `watch` (the engine's loop with the cycle's records, the
// settings read again on SIGHUP, the bot and the metrics exporter).
#pragma once

#include "config/settings.hpp"
#include "program/command_line.hpp"
#include "program/console.hpp"

namespace emberscope::program {

/// How long `once` and `snapshot` wait for another run's cycle to end before giving up.
inline constexpr double kOnceLockWaitSeconds = 5.0;
/// How long `watch` waits for the state file's lock: a moment only, for a reader that looks.
inline constexpr double kWatchLockWaitSeconds = 1.0;
/// The line of a cycle skipped, or a loop ended, by the pause file.
inline constexpr std::string_view kPausedLine = "[burn] monitoring paused";

int run_once(const config::Settings& settings, Console& console);
int run_snapshot(const config::Settings& settings, Console& console);
int run_watch(const Invocation& invocation, const config::Settings& settings, Console& console);

}  // namespace emberscope::program
