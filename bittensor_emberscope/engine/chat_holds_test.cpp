#include "engine/chat_holds.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace emberscope::engine {
namespace {

TEST(ChatHolds, AHoldAndTheGapDecideWhenAChatTakesTheNextMessage) {
    ChatHolds holds(1.0);
    EXPECT_EQ(holds.ready_at("-1001", 100), 100);  // never heard of: at once
    holds.sent("-1001", 100);
    struct Case {
        double now;
        double ready;
    };
    for (const Case& c : {Case{100, 101}, Case{100.5, 101}, Case{101, 101}, Case{130, 130},
                          Case{99, 99}}) {  // a clock behind the last message owes no gap
        EXPECT_EQ(holds.ready_at("-1001", c.now), c.ready) << c.now;
    }
    holds.hold("-1001", 141);
    holds.hold("-1001", 120);  // an earlier end never shortens a hold
    EXPECT_EQ(holds.ready_at("-1001", 100.2), 141);
    EXPECT_EQ(holds.held_until("-1001", 140), 141);
    EXPECT_EQ(holds.held_until("-1001", 141), std::nullopt);
    EXPECT_EQ(holds.ready_at("-1002", 100.2), 100.2);  // another chat is not held
}

TEST(ChatHolds, AnAnswersFloodHoldsTheAlertsOfTheChatAndTheReverse) {
    // One registry for both senders: what one learnt from Telegram, the other honours.
    ChatHolds holds;
    holds.hold("-1001", 100 + 41);  // the bot's answer got 429, retry after 41
    const double alert_ready = holds.ready_at("-1001", 100);
    EXPECT_EQ(alert_ready, 141);
    holds.hold("-1002", 200);  // an alert got 429
    EXPECT_EQ(holds.ready_at("-1002", 150), 200);
    EXPECT_EQ(holds.holds(150), (std::vector<std::pair<std::string, double>>{{"-1002", 200}}));
}

TEST(ChatHolds, AMovedChatIsOneChatUnderBothIds) {
    ChatHolds holds;
    holds.hold("-100", 50);
    holds.sent("-100", 10);
    holds.migrate("-100", "-1009");
    EXPECT_EQ(holds.chat_for("-100"), "-1009");
    EXPECT_EQ(holds.chat_for("-1009"), "-1009");
    EXPECT_EQ(holds.chat_for("-7"), "-7");
    EXPECT_EQ(holds.held_until("-1009", 20), 50);  // the hold came along
    EXPECT_EQ(holds.held_until("-100", 20), 50);
    holds.hold("-100", 70);  // a hold by the old id lands on the new one
    EXPECT_EQ(holds.held_until("-1009", 20), 70);
    // A chain of moves is followed; a move back onto an old id is refused (no cycle).
    holds.migrate("-1009", "-10099");
    holds.migrate("-10099", "-100");
    EXPECT_EQ(holds.chat_for("-100"), "-10099");
    EXPECT_EQ(holds.migrations(),
              (std::vector<std::pair<std::string, std::string>>{{"-100", "-1009"}, {"-1009", "-10099"}}));
}

TEST(ChatHolds, ThreadsMayAskAndTellAtOnce) {
    ChatHolds holds;
    std::thread other([&] {
        for (int i = 0; i < 2000; ++i) holds.sent("-" + std::to_string(i % 7), i);
    });
    for (int i = 0; i < 2000; ++i) holds.hold("-" + std::to_string(i % 5), i + 0.5);
    other.join();
    EXPECT_EQ(holds.held_until("-4", 1999), 1999.5);
}

}  // namespace
}  // namespace emberscope::engine
