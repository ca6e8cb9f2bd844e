// The host's repr() of a text.
#pragma once

#include <string>
#include <string_view>

namespace emberscope::burns {

/// Appends `text` (UTF-8, lone surrogates kept) as the host's repr() shows a str: in single
/// quotes, or double quotes when it holds a single quote and no double quote; the quote and
/// the backslash escaped; \t \n \r; every other character str.isprintable() refuses as \xhh,
/// \uhhhh or \Uhhhhhhhh.
void append_repr(std::string& out, std::string_view text);

/// The host's repr() of `text`.
std::string repr(std::string_view text);

}  // namespace emberscope::burns
