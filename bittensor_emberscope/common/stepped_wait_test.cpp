#include "common/stepped_wait.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace emberscope {
namespace {

TEST(WaitInSteps, StepsOfASecondAtMostAndThePauseBeforeEach) {
    struct Case {
        double seconds;
        int paused_before_step;  // -1: never
        bool done;
        std::vector<double> steps;
    };
    const Case cases[] = {
        {2.5, -1, true, {1, 1, 0.5}},
        {2.7, -1, true, {1, 1, 2.7 - 2}},
        {1.0, -1, true, {1}},
        {0.0, -1, true, {}},
        {-3.0, -1, true, {}},
        {std::nan(""), -1, true, {}},
        {3.0, 0, false, {}},
        {3.0, 2, false, {1, 1}},
    };
    for (const Case& c : cases) {
        std::vector<double> steps;
        int asked = 0;
        const bool done = wait_in_steps(
            c.seconds, [&] { return asked++ == c.paused_before_step; },
            [&](double s) { steps.push_back(s); });
        EXPECT_EQ(done, c.done) << c.seconds;
        EXPECT_EQ(steps, c.steps) << c.seconds;
    }
}

TEST(WaitInSteps, InfinityNeverEndsOnItsOwn) {
    int steps = 0;
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(wait_in_steps(inf, [&] { return steps == 1000; }, [&](double s) {
        EXPECT_EQ(s, 1.0);
        ++steps;
    }));
    EXPECT_EQ(steps, 1000);
}

}  // namespace
}  // namespace emberscope
