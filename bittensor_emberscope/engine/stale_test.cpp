#include "engine/stale.hpp"

#include <gtest/gtest.h>

namespace emberscope::engine {
namespace {

TEST(StaleStep, TellsOnceWhenTooLongAndOnceWhenBack) {
    const double good = 1'765'152'000;  // 2025-12-08 00:00 UTC
    const double after = 30 * 60;
    using K = StaleStep::Kind;
    struct Case { std::optional<double> last_good; bool sent; bool good_now; double at; K kind; long long minutes; };
    const Case cases[] = {
        {std::nullopt, false, false, good + 7200, K::none, 0},  // no good listing yet: no measure
        {good, false, false, good + after - 1, K::none, 0},
        {good, false, false, good + after, K::stale, 30},
        {good, false, false, good + 4000, K::stale, 66},
        {good, true, false, good + 9000, K::none, 0},           // told already
        {good, true, true, good + 4000, K::back, 66},
        {good, false, true, good + 4000, K::none, 0},           // never told: nothing to undo
        {good, false, false, good - 600, K::none, 0},           // a clock set back
    };
    for (const Case& c : cases) {
        const StaleStep step = stale_step(c.last_good, c.sent, c.good_now, c.at, after);
        EXPECT_EQ(step.kind, c.kind) << c.at - good;
        if (c.kind != K::none) {
            EXPECT_EQ(step.minutes, c.minutes) << c.at - good;
        }
    }
}

TEST(StaleStep, Texts) {
    EXPECT_EQ(stale_text(66, 1'765'152'000 + 59),
              "emberscope: no good listing from Taostats for 66 min (last good at 2025-12-08 00:00 UTC)");
    EXPECT_EQ(back_text(125), "emberscope: listings from Taostats are back after 125 min");
}

}  // namespace
}  // namespace emberscope::engine
