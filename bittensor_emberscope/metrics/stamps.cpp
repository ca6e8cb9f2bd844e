#include "metrics/stamps.hpp"

#include <chrono>

namespace emberscope::metrics {

namespace {

// The number of `width` ASCII digits at `pos`, advancing past them; -1 when they are not digits.
int digits(std::string_view text, std::size_t& pos, std::size_t width) {
    if (pos + width > text.size()) return -1;
    int value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    pos += width;
    return value;
}

bool take(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

}  // namespace

std::optional<double> utc_seconds(std::string_view text) {
    std::size_t pos = 0;
    const int year = digits(text, pos, 4);
    if (year < 1 || !take(text, pos, '-')) return std::nullopt;
    const int month = digits(text, pos, 2);
    if (!take(text, pos, '-')) return std::nullopt;
    const int day = digits(text, pos, 2);
    if (!take(text, pos, 'T') && !take(text, pos, ' ')) return std::nullopt;
    const int hour = digits(text, pos, 2);
    if (!take(text, pos, ':')) return std::nullopt;
    const int minute = digits(text, pos, 2);
    if (!take(text, pos, ':')) return std::nullopt;
    const int second = digits(text, pos, 2);
    if (month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{year},
                                           std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok()) return std::nullopt;

    double fraction = 0;
    if (take(text, pos, '.') || take(text, pos, ',')) {
        double scale = 0.1;
        const std::size_t first = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            fraction += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == first) return std::nullopt;
    }
    int offset_seconds = 0;
    if (take(text, pos, 'Z')) {
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos++] == '-' ? -1 : 1;
        const int hours = digits(text, pos, 2);
        if (!take(text, pos, ':')) return std::nullopt;
        const int minutes = digits(text, pos, 2);
        if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
        offset_seconds = sign * (hours * 3600 + minutes * 60);
    }
    if (pos != text.size()) return std::nullopt;

    const auto days = std::chrono::sys_days{date}.time_since_epoch().count();
    return static_cast<double>(days) * 86400 + hour * 3600 + minute * 60 + second
           - offset_seconds + fraction;
}

}  // namespace emberscope::metrics
