#include "bot/cooldown.hpp"

#include <gtest/gtest.h>

namespace emberscope::bot {
namespace {

struct Step {
    const char* chat;
    double now;
    bool admitted;
};

TEST(Cooldown, OneCommandAGapPerChat) {
    Cooldown cooldown(1.0);
    const Step steps[] = {
        {"a", 100.0, true},
        {"a", 100.5, false},  // too soon
        {"b", 100.5, true},   // another chat has its own clock
        {"a", 100.99, false},
        {"a", 101.0, true},   // a full gap after the last answered one
        {"a", 101.9, false},
        {"a", 50.0, false},   // the clock went back: no time has passed
        {"a", 50.9, false},
        {"a", 51.0, true},
    };
    for (const Step& s : steps)
        EXPECT_EQ(cooldown.admit(s.chat, s.now), s.admitted) << s.chat << " at " << s.now;
}

TEST(Cooldown, ForgetsQuietChatsToStayBounded) {
    Cooldown cooldown(1.0, 3);
    EXPECT_TRUE(cooldown.admit("a", 0));
    EXPECT_TRUE(cooldown.admit("b", 0));
    EXPECT_TRUE(cooldown.admit("c", 0.5));
    EXPECT_FALSE(cooldown.admit("d", 0.6));  // all three still cooling down: no room
    EXPECT_TRUE(cooldown.admit("d", 1.2));   // a and b forgotten
    EXPECT_EQ(cooldown.remembered(), 2u);
    EXPECT_FALSE(cooldown.admit("c", 1.3));  // c was kept, and is still cooling down
}

}  // namespace
}  // namespace emberscope::bot
