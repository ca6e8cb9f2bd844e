#include "records/clock.hpp"

#include <gtest/gtest.h>

#include "records/records_fixture.hpp"

namespace emberscope::records {
namespace {

// Epoch seconds as the host's datetime.fromisoformat reads them (UTC when no offset is given).
TEST(RecordsClock, ReadsTheTimesTheHostReads) {
    const std::pair<const char*, double> cases[] = {
        {"2026-03-01", 1772323200.0},
        {"20260301", 1772323200.0},
        {"2026-03-01T12", 1772366400.0},
        {"2026-03-01T1200", 1772366400.0},
        {"2026-03-01T12:00:00.5Z", 1772366400.5},
        {"2026-03-01T12:00:00.1234567", 1772366400.123456},
        {"2026-03-01x12:00", 1772366400.0},
        {"2026-03-01 12:00+01:00", 1772362800.0},
        {"2026-03-01T12:00:00+0100", 1772362800.0},
        {"2026-03-01T12:00:00,5", 1772366400.5},
        {"2026-03-01T12:00:00-00:30", 1772368200.0},
        {"2026-03-01T12:00Z", 1772366400.0},
        {"20260301T120000Z", 1772366400.0},
        {"2026-03-01T12:00:00+01", 1772362800.0},
        {"2024-02-29T23:59:59Z", 1709251199.0},
        {"1969-12-31T23:59:59Z", -1.0},
    };
    for (const auto& [text, epoch] : cases) {
        const std::optional<double> read = parse_utc(text);
        ASSERT_TRUE(read) << text;
        EXPECT_DOUBLE_EQ(*read, epoch) << text;
    }
}

TEST(RecordsClock, RefusesWhatTheHostRefuses) {
    for (const char* text : {"", "x", "2026-3-1", "2026-02-29", "2026-03-01T24:00:00", "2026-03-01T12:60",
                             "2026-03-01T12:00:00 ", "2026-03-01T12:00:00.", "2026-13-01", "0000-01-01",
                             "2026-03-01T12:00:00+", "2026-03-01T12:00:00Zx"})
        EXPECT_FALSE(parse_utc(text)) << text;
}

TEST(RecordsClock, WritesStampsAndSpans) {
    EXPECT_EQ(format_utc(kT0 + 0.9), "2026-03-01T12:00:00Z");
    EXPECT_EQ(format_utc(-1), "1969-12-31T23:59:59Z");
    const std::pair<double, const char*> spans[] = {
        {-5, "0 s"}, {119.9, "119 s"}, {120, "2 min"}, {7199, "119 min"}, {7200, "2 h 0 min"},
        {172799, "47 h 59 min"}, {172800, "2 days"},
    };
    for (const auto& [seconds, text] : spans) EXPECT_EQ(span_text(seconds), text) << seconds;
}

TEST(RecordsClock, AgesFollowTheMonotonicClockWithinABootOnly) {
    const Clock recorded{kT0, "b1", 500};
    const Moment then = moment_at(kT0 - 60, recorded);  // a minute before the reading
    EXPECT_EQ(then.monotonic, 440);
    struct Case { Clock now; double age; };
    const Case cases[] = {
        {{kT0 + 3 * 3600 + 300, "b1", 800}, 360},  // the wall clock stepped 3 h ahead
        {{kT0 - 86400, "b1", 4100}, 3660},         // ... a day back
        {{kT0 + 600, "b2", 10}, 660},              // another boot: the wall clock
        {{kT0 + 600, "", 0}, 660},
    };
    for (const Case& c : cases) EXPECT_EQ(seconds_since(then, c.now), c.age) << c.now.boot << c.now.epoch;
    EXPECT_EQ(moment_at(kT0, Clock{kT0, "", 0}).boot, "");
}

}  // namespace
}  // namespace emberscope::records
