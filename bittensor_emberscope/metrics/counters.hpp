// The counters of `watch`'s metrics: what each cycle adds, and their form in the status file, so
// that they continue across restarts (Prometheus' increase() then sees every cycle).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/cycle.hpp"

namespace emberscope::metrics {

/// The label values of emberscope_cycles_total, in the exposition's order.
inline constexpr std::array<std::string_view, 5> kOutcomes = {
    engine::kOutcomeOk, engine::kOutcomeNoApiKey, engine::kOutcomeFetchFailed,
    engine::kOutcomeTelegramFailed, engine::kOutcomeError};
/// The label values of emberscope_telegram_messages_total, in the exposition's order.
inline constexpr std::array<std::string_view, 3> kTelegramResults = {"sent", "refused", "failed"};

/// The label values of emberscope_messages_total's "destination", in the exposition's order;
/// its "result" is one of kTelegramResults.
inline constexpr std::array<std::string_view, 3> kDestinations = {"telegram", "discord", "webhook"};

using ResultCounts = std::array<std::uint64_t, kTelegramResults.size()>;

/// Every counter the metrics expose, as counted since the first `watch` on this state.
struct Counters {
    std::array<std::uint64_t, kOutcomes.size()> cycles{};  ///< by outcome, as kOutcomes
    std::uint64_t changes = 0;
    ResultCounts telegram{};  ///< Telegram routes' messages, as kTelegramResults
    std::array<ResultCounts, kDestinations.size()> messages{};  ///< by kind of destination
    bool operator==(const Counters&) const = default;
};

/// The counters after one cycle's report (of a watch cycle or of the start-up list): its outcome
/// (an unknown or empty one counts as "error"), its changes, and per kind of destination the
/// messages delivered and the routes whose delivery stopped short ("refused", a destination
/// found gone among them, or "failed"). The Telegram counters are those of the Telegram routes,
/// a stop counted once per cycle; a report without routes counts its totals as Telegram's.
Counters counted(Counters before, const engine::CycleReport& report);

/// The counters as the status file keeps them, one JSON object:
/// {"cycles":{"ok":1,"no_api_key":0,...},"changes":3,"telegram_messages":{"sent":3,...},
///  "messages":{"telegram":{"sent":3,...},"discord":{...},"webhook":{...}}}.
std::string counters_json(const Counters& counters);

/// The counters of such an object. Members that are missing, or not whole numbers from 0 to
/// 2^64-1, count 0, and unknown members are ignored (so an older file starts from zero); nullopt
/// when the text is not one JSON object (an integer beyond 64 bits makes it unreadable).
std::optional<Counters> parse_counters(std::string_view json);

}  // namespace emberscope::metrics
