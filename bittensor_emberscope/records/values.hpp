// Reading and making the JSON values of the files beside the state as the host's code reads
// them: a member that is absent or of another type counts as the host's None, 0 or "".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/json.hpp"

namespace emberscope::records {

using engine::JsonValue;

/// JSON null, true/false, a real, an empty list.
JsonValue null_value();
JsonValue bool_value(bool flag);
JsonValue real_value(double value);
JsonValue list_value();
/// The text, or null for nullopt.
JsonValue text_or_null(const std::optional<std::string>& text);

/// The whole number a member holds (not a boolean), else 0 (also past 64 bits).
long long int_of(const JsonValue* value);
/// The text a member holds, else nullptr.
const std::string* text_of(const JsonValue* value);
/// The number a member holds, booleans included (true is 1), as the host's isinstance(v, (int,
/// float)) takes it; nullopt for anything else.
std::optional<double> number_of(const JsonValue* value);
/// The host's str() of a member: "None" when absent.
std::string str_of(const JsonValue* value);
/// The host's truth test of a member: false when absent.
bool truthy(const JsonValue* value);
/// Two members equal as the host compares them (texts by their bytes, numbers by value).
bool same_value(const JsonValue* a, const JsonValue* b);
/// Removes the member `key` of an object, if there is one.
void remove_member(JsonValue& object, std::string_view key);

/// The number of code points of a UTF-8 text (the host's len()).
std::size_t length(std::string_view text);
/// `text` padded with spaces to `width` code points on the left (right-aligned, ">") or the
/// right ("<"), as the host's string formatting aligns them; a longer text is left whole.
std::string align_right(std::string_view text, std::size_t width);
std::string align_left(std::string_view text, std::size_t width);
/// The first `limit` code points of `text`.
std::string first_code_points(std::string_view text, std::size_t limit);
/// format(value, "g") of the host.
std::string general_form(double value);

}  // namespace emberscope::records
