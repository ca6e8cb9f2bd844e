// Quiet hours: a daily window of UTC minutes, "22:00-07:00", during which alerts are held.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace emberscope::routes {

inline constexpr int kMinutesPerDay = 24 * 60;

struct QuietHours {
    int start = 0;  ///< minute of the day the window opens, 0..1439
    int end = 0;    ///< minute of the day it closes (exclusive); before start when it spans midnight
    bool operator==(const QuietHours&) const = default;

    /// True when `minute_of_day` (0..1439) falls inside the window.
    bool contains(int minute_of_day) const;
    /// True when the UTC moment `epoch_seconds` falls inside the window.
    bool contains_moment(double epoch_seconds) const;
    /// The first moment at or after `epoch_seconds` at which the window is closed: the moment
    /// itself when it is outside, else the window's next end.
    double next_open(double epoch_seconds) const;
    /// "HH:MM-HH:MM".
    std::string text() const;
};

/// "HH:MM-HH:MM" (00:00 to 23:59 each, 24-hour clock, two digits each) with different ends, or
/// nullopt for anything else.
std::optional<QuietHours> parse_quiet_hours(std::string_view text);

}  // namespace emberscope::routes
