// The history log beside the state file (`state.history.jsonl`): one JSON line per change the
// monitor detected, {"time_utc", "netuid", "old", "new"}, appended and synced, bounded in size by
// rotation to one older generation (`.1`), which its reader takes into account.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "burns/burn_map.hpp"

namespace emberscope::records {

inline constexpr std::size_t kHistoryMaxBytes = 8 * 1024 * 1024;

/// One recorded change; every member as its text.
struct Change {
    std::string time_utc;
    std::string netuid;
    std::string old_burn;
    std::string new_burn;
    /// The epoch second of `time_utc`, nullopt when it is not a time.
    std::optional<double> moment() const;
    bool operator==(const Change&) const = default;
};

/// The line of one change, without its line feed: the host's one-line JSON, UTF-8 as it is. A
/// move that came back before a route's rules confirmed it carries "unconfirmed": true.
std::string history_line(std::string_view stamp, const burns::BurnChange& change,
                         bool unconfirmed = false);

/// Appends one line per change stamped `stamp`, rotating the log to `.1` first when it would
/// outgrow `max_bytes`. Throws native::OsError when the log cannot be written (or is not a
/// regular file).
void append_history(std::string_view state_path, std::string_view stamp,
                    const std::vector<burns::BurnChange>& changes,
                    std::size_t max_bytes = kHistoryMaxBytes, bool unconfirmed = false);

/// Every recorded change, oldest first (the rotated generation, then the current log).
struct History {
    std::vector<Change> changes;
    std::size_t unreadable = 0;  ///< lines that could not be read (cut short by a crash, say)
};
/// Reads both generations; missing files (or ones that are not regular files) hold nothing.
/// Bytes that are not UTF-8 read as U+FFFD.
History read_history(std::string_view state_path);

/// One bar per value (▁ to █), scaled between the smallest and the largest number; a text that
/// is not a finite number shows as a space; equal values give a row of middle bars.
std::string sparkline(const std::vector<std::string>& values);

}  // namespace emberscope::records
