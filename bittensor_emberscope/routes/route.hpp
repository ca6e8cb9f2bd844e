// One destination of the command's alerts and the rules that decide what it is sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "routes/quiet_hours.hpp"

namespace emberscope::routes {

/// The kinds of place a route posts to.
enum class DestinationKind { telegram, discord, webhook };

/// How a route's destination is named: "telegram", "discord" or "webhook".
inline const char* destination_word(DestinationKind kind) {
    switch (kind) {
        case DestinationKind::discord: return "discord";
        case DestinationKind::webhook: return "webhook";
        case DestinationKind::telegram: break;
    }
    return "telegram";
}

/// Which moves a route alerts.
enum class Direction { any, up, down };

/// A route's rules against a value that swings across its threshold.
struct FlapRules {
    /// A move is alerted once it has held for this many consecutive cycles (1: at once).
    int confirm_cycles = 1;
    /// After an alert for a subnet, its further moves wait this long and go out together.
    double cooldown_seconds = 0;
    Direction direction = Direction::any;
    /// Levels: an alert when a value rises above `above` or falls below `below` (instead of
    /// moves beyond the threshold), and not again for that level until the value has come back
    /// past `rearm` (default: the level itself).
    std::optional<double> above;
    std::optional<double> below;
    std::optional<double> rearm;

    /// True when any rule differs from alerting every move at once.
    bool any() const {
        return confirm_cycles > 1 || cooldown_seconds > 0 || direction != Direction::any || above ||
               below;
    }
};

struct Route {
    /// The Telegram chat. For another kind, the destination's name, which keys its queue and
    /// holds and never carries its secret: "discord:<file>", "discord:$<VARIABLE>",
    /// "webhook:<file>".
    std::string chat_id;
    /// Subnets this route hears about; nullopt for every subnet.
    std::optional<std::vector<std::int64_t>> netuids;
    /// A change is reported when |new - old| exceeds this, in the listing's own units.
    double threshold = 0.01;
    /// When above 0, the change must also exceed this share of |old| (0.10 for 10%).
    double min_relative_change = 0;
    /// Sent with disable_notification.
    bool silent = false;
    /// A forum topic of the chat (message_thread_id).
    std::optional<std::int64_t> thread_id;
    /// Changes inside the window are held and sent as one digest when it ends.
    std::optional<QuietHours> quiet_hours;
    FlapRules flap;
    DestinationKind kind = DestinationKind::telegram;
    /// Where a Discord or webhook destination's address (a secret) is read, at every cycle: a
    /// file, or (Discord) an environment variable.
    std::string address_file;
    std::string address_env;
    /// A file holding the key that signs a webhook's bodies; "" for unsigned bodies.
    std::string signing_file;
};

/// The queue name of a Discord or webhook route from where its address is read.
inline std::string destination_name(DestinationKind kind, const std::string& file,
                                    const std::string& env) {
    return std::string(destination_word(kind)) + ":" + (file.empty() ? "$" + env : file);
}

}  // namespace emberscope::routes
