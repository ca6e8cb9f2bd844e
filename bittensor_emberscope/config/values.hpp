// Small rules of the settings' values: white space, control characters, numbers in range.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace emberscope::config {

/// `text` (UTF-8) without the host's white space (str.strip(): ASCII white space, 0x1C to 0x1F,
/// U+0085, U+00A0 and the Unicode spaces) at either end.
std::string strip_white(std::string_view text);

/// True when `text` (UTF-8) holds a C0 or C1 control character or DEL: a value that would break
/// a request line or a header.
bool has_control(std::string_view text);

/// True for a subnet number a route may name, 0 to kNetuidMax.
bool is_netuid(std::int64_t n);

/// True for a finite number >= 0.
bool is_threshold(double value);

}  // namespace emberscope::config
