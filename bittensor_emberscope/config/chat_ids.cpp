// Telegram chat identifiers.
#include "config/chat_ids.hpp"

#include <charconv>
#include <cstdint>

#include "common/text.hpp"

namespace emberscope::config {
namespace {

bool is_name_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_public_name(std::string_view text) {
    if (text.size() < 5 || text.size() > 33 || text.front() != '@') return false;
    for (const char c : text.substr(1))
        if (!is_name_character(c)) return false;
    return true;
}

bool is_number(std::string_view text) {
    const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
    if (digits.empty()) return false;
    for (const char c : digits)
        if (c < '0' || c > '9') return false;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

}  // namespace

bool is_chat_id(std::string_view text) { return is_number(text) || is_public_name(text); }

std::string chat_key(std::string_view chat_id) {
    std::string key(chat_id);
    if (key.starts_with('@'))
        for (char& c : key) c = text::ascii_lower(c);
    return key;
}

bool same_chat(std::string_view a, std::string_view b) {
    if (a.starts_with('@') && b.starts_with('@')) return text::same_ignoring_case(a, b);
    return a == b;
}

}  // namespace emberscope::config
