// The outbox: messages not yet delivered, kept beside the state file until Telegram takes them,
// and the chat ids Telegram told the engine to move to.
//
// File layout (JSON, keys sorted, two-space indentation, final line feed):
//   {
//     "chat_migrations": {"<old chat id>": "<new chat id>"},
//     "messages": [
//       {"count": 2, "kind": "alert", "part": 1, "queued_at": 1765152000.0,
//        "stamp": "2026-12-08T00:00:00Z", "text": "...", "total": 1,
//        "chat_id": "-1001234567890", "thread_id": 42}
//     ],
//     "telegram_not_before": {"<chat id>": 1765155600.0},
//     "taostats_not_before": 1765152030.0,
//     "version": 1
//   }
// "text" is the message exactly as it is sent, part number included; "count" is what the
// console line reports once the last part of the text is delivered (changes of an alert, rows of
// a start-up list); "queued_at" is the epoch second the text was first queued. "boot" and
// "queued_monotonic" (written when the machine names its boot) are the boot and the reading of
// the monotonic clock at that moment: while the boot is the same, a message's age is measured on
// that clock, so that a step of the wall clock neither ages nor rejuvenates it. Files without
// them (an earlier version's) are read, their ages taken from "queued_at".
// "chat_id" and "thread_id" name the route the message is for, by its configured chat (before
// any migration) and forum topic; "thread_id" is written only for a route with a topic. A message
// without "chat_id" (a file written before there were routes) belongs to the first route.
// "held" (written only when there are any) lists the changes held for a route during its quiet
// hours, in the order they were seen: {"chat_id", "thread_id" (with a topic only), "netuid",
// "old", "new"}; they are sent as one digest once the window is over.
// "last_good_listing_at" is the epoch second of the last good listing and "stale_alert_sent"
// whether the routes were told that listings stopped coming (both written only with a stale-data
// alert configured); "last_good_listing_boot" and "last_good_listing_monotonic" (when the machine
// names its boot) time it on the monotonic clock within that boot.
// "telegram_not_before" (per chat) and "taostats_not_before" are the epoch seconds before which
// a service that asked for a pause (HTTP 429 with a wait) is not asked again, in any cycle or
// process; each is written only while set, so a file without them reads as no pause.
// "destination_not_before" holds the same for destinations that are not Telegram chats (Discord
// and webhook routes, named "discord:..." and "webhook:..."); a file with only Telegram chats
// does not have it. "flap" keeps the routes' rules against flapping (engine/flap_states.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "burns/burn_map.hpp"
#include "engine/flap_states.hpp"

namespace emberscope::engine {

inline constexpr std::string_view kAlertKind = "alert";
inline constexpr std::string_view kSnapshotKind = "snapshot";
/// The changes held during a route's quiet hours, sent when they end.
inline constexpr std::string_view kDigestKind = "digest";
/// A message about the monitor itself (listings stopped coming, and are back).
inline constexpr std::string_view kNoticeKind = "notice";

/// A change held for a route during its quiet hours.
struct HeldChange {
    std::string chat_id;  ///< the route's configured chat
    std::optional<std::int64_t> thread_id;
    burns::BurnChange change;
    bool operator==(const HeldChange&) const = default;
};

/// The moment of a clock reading, as the outbox measures ages.
struct QueueClock {
    double epoch = 0;       ///< wall clock, epoch seconds
    std::string boot;       ///< the machine's boot ("" when unknown)
    double monotonic = 0;   ///< monotonic clock of that boot, seconds
};

struct OutboxEntry {
    OutboxEntry() = default;
    OutboxEntry(std::string kind, std::size_t count, std::string stamp, double queued_at,
                std::size_t part, std::size_t total, std::string text, std::string boot = "",
                double queued_monotonic = 0)
        : kind(std::move(kind)), count(count), stamp(std::move(stamp)), queued_at(queued_at),
          part(part), total(total), text(std::move(text)), boot(std::move(boot)),
          queued_monotonic(queued_monotonic) {}

    std::string kind;       ///< kAlertKind, kSnapshotKind, kDigestKind or kNoticeKind
    std::size_t count = 0;
    std::string stamp;      ///< the cycle stamp of the text
    double queued_at = 0;   ///< epoch seconds
    std::size_t part = 1;
    std::size_t total = 1;
    std::string text;
    std::string boot;       ///< the boot it was queued in ("" when unknown)
    double queued_monotonic = 0;  ///< that boot's monotonic clock then (with `boot` only)
    std::string chat_id;    ///< the route's configured chat; "" for the first route
    std::optional<std::int64_t> thread_id;  ///< the route's forum topic

    /// True when the message is for the route of `chat_id` and `thread_id`.
    bool is_for(const std::string& chat, std::optional<std::int64_t> thread) const {
        return chat_id == chat && thread_id == thread;
    }

    /// Seconds since it was queued: on the monotonic clock within the boot it was queued in, on
    /// the wall clock otherwise.
    double age(const QueueClock& now) const;
    bool operator==(const OutboxEntry&) const = default;
};

struct Outbox {
    std::vector<OutboxEntry> messages;
    std::vector<std::pair<std::string, std::string>> migrations;  ///< old chat id -> new one
    std::vector<std::pair<std::string, double>> chat_not_before;  ///< chat id -> epoch second
    std::optional<double> taostats_not_before;                     ///< epoch second
    std::vector<HeldChange> held;  ///< in the order seen
    std::optional<double> last_good_listing;  ///< epoch second
    std::string last_good_boot;               ///< its boot ("" when unknown)
    double last_good_monotonic = 0;           ///< that boot's monotonic clock then
    bool stale_alert_sent = false;
    std::vector<FlapEntry> flap;  ///< engine/flap_states.hpp

    bool empty() const {
        return messages.empty() && migrations.empty() && chat_not_before.empty() &&
               !taostats_not_before && held.empty() && !last_good_listing && !stale_alert_sent &&
               flap.empty();
    }
    /// The chat to send to for the configured `chat_id`, following recorded migrations.
    std::string chat_for(const std::string& chat_id) const;
    /// Records that `from` lives on as `to`.
    void migrate(const std::string& from, const std::string& to);
    /// Removes the messages queued more than `max_age` seconds before `now`; returns how many,
    /// and sets `oldest` to the earliest queued_at among them.
    std::size_t drop_older_than(const QueueClock& now, double max_age, double& oldest);
    /// The same on the wall clock alone.
    std::size_t drop_older_than(double now, double max_age, double& oldest) {
        return drop_older_than(QueueClock{now, "", 0}, max_age, oldest);
    }
    /// The epoch second before which `chat` is not posted to, if one is recorded.
    std::optional<double> chat_hold(const std::string& chat) const;
    /// Records that `chat` is not posted to before `until` (a later hold stays).
    void hold_chat(const std::string& chat, double until);
    /// Forgets the hold of `chat`.
    void release_chat(const std::string& chat);
    /// Forgets the holds that `now` has reached; true when any was forgotten.
    bool forget_passed_holds(double now);
};

/// A file beside the state file: "X.json" -> "X<suffix>", any other name gets `suffix` appended.
/// A file named just ".json" keeps its name whole ("dir/.json" -> "dir/.json<suffix>"), so every
/// file beside it lands in the same folder under one stem.
std::string beside_state(std::string_view state_path, std::string_view suffix);

inline constexpr std::string_view kOutboxSuffix = ".outbox.json";

/// True for the name of a destination that is not a Telegram chat ("discord:...", "webhook:...").
bool is_destination_name(std::string_view name);

/// The outbox file beside the state file.
std::string outbox_path(std::string_view state_path);

std::string render_outbox(const Outbox& outbox);

/// The outbox stored in `content`, or the reason it cannot be read as one.
std::variant<Outbox, std::string> read_outbox(std::string_view content);

/// "%Y-%m-%dT%H:%M:%SZ" of an epoch second.
std::string utc_text(double epoch_seconds);

}  // namespace emberscope::engine
