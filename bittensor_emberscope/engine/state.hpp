// The state file as the engine reads it: the saved BurnMap, or why the file is unusable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "burns/burn_map.hpp"

namespace emberscope::engine {

/// The map saved in a state file's content (members in file order, values as the host's str()
/// shows them), or the reason the content cannot be read as a state: not UTF-8, not JSON, too
/// deep, a number too long, a top level that is not an object, no "owner_burn_rate" object.
std::variant<burns::BurnMap, std::string> read_state(std::string_view content);

/// A state file's saved map and its time stamp (nullopt when the file has none, or not a text).
struct StateDocument {
    burns::BurnMap burns;
    std::optional<std::string> updated_at;
};
/// The same as read_state, with the file's time stamp.
std::variant<StateDocument, std::string> read_state_document(std::string_view content);

/// Where an unusable file goes: "<path>.corrupt-<stamp>" beside it, `stamp` being a compact UTC
/// time ("20261208T000000Z").
std::string corrupt_path(std::string_view path, std::string_view stamp);

/// strftime pattern of that stamp.
inline constexpr std::string_view kCorruptStampPattern = "%Y%m%dT%H%M%SZ";

}  // namespace emberscope::engine
