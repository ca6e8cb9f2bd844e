// The stale-data alert: one message to every route when no good listing has been read for a
// while, and one when listings are back.
#pragma once

#include <optional>
#include <string>

#include "engine/outbox.hpp"

namespace emberscope::engine {

/// What a cycle says about the listings.
struct StaleStep {
    enum class Kind {
        none,   ///< nothing to say
        stale,  ///< no good listing for too long: tell every route, once
        back,   ///< a good listing after the routes were told
    };
    Kind kind = Kind::none;
    long long minutes = 0;  ///< whole minutes since the last good listing
};

/// The step of a cycle at `now` that read a good listing or not, the last good one read at
/// `last_good` (nullopt: none yet, and nothing is said until one is), `sent` telling whether the
/// routes were told already, `after_seconds` the configured delay. The time since the last good
/// listing is measured on the monotonic clock while the boot is the same (a step of the wall
/// clock neither raises nor hides an alert), on the wall clock across boots (a clock set back
/// counts as no time passed).
StaleStep stale_step(const std::optional<QueueClock>& last_good, bool sent, bool good_now,
                     const QueueClock& now, double after_seconds);

/// "emberscope: no good listing from Taostats for N min (last good at YYYY-MM-DD HH:MM UTC)".
std::string stale_text(long long minutes, double last_good);
/// "emberscope: listings from Taostats are back after N min".
std::string back_text(long long minutes);

}  // namespace emberscope::engine
