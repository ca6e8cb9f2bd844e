// The bot's offset file.
#include "bot/offset.hpp"

#include <algorithm>

namespace emberscope::bot {
namespace {

std::string_view skip_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\r' ||
                          s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

bool take(std::string_view& s, std::string_view word) {
    s = skip_blanks(s);
    if (s.substr(0, word.size()) != word) return false;
    s.remove_prefix(word.size());
    return true;
}

}  // namespace

std::string render_offset(std::int64_t offset) {
    return "{\"offset\": " + std::to_string(offset) + "}\n";
}

std::optional<std::int64_t> parse_offset(std::string_view s) {
    if (!take(s, "{") || !take(s, "\"offset\"") || !take(s, ":")) return std::nullopt;
    s = skip_blanks(s);
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (!s.empty() && s.front() >= '0' && s.front() <= '9') {
        if (++digits > 18) return std::nullopt;
        value = value * 10 + (s.front() - '0');
        s.remove_prefix(1);
    }
    if (digits == 0 || !take(s, "}")) return std::nullopt;
    if (!skip_blanks(s).empty()) return std::nullopt;
    return value;
}

std::int64_t offset_after(std::int64_t current, std::int64_t update_id) {
    return std::max(current, update_id + 1);
}

std::int64_t load_offset(Services& services, std::string_view path) {
    if (!services.is_file(path)) return 0;
    std::optional<std::string> content;
    try {
        content = services.read_file(path);
    } catch (...) {
        if (!services.is_ordinary_error(std::current_exception())) throw;
    }
    std::optional<std::int64_t> offset = content ? parse_offset(*content) : std::nullopt;
    if (!offset) {
        services.console("[bot] cannot read the offset file " + std::string(path) +
                         "; reading every update Telegram still holds\n");
        return 0;
    }
    return *offset;
}

void save_offset(Services& services, std::string_view path, std::int64_t offset) {
    services.replace_file(path, render_offset(offset));
}

}  // namespace emberscope::bot
