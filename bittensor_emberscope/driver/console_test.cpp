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

}  // namespace
}  // namespace emberscope::driver
