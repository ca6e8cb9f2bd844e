// Quiet hours.
#include "routes/quiet_hours.hpp"

#include <cmath>

namespace emberscope::routes {
namespace {

constexpr double kSecondsPerDay = 86400;

// "HH:MM" at the front of `text`, as a minute of the day.
std::optional<int> clock_minute(std::string_view text) {
    if (text.size() != 5 || text[2] != ':') return std::nullopt;
    for (std::size_t i : {0u, 1u, 3u, 4u})
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    const int hours = (text[0] - '0') * 10 + (text[1] - '0');
    const int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    if (hours > 23 || minutes > 59) return std::nullopt;
    return hours * 60 + minutes;
}

int minute_of(double epoch_seconds) {
    const double day_second = epoch_seconds - std::floor(epoch_seconds / kSecondsPerDay) * kSecondsPerDay;
    return static_cast<int>(day_second / 60) % kMinutesPerDay;
}

}  // namespace

bool QuietHours::contains(int minute_of_day) const {
    if (start < end) return minute_of_day >= start && minute_of_day < end;
    return minute_of_day >= start || minute_of_day < end;
}

bool QuietHours::contains_moment(double epoch_seconds) const {
    return contains(minute_of(epoch_seconds));
}

double QuietHours::next_open(double epoch_seconds) const {
    if (!contains_moment(epoch_seconds)) return epoch_seconds;
    const double day_start = std::floor(epoch_seconds / kSecondsPerDay) * kSecondsPerDay;
    double end_moment = day_start + end * 60.0;
    if (end_moment <= epoch_seconds) end_moment += kSecondsPerDay;
    return end_moment;
}

std::string QuietHours::text() const {
    auto clock = [](int minute) {
        const int h = minute / 60 % 24, m = minute % 60;
        return std::string{char('0' + h / 10), char('0' + h % 10), ':', char('0' + m / 10),
                           char('0' + m % 10)};
    };
    return clock(start) + "-" + clock(end);
}

std::optional<QuietHours> parse_quiet_hours(std::string_view text) {
    if (text.size() != 11 || text[5] != '-') return std::nullopt;
    const std::optional<int> start = clock_minute(text.substr(0, 5));
    const std::optional<int> end = clock_minute(text.substr(6, 5));
    if (!start || !end || *start == *end) return std::nullopt;
    return QuietHours{*start, *end};
}

}  // namespace emberscope::routes
