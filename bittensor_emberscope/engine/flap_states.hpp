// What the routes' rules against flapping remember between cycles, kept in the outbox file so
// that a restart or a kill -9 changes no alert.
//
// In the outbox: "flap": [{"chat_id": "<route>", "thread_id": 42 (with a topic only),
// "netuid": "7", "reference": "0.18", and while set "held", "pending", "cooldown_until",
// "deferred", "armed_above": false, "armed_below": false}], written only when a route has rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/json.hpp"
#include "routes/flap.hpp"

namespace emberscope::engine {

/// One subnet's state for one route.
struct FlapEntry {
    std::string chat_id;  ///< the route's configured chat or destination name
    std::optional<std::int64_t> thread_id;
    std::string netuid;
    routes::FlapState state;
    bool operator==(const FlapEntry&) const = default;
};

/// The entries as the outbox file keeps them.
JsonValue flap_json(const std::vector<FlapEntry>& entries);

/// The entries in `value`, or the reason they cannot be read.
std::optional<std::string> read_flap(const JsonValue& value, std::vector<FlapEntry>& entries);

}  // namespace emberscope::engine
