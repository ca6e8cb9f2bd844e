// What the status file says about the monitor's health, in the words of `emberscope status`, the
// bot's /status, /healthz and the `watch` console.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/json.hpp"
#include "records/clock.hpp"

namespace emberscope::records {

/// A status older than this many intervals is stale.
inline constexpr int kStaleAfterIntervals = 3;
/// This many failed cycles in a row is failing.
inline constexpr long long kFailingAfter = 3;
/// A recorded time this far ahead of the clock means the clock was set back since.
inline constexpr double kFutureSlackSeconds = 60;

struct Health {
    bool ok = false;
    std::vector<std::string> problems;
};

/// Healthy unless the last cycle (or the start of `watch`, before its first cycle) is older than
/// three intervals or lies in the future, the last three cycles failed, or `watch` recorded that
/// it ended. `watch_alive` false (the `watch` recorded as running is gone) is unhealthy too;
/// nullopt means it was not checked. Ages are taken on the monotonic clock within one boot.
Health assess(const engine::JsonValue* status, const Clock& now,
              std::optional<bool> watch_alive = std::nullopt);

/// One (label, text) row of `emberscope status`.
using Row = std::pair<std::string, std::string>;

/// The status as rows for `emberscope status` and /status.
std::vector<Row> describe(const engine::JsonValue& status, const Clock& now,
                          std::optional<bool> watch_alive = std::nullopt);

/// A route's subnets for its status line: "subnets 1, 4, 64", runs of three or more as ranges
/// ("subnets 0-127"), a long list cut with a count ("..., and 65400 more"); "every subnet" when
/// the member is not a list.
std::string describe_subnets(const engine::JsonValue* netuids);

/// One line about the last cycle, for systemd's STATUS and the `watch` console.
std::string summary(const engine::JsonValue& status);

/// Whether the `watch` the status records as running is still alive: it holds the lock beside
/// the state file; without a lock file to ask, whether /proc names its pid an emberscope
/// process. nullopt when no `watch` is recorded as running.
std::optional<bool> watch_alive(std::string_view state_path, const engine::JsonValue* status);

/// "HH:MM UTC" of the next cycle, nullopt when none is recorded.
std::optional<std::string> next_cycle_text(const engine::JsonValue& status);

}  // namespace emberscope::records
