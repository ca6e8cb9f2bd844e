// The host's JSON codec, looked up through the module's `json` at call time.
#pragma once

#include <string_view>

#include "host/error.hpp"
#include "host/object.hpp"

namespace emberscope::host {

/// `json.loads(text)`; a malformed document raises the host's JSONDecodeError.
Object json_loads(const Object& text);
/// True when `json.loads` is the host's own function, not one a caller put in its place: only
/// then may a reading of the module's own stand for it.
bool json_loads_is_hosts_own();
/// `json.load(file)` on an open text file.
Object json_load(const Object& file);
/// `json.dumps(value)` with the host's defaults (one line, ASCII only).
std::string json_dumps(const Object& value);
/// `json.dumps(value, indent=2, sort_keys=True)`.
std::string json_dumps_sorted_indented(const Object& value);
/// True when `error` is the host's `json.JSONDecodeError`.
bool is_json_decode_error(const Error& error);

}  // namespace emberscope::host
