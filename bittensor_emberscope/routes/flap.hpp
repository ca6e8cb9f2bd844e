// A route's rules against flapping, one subnet at a time: confirmation over several cycles, a
// cooldown after each alert, a direction, and levels with a re-arm point. Pure: the state is a
// value the caller keeps (with the outbox, so it survives restarts) and hands back each cycle.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "burns/burn_map.hpp"
#include "routes/route.hpp"

namespace emberscope::routes {

/// What a route remembers of one subnet between cycles.
struct FlapState {
    /// The value alerts are measured from: the last one alerted, or the latest one when no move
    /// is waiting. "" until the subnet is first seen.
    std::string reference;
    /// Consecutive cycles the current move has held so far, and its latest value.
    int held = 0;
    std::string pending;
    /// Epoch second before which a confirmed move waits (with `deferred` set).
    double cooldown_until = 0;
    bool deferred = false;
    /// Whether each level may alert again.
    bool armed_above = true;
    bool armed_below = true;
    bool operator==(const FlapState&) const = default;
};

/// What one cycle's value did for a route.
struct FlapStep {
    /// The move to alert: old = the reference, new = the value now.
    std::optional<burns::BurnChange> alert;
    /// A move that came back before it was confirmed (old = reference, new = the value it
    /// reached), for the history.
    std::optional<burns::BurnChange> unconfirmed;
};

/// One cycle of `route`'s rules for subnet `netuid` whose value is `value` at epoch second
/// `now`; `state` is updated. The first sighting sets the reference and alerts nothing.
FlapStep step_flap(const Route& route, FlapState& state, std::string_view netuid,
                   const std::string& value, double now);

/// One line that says what the rules do: "every move at once", "moves up held 3 cycles,
/// then 30 min quiet per subnet", "above 0.5 (re-armed below 0.4)".
std::string describe_flap(const FlapRules& rules);

}  // namespace emberscope::routes
