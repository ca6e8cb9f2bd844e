// Host-facing burn state file operations: load the last saved BurnMap, save a new one.
#pragma once

#include <string>

#include "burns/burn_map.hpp"
#include "host/calls.hpp"

namespace emberscope::burns {

/// The map saved in the state file at `path`, members in file order, values as texts (a
/// non-text value as its host str()). Empty when the path is not a regular file, cannot be
/// opened or read, holds no valid JSON, or has no "owner_burn_rate" object. Content that is not
/// UTF-8, or a top level that is not an object, raises the host's error.
BurnMap load_burn_state(const std::string& path);

/// Writes `burns` stamped `updated_at` to the state file at `path`, replacing the file in one
/// step so that it never holds a partial document (see host::replace_file). Raises the host's
/// OSError when the file cannot be written; the previous content is then intact.
void save_burn_state(const std::string& path, const BurnMap& burns, const std::string& updated_at);

host::Object load_burn_state(const host::Args& args);  // (path)
host::Object save_burn_state(const host::Args& args);  // (path, burns, updated_at)

}  // namespace emberscope::burns
