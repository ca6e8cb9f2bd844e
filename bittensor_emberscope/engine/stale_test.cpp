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
        // On the wall clock alone (no boot named): as across boots.
        std::optional<QueueClock> last;
        if (c.last_good) last = QueueClock{*c.last_good, "", 0};
        const StaleStep step = stale_step(last, c.sent, c.good_now, QueueClock{c.at, "", 0}, after);
        EXPECT_EQ(step.kind, c.kind) << c.at - good;
        if (c.kind != K::none) {
            EXPECT_EQ(step.minutes, c.minutes) << c.at - good;
        }
    }
}

TEST(StaleStep, WithinABootTheMonotonicClockTimesIt) {
    const double good = 1'765'152'000;
    const double after = 30 * 60;
    using K = StaleStep::Kind;
    struct Case { std::string now_boot; double wall; double monotonic; K kind; long long minutes; };
    const Case cases[] = {
        {"b1", good + 3 * 3600 + 300, 1000 + 300, K::none, 0},    // the wall clock 3 h ahead
        {"b1", good - 86400 + 3600, 1000 + 3600, K::stale, 60},  // 1 day back, a 60-min outage
        {"b2", good + 3600, 50, K::stale, 60},                   // another boot: the wall clock
        {"b2", good - 600, 5000, K::none, 0},                    // ... set back: no time passed
    };
    for (const Case& c : cases) {
        const StaleStep step = stale_step(QueueClock{good, "b1", 1000}, false, false,
                                          QueueClock{c.wall, c.now_boot, c.monotonic}, after);
        EXPECT_EQ(step.kind, c.kind) << c.now_boot << " " << c.wall - good;
        EXPECT_EQ(step.minutes, c.minutes) << c.now_boot << " " << c.wall - good;
    }
}

TEST(StaleStep, Texts) {
    EXPECT_EQ(stale_text(66, 1'765'152'000 + 59),
              "emberscope: no good listing from Taostats for 66 min (last good at 2025-12-08 00:00 UTC)");
    EXPECT_EQ(back_text(125), "emberscope: listings from Taostats are back after 125 min");
}

}  // namespace
}  // namespace emberscope::engine
