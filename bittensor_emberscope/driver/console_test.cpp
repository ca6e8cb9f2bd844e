#include "driver/console.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace emberscope::driver {
namespace {

TEST(PollInterval, FollowsTheMinuteRule) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double minutes;
        double seconds;
    } cases[] = {
        {5, 300}, {2.5, 150}, {1, 60}, {1.0000001, 60.000006}, {0.5, 60},
        {0, 60},  {-3, 60},   {-inf, 60}, {nan, 60},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(poll_interval_seconds(c.minutes), c.seconds) << c.minutes;
    EXPECT_TRUE(std::isinf(poll_interval_seconds(inf)));
}

TEST(ConsoleLines, CountsAndWording) {
    EXPECT_EQ(alert_sent_line(1), "[burn] alert sent (1 subnet(s))\n");
    EXPECT_EQ(alert_sent_line(128), "[burn] alert sent (128 subnet(s))\n");
    EXPECT_EQ(snapshot_sent_line(1), "[burn] startup snapshot sent (1 subnets)\n");
    EXPECT_EQ(snapshot_sent_line(130), "[burn] startup snapshot sent (130 subnets)\n");
    EXPECT_EQ(detail_line("[burn] error: ", ""), "[burn] error: \n");
    EXPECT_EQ(detail_line("[burn] telegram failed: ", "x\ny"), "[burn] telegram failed: x\\ny\n");
}

TEST(ConsoleLines, ForeignLineBreaksStayInTheirLine) {
    struct Case {
        const char* detail;
        const char* line;
    } cases[] = {
        {"busy\n[burn] alert sent (3 subnet(s))", "[burn] error: busy\\n[burn] alert sent (3 subnet(s))\n"},
        {"<html>\r\n<h1>502</h1>\r\n", "[burn] error: <html>\\r\\n<h1>502</h1>\\r\\n\n"},
        {"\n\n", "[burn] error: \\n\\n\n"},
        // other characters, a backslash included, are written as they are
        {"a\\nb\tc\x0b\x0c\xe2\x80\xa8", "[burn] error: a\\nb\tc\x0b\x0c\xe2\x80\xa8\n"},
    };
    for (const Case& c : cases) {
        const std::string line = detail_line("[burn] error: ", c.detail);
        EXPECT_EQ(line, c.line) << c.detail;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << c.detail;
        EXPECT_EQ(line.find('\r'), std::string::npos) << c.detail;
    }
}

}  // namespace
}  // namespace emberscope::driver
