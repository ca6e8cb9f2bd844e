// The engine's watch cycle and start-up list: the documented road (one listing, values saved
// before anything is sent, the same console lines) with an outbox, Telegram's real behaviour,
// a listing it can trust and a state file it can recover.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "burns/burn_map.hpp"
#include "common/services.hpp"
#include "engine/destination.hpp"
#include "engine/chat_holds.hpp"
#include "routes/route.hpp"

namespace emberscope::engine {

/// Default age after which an undelivered message is dropped, in seconds.
inline constexpr double kDefaultOutboxMaxAge = 24 * 3600;
/// Share of the interval that the waits of one cycle may take when no budget is given.
inline constexpr double kDefaultBudgetShare = 0.25;

struct CycleSettings {
    std::string state_path;
    double threshold = 0;
    std::string token;
    std::string chat_id;
    std::string pause_path;
    double interval_seconds = 300;
    double outbox_max_age_seconds = kDefaultOutboxMaxAge;
    std::optional<double> wait_budget_seconds;  ///< default: kDefaultBudgetShare of the interval
    /// Bound on each HTTP exchange of the cycle; default: twice the exchange's own time-out.
    std::optional<double> exchange_deadline_seconds;
    /// Subnets whose changes are left out of alerts (an operator muted them); "all" mutes every
    /// subnet. Their changes are still reported and their values stored.
    std::vector<std::string> muted;
    /// Where alerts go. Empty: one route to `chat_id` with `threshold`, for every subnet.
    /// Otherwise `chat_id` and `threshold` are not used: changes are found with the smallest
    /// threshold of the routes, against the stored values (the previous cycle's), and each route
    /// is told those its own rules select (routes/selection.hpp). A route hears what a monitor
    /// sending to it alone would tell it: a move it does not report is not carried over to a
    /// later cycle, whatever the other routes report. While a route's quiet hours are on, its
    /// changes are held in the outbox file; the first cycle after the window queues them as one
    /// digest (routes/digest.hpp). A route with rules against flapping (routes/flap.hpp) is told
    /// what its rules let through, from their state in the outbox file.
    std::vector<routes::Route> routes;
    /// When set, one message goes to every route once no good listing has been read for this
    /// long, and one when a good listing comes back (engine/stale.hpp); the time of the last good
    /// listing is kept in the outbox file.
    std::optional<double> stale_after_seconds;
    /// Destinations found gone in earlier cycles (engine/destination.hpp), kept by the caller;
    /// null: each cycle tries them once again.
    GoneDestinations* gone = nullptr;
    /// The per-chat holds the process shares with its other senders (the bot's answers), or
    /// null: the outbox's holds and migrations go in at the start of the cycle, theirs come back
    /// into the outbox file, and delivery waits for both.
    ChatHolds* chat_holds = nullptr;
};

/// What one cycle did for one route.
struct RouteReport {
    std::string chat_id;  ///< the chat used, after any migration
    std::optional<std::int64_t> thread_id;
    std::size_t queued = 0;     ///< messages waiting for it in the outbox afterwards
    std::size_t delivered = 0;  ///< messages it was sent in this cycle
    std::size_t held = 0;       ///< changes held for its digest (quiet hours)
    std::string telegram_failure;  ///< "refused", "gone", "failed" or "", as in CycleReport
    std::string last_failure;      ///< the failure's text, "" when none
    std::string destination = "telegram";  ///< the route's kind: telegram, discord or webhook
};

/// How a cycle ended: delivered everything it had to ("ok"), no Taostats key, no usable listing,
/// messages left undelivered, or an unexpected error (also the command's word for a cycle it saw
/// fail before the engine ran).
inline constexpr std::string_view kOutcomeOk = "ok";
inline constexpr std::string_view kOutcomeNoApiKey = "no_api_key";
inline constexpr std::string_view kOutcomeFetchFailed = "fetch_failed";
inline constexpr std::string_view kOutcomeTelegramFailed = "telegram_failed";
inline constexpr std::string_view kOutcomeError = "error";

/// What one cycle did, for the command's status file and history.
struct CycleReport {
    std::string outcome;  ///< one of the kOutcome texts
    std::string detail;   ///< one line, "" when ok
    std::string updated_at_utc;
    std::size_t subnets = 0;
    std::vector<burns::BurnChange> changes;
    /// Moves that came back before a route's confirm_cycles confirmed them (old = the value
    /// they left, new = the value they reached).
    std::vector<burns::BurnChange> unconfirmed;
    std::size_t delivered = 0;
    /// How delivery stopped short: "refused" (Telegram declined a message), "failed" (no usable
    /// answer, flood control or the wait budget), "" when it did not (also when paused).
    std::string telegram_failure;
    std::size_t outbox_size = 0;
    std::optional<std::string> outbox_oldest_utc;
    std::size_t invalid_rows = 0;
    std::string chat_id;  ///< the chat used, after any migration (the first route's)
    std::vector<RouteReport> routes;  ///< in the order of the settings' routes
};

/// One watch cycle. Ordinary errors (those `Services::is_ordinary_error` accepts) are reported
/// as outcome "error" with a "[burn] error: " line; others propagate, after the outbox is saved.
CycleReport run_cycle(Services& services, const CycleSettings& settings);

/// The start-up list: a fresh baseline saved, the whole listing queued and delivered through the
/// outbox. `threshold` is not used.
CycleReport run_snapshot(Services& services, const CycleSettings& settings);

}  // namespace emberscope::engine
