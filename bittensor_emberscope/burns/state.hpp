// The burn state file over the services: load the last saved BurnMap, save a new one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "burns/burn_map.hpp"
#include "common/services.hpp"

namespace emberscope::burns {

/// Reads a state file's text into its burn map, by the host's JSON rules.
class StateDecoder {
public:
    virtual ~StateDecoder() = default;
    /// The "owner_burn_rate" object's members in file order, values as texts (a non-text value
    /// as its host str()). Empty when the text is not valid JSON or has no such object; a top
    /// level that is not an object raises.
    virtual BurnMap state_entries(std::string_view file_text) = 0;
};

/// The text of the state file at `path`; nullopt when the path is not a regular file or cannot
/// be opened or read. Content that is not UTF-8 raises.
std::optional<std::string> read_state_text(Services& services, std::string_view path);

/// The map saved in the state file at `path`. Empty when the path is not a regular file,
/// cannot be opened or read, or holds no burn map (see StateDecoder). Content that is not
/// UTF-8 raises.
BurnMap load_burn_state(Services& services, StateDecoder& decoder, std::string_view path);

/// Writes `burns` stamped `updated_at` to the state file at `path`, replacing the file in one
/// step so that it never holds a partial document. Raises when the file cannot be written; the
/// previous content is then intact.
void save_burn_state(Services& services, std::string_view path, const BurnMap& burns,
                     std::string_view updated_at);

}  // namespace emberscope::burns
