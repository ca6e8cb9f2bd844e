// The status file beside the state file (`state.status.json`): one JSON object about the last
// cycle, replaced atomically after every cycle, when `watch` starts and stops, when the bot's
// state changes and when the settings are reloaded, so that `emberscope status`, the bot's
// /status and /healthz tell whether the monitor is alive, when it last looked, whether it failed
// and what waits to be delivered. Every key of the file is written and read in records/ only.
//
// Keys, in the order they are written: "last_cycle_utc", "outcome", "detail", "subnets",
// "changes", "delivered", "outbox_size", "outbox_oldest_utc", "invalid_rows", "chat_id",
// "consecutive_failures", "last_ok_utc", "interval_seconds", "next_cycle_utc", "loop", "pid",
// "started_utc", "bot" (while it has a note), "routes" (per route: "chat_id", "thread_id",
// "netuids", "threshold", "queued", "held", "telegram_failure", "last_delivery_utc",
// "last_refusal_utc", "last_refusal"), "counters" (name -> whole number, the metrics' totals
// carried across restarts), "clock" ({"boot": id, "<time key>": ["<its UTC text>", monotonic
// reading]}: the boot's monotonic clock for the times above, used while the boot and the text
// are the same), "format" (1), "written_utc". Unknown keys of a file read back are kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/cycle.hpp"
#include "engine/json.hpp"
#include "records/clock.hpp"
#include "records/history.hpp"
#include "routes/route.hpp"

namespace emberscope::records {

inline constexpr int kStatusFormat = 1;

/// The states of `watch` the status records.
inline constexpr std::string_view kLoopRunning = "running";
inline constexpr std::string_view kLoopPaused = "paused";
inline constexpr std::string_view kLoopStopped = "stopped";

/// Counter name -> total, as the metrics keep them across restarts.
using Counters = std::vector<std::pair<std::string, std::int64_t>>;

/// The status object; nullopt when there is none or it cannot be used (not JSON, not an object,
/// not a regular file: a FIFO in its place is not waited on).
std::optional<engine::JsonValue> read_status(std::string_view state_path);

/// What a cycle's record needs besides its report.
struct CycleContext {
    double interval_seconds = 300;
    /// When `watch` runs the next cycle (epoch seconds); nullopt for `once` and `snapshot`.
    std::optional<double> next_cycle = std::nullopt;
    /// The configured routes, in the report's order (their netuids and threshold are shown).
    std::vector<routes::Route> routes = {};
    /// The metrics' totals to keep; nullopt keeps those recorded before.
    std::optional<Counters> counters = std::nullopt;
    std::size_t history_max_bytes = kHistoryMaxBytes;
    long pid = 0;  ///< this process; 0 for getpid()
};

/// Records one cycle: appends its changes to the history, then replaces the status. Returns the
/// status written. Throws native::OsError when a file cannot be written; the history is
/// appended first, so a change is never lost from it because the status could not be written.
engine::JsonValue record_cycle(std::string_view state_path, const engine::CycleReport& report,
                               const CycleContext& context, const Clock& now);

/// Records that `watch` started (kLoopRunning, with its next cycle) or ended (paused, stopped);
/// the last cycle's values stay as they were.
engine::JsonValue record_loop(std::string_view state_path, std::string_view loop,
                              double interval_seconds, std::optional<double> next_cycle,
                              const Clock& now, long pid = 0);

/// Records what the bot of `watch` is doing ("answering as @name", a conflict); nullopt removes
/// the note.
engine::JsonValue record_bot(std::string_view state_path, const std::optional<std::string>& note,
                             const Clock& now);

/// Records the routes of settings read again (a reload): each route's chat and filter from
/// `routes`, what waits for it and its last delivery and refusal carried over from the route
/// of the same chat (followed through `migrations`, old id -> new one) and topic; a new route
/// starts with nothing queued. The first route's chat becomes the status's chat.
engine::JsonValue record_routes(std::string_view state_path, const std::vector<routes::Route>& routes,
                                const std::vector<std::pair<std::string, std::string>>& migrations,
                                const Clock& now);

/// The totals kept under "counters" (none when absent or not an object; members that are not
/// whole numbers skipped).
Counters read_counters(const engine::JsonValue& status);

/// The moment a time member of the status stands for (see "clock"); nullopt when the member is
/// not a time.
std::optional<Moment> status_moment(const engine::JsonValue& status, std::string_view key);

}  // namespace emberscope::records
