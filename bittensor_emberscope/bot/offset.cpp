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

std::optional<std::int64_t> take_whole(std::string_view& s) {
    s = skip_blanks(s);
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (!s.empty() && s.front() >= '0' && s.front() <= '9') {
        if (++digits > 18) return std::nullopt;
        value = value * 10 + (s.front() - '0');
        s.remove_prefix(1);
    }
    if (digits == 0) return std::nullopt;
    return value;
}

}  // namespace

std::string render_offset(std::int64_t offset) {
    return "{\"offset\": " + std::to_string(offset) + "}\n";
}

std::optional<std::int64_t> parse_offset(std::string_view s) {
    if (!take(s, "{") || !take(s, "\"offset\"") || !take(s, ":")) return std::nullopt;
    const std::optional<std::int64_t> value = take_whole(s);
    if (!value || !take(s, "}")) return std::nullopt;
    if (!skip_blanks(s).empty()) return std::nullopt;
    return value;
}

std::string render_offset_record(const OffsetRecord& record) {
    if (record.answered.empty()) return render_offset(record.offset);
    std::string out = "{\"offset\": " + std::to_string(record.offset) + ", \"answered\": [";
    for (std::size_t i = 0; i < record.answered.size(); ++i)
        out += (i ? ", " : "") + std::to_string(record.answered[i]);
    return out + "]}\n";
}

std::optional<OffsetRecord> parse_offset_record(std::string_view s) {
    if (std::optional<std::int64_t> plain = parse_offset(s)) return OffsetRecord{*plain, {}};
    OffsetRecord record;
    if (!take(s, "{") || !take(s, "\"offset\"") || !take(s, ":")) return std::nullopt;
    const std::optional<std::int64_t> offset = take_whole(s);
    if (!offset || !take(s, ",") || !take(s, "\"answered\"") || !take(s, ":") || !take(s, "["))
        return std::nullopt;
    record.offset = *offset;
    if (!take(s, "]")) {
        do {
            const std::optional<std::int64_t> id = take_whole(s);
            const std::int64_t last = record.answered.empty() ? record.offset : record.answered.back();
            if (!id || *id <= last || record.answered.size() >= kMaxAnswered) return std::nullopt;
            record.answered.push_back(*id);
        } while (take(s, ","));
        if (!take(s, "]")) return std::nullopt;
    }
    if (!take(s, "}") || !skip_blanks(s).empty()) return std::nullopt;
    return record;
}

std::int64_t offset_after(std::int64_t current, std::int64_t update_id) {
    return std::max(current, update_id + 1);
}

std::int64_t load_offset(Services& services, std::string_view path) {
    return load_offset_record(services, path).offset;
}

OffsetRecord load_offset_record(Services& services, std::string_view path) {
    if (!services.is_file(path)) return {};
    std::optional<std::string> content;
    try {
        content = services.read_file(path);
    } catch (...) {
        if (!services.is_ordinary_error(std::current_exception())) throw;
    }
    std::optional<OffsetRecord> record = content ? parse_offset_record(*content) : std::nullopt;
    if (!record) {
        services.console("[bot] cannot read the offset file " + std::string(path) +
                         "; reading every update Telegram still holds\n");
        return {};
    }
    return *record;
}

void save_offset(Services& services, std::string_view path, std::int64_t offset) {
    services.replace_file(path, render_offset(offset));
}

void save_offset_record(Services& services, std::string_view path, const OffsetRecord& record) {
    services.replace_file(path, render_offset_record(record));
}

}  // namespace emberscope::bot
