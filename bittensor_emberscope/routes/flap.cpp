// A route's rules against flapping.
#include "routes/flap.hpp"

#include <cmath>

#include "burns/numeric.hpp"
#include "routes/selection.hpp"

namespace emberscope::routes {
namespace {

std::optional<double> number(const std::string& text) {
    const std::optional<double> n = burns::parse_numeric_text(text);
    if (!n || !std::isfinite(*n)) return std::nullopt;
    return n;
}

bool levelled(const FlapRules& r) { return r.above || r.below; }

// A move from `from` to `to` that the route's threshold and direction let through.
bool moves(const Route& route, std::string_view netuid, const std::string& from, const std::string& to) {
    if (!route_reports(route, {std::string(netuid), from, to})) return false;
    const std::optional<double> a = number(from), b = number(to);
    if (!a || !b) return true;  // a text that is not a number moves whichever way
    switch (route.flap.direction) {
        case Direction::up: return *b > *a;
        case Direction::down: return *b < *a;
        case Direction::any: break;
    }
    return true;
}

// A level the value is beyond now and that may alert.
bool crosses(const FlapRules& r, const FlapState& s, std::optional<double> value) {
    if (!value) return false;
    return (r.above && s.armed_above && *value > *r.above) || (r.below && s.armed_below && *value < *r.below);
}

bool beyond(const FlapRules& r, std::optional<double> value) {
    return value && ((r.above && *value > *r.above) || (r.below && *value < *r.below));
}

// The levels the value is beyond no longer alert until it comes back past their re-arm points.
void disarm(const FlapRules& r, FlapState& s, std::optional<double> value) {
    if (!value) return;
    if (r.above && *value > *r.above) s.armed_above = false;
    if (r.below && *value < *r.below) s.armed_below = false;
}

void rearm(const FlapRules& r, FlapState& s, std::optional<double> value) {
    if (!value) return;
    if (r.above && !s.armed_above && *value <= r.rearm.value_or(*r.above)) s.armed_above = true;
    if (r.below && !s.armed_below && *value >= r.rearm.value_or(*r.below)) s.armed_below = true;
}

std::string number_text(double value) { return burns::shortest_form(value); }

}  // namespace

FlapStep step_flap(const Route& route, FlapState& s, std::string_view netuid, const std::string& value,
                   double now) {
    const FlapRules& r = route.flap;
    const std::optional<double> v = number(value);
    FlapStep out;
    if (s.reference.empty()) {
        s.reference = value;
        s.armed_above = !(v && r.above && *v > *r.above);
        s.armed_below = !(v && r.below && *v < *r.below);
        return out;
    }
    const auto alert = [&] {
        out.alert = burns::BurnChange{std::string(netuid), s.reference, value};
        s.reference = value;
        s.held = 0;
        s.pending.clear();
        s.deferred = false;
        s.cooldown_until = r.cooldown_seconds > 0 ? now + r.cooldown_seconds : 0;
        disarm(r, s, v);
    };
    const bool cooling = s.cooldown_until > now;
    // Moves confirmed during the cooldown go out together once it is over, measured from the
    // value last alerted; a subnet that came back to it says nothing.
    if (s.deferred && !cooling) {
        s.deferred = false;
        if (levelled(r) ? beyond(r, v) : moves(route, netuid, s.reference, value)) {
            alert();
            return out;
        }
    }
    rearm(r, s, v);
    const bool trigger = levelled(r) ? crosses(r, s, v) : moves(route, netuid, s.reference, value);
    if (!trigger) {
        if (s.held > 0) out.unconfirmed = burns::BurnChange{std::string(netuid), s.reference, s.pending};
        s.held = 0;
        s.pending.clear();
        // A move the route does not alert is not carried over: the next is measured from here.
        if (!cooling && !s.deferred) s.reference = value;
        return out;
    }
    s.pending = value;
    if (++s.held < r.confirm_cycles) return out;
    if (cooling) {
        s.deferred = true;
        s.held = 0;
        s.pending.clear();
        return out;
    }
    alert();
    return out;
}

std::string describe_flap(const FlapRules& r) {
    std::string out;
    if (r.above || r.below) {
        if (r.above) out += "above " + number_text(*r.above);
        if (r.below) out += std::string(out.empty() ? "" : " or ") + "below " + number_text(*r.below);
        if (r.rearm) out += " (re-armed past " + number_text(*r.rearm) + ")";
        else out += " (re-armed once back)";
    } else {
        out = r.direction == Direction::up     ? "moves up"
              : r.direction == Direction::down ? "moves down"
                                               : "every move";
    }
    if (r.confirm_cycles > 1) out += ", held " + std::to_string(r.confirm_cycles) + " cycles";
    else out += ", at once";
    if (r.cooldown_seconds > 0) {
        const double minutes = r.cooldown_seconds / 60;
        out += ", then " + (minutes == std::floor(minutes) ? std::to_string(static_cast<long long>(minutes))
                                                           : number_text(minutes)) +
               " min quiet per subnet";
    }
    return out;
}

}  // namespace emberscope::routes
