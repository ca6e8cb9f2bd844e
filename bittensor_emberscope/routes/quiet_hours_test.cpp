#include "routes/quiet_hours.hpp"

#include <gtest/gtest.h>

namespace emberscope::routes {
namespace {

TEST(QuietHours, ParsesWindowsAndRefusesEverythingElse) {
    struct Case { const char* text; std::optional<QuietHours> want; };
    const Case cases[] = {
        {"22:00-07:00", QuietHours{22 * 60, 7 * 60}},
        {"00:00-23:59", QuietHours{0, 23 * 60 + 59}},
        {"09:30-17:45", QuietHours{9 * 60 + 30, 17 * 60 + 45}},
        {"23:59-00:00", QuietHours{23 * 60 + 59, 0}},
        {"22:00-22:00", std::nullopt},   // an empty or a whole-day window is no window
        {"24:00-07:00", std::nullopt},
        {"22:60-07:00", std::nullopt},
        {"2:00-07:00", std::nullopt},
        {"22:00 - 07:00", std::nullopt},
        {"22:00-07:00 ", std::nullopt},
        {"22.00-07.00", std::nullopt},
        {"", std::nullopt},
        {"22:00-0７:00", std::nullopt},  // a full-width digit
    };
    for (const Case& c : cases) EXPECT_EQ(parse_quiet_hours(c.text), c.want) << c.text;
}

TEST(QuietHours, WindowsAcrossMidnightAndWithinADay) {
    const QuietHours night{22 * 60, 7 * 60};
    const QuietHours day{9 * 60, 17 * 60};
    struct Case { int minute; bool in_night; bool in_day; };
    const Case cases[] = {
        {0, true, false},          {6 * 60 + 59, true, false}, {7 * 60, false, false},
        {9 * 60, false, true},     {16 * 60 + 59, false, true}, {17 * 60, false, false},
        {21 * 60 + 59, false, false}, {22 * 60, true, false},   {23 * 60 + 59, true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(night.contains(c.minute), c.in_night) << c.minute;
        EXPECT_EQ(day.contains(c.minute), c.in_day) << c.minute;
    }
}

TEST(QuietHours, NextOpenIsTheWindowsEnd) {
    const QuietHours night{22 * 60, 7 * 60};
    const double day = 20000 * 86400.0;  // a midnight, UTC
    struct Case { double at; double want; };
    const Case cases[] = {
        {day + 12 * 3600, day + 12 * 3600},             // outside: now
        {day + 23 * 3600, day + 86400 + 7 * 3600},      // before midnight: tomorrow 07:00
        {day + 3 * 3600 + 17, day + 7 * 3600},          // after midnight: today 07:00
        {day + 7 * 3600, day + 7 * 3600},               // the end itself is open
        {day + 22 * 3600, day + 86400 + 7 * 3600},      // the start itself is quiet
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(night.next_open(c.at), c.want) << c.at - day;
    EXPECT_EQ(night.text(), "22:00-07:00");
}

}  // namespace
}  // namespace emberscope::routes
