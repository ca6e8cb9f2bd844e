// JSON values of the files beside the state, read as the host's code reads them.
#include "records/values.hpp"

#include <cmath>
#include <cstdio>

#include "common/utf8.hpp"

namespace emberscope::records {

JsonValue null_value() { return {}; }

JsonValue bool_value(bool flag) { return JsonValue::make_boolean(flag); }

JsonValue real_value(double value) { return JsonValue::make_real(value); }

JsonValue list_value() { return JsonValue::make_array(); }

JsonValue text_or_null(const std::optional<std::string>& text) {
    return text ? JsonValue::make_text(*text) : null_value();
}

long long int_of(const JsonValue* value) {
    if (!value || value->kind != JsonValue::Kind::integer) return 0;
    const std::string& digits = value->text;
    if (digits.size() > (digits[0] == '-' ? 19u : 18u)) return 0;
    return std::stoll(digits);
}

const std::string* text_of(const JsonValue* value) {
    return value && value->is_text() ? &value->text : nullptr;
}

std::optional<double> number_of(const JsonValue* value) {
    if (!value) return std::nullopt;
    switch (value->kind) {
        case JsonValue::Kind::boolean: return value->flag ? 1.0 : 0.0;
        case JsonValue::Kind::integer: return std::strtod(value->text.c_str(), nullptr);
        case JsonValue::Kind::real: return value->real;
        default: return std::nullopt;
    }
}

std::string str_of(const JsonValue* value) { return value ? engine::host_str(*value) : "None"; }

bool truthy(const JsonValue* value) { return value && value->truthy(); }

bool same_value(const JsonValue* a, const JsonValue* b) {
    const bool a_none = !a || a->kind == JsonValue::Kind::null;
    const bool b_none = !b || b->kind == JsonValue::Kind::null;
    if (a_none || b_none) return a_none == b_none;
    if (a->is_text() || b->is_text()) return a->is_text() && b->is_text() && a->text == b->text;
    const auto x = number_of(a), y = number_of(b);
    if (x && y) return a->kind == JsonValue::Kind::integer && b->kind == JsonValue::Kind::integer
                           ? a->text == b->text
                           : *x == *y;
    return engine::dump_json(*a) == engine::dump_json(*b);
}

void remove_member(JsonValue& object, std::string_view key) {
    std::erase_if(object.members, [&](const auto& member) { return member.first == key; });
}

std::size_t length(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t pos = 0; pos < text.size(); ++n) utf8::next(text, pos);
    return n;
}

std::string align_right(std::string_view text, std::size_t width) {
    const std::size_t n = length(text);
    std::string out(n < width ? width - n : 0, ' ');
    out += text;
    return out;
}

std::string align_left(std::string_view text, std::size_t width) {
    const std::size_t n = length(text);
    std::string out(text);
    if (n < width) out.append(width - n, ' ');
    return out;
}

std::string first_code_points(std::string_view text, std::size_t limit) {
    std::size_t pos = 0;
    for (std::size_t n = 0; n < limit && pos < text.size(); ++n) utf8::next(text, pos);
    return std::string(text.substr(0, pos));
}

std::string general_form(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char out[64];
    const int n = std::snprintf(out, sizeof out, "%g", value);
    return std::string(out, static_cast<std::size_t>(n));
}

}  // namespace emberscope::records
