// The cycle with rules against flapping: each cycle a process of its own, the rules' state
// carried in the outbox file alone.
#include <gtest/gtest.h>

#include "engine/cycle.hpp"
#include "engine/telegram.hpp"
#include "testing_cpp/cycle_fixture.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeServices;
using namespace fixture;

class CycleFlap : public CycleFixture {
protected:
    CycleFlap() : CycleFixture("123456:FLAP-token") {}

    // One cycle per value of subnet 1, each a fresh run over the files the last one left, five
    // minutes apart; what each alerted ("old>new", "" for nothing) and left unconfirmed.
    std::vector<std::string> cycles(const std::vector<std::string>& values) {
        std::vector<std::string> said;
        for (const std::string& v : values) {
            fake.requests.clear();
            list({{"1", v}});
            for (int i = 0; i < 3; ++i) telegram.push_back(FakeServices::answer(200, kSentOk));
            const CycleReport r = run_cycle(fake, settings);
            telegram.clear();
            std::string one;
            for (const std::string& body : sent_texts()) {
                const std::size_t at = body.find("SN1%3A+");
                one += at == std::string::npos ? body : body.substr(at + 7, body.find('&', at) - at - 7);
            }
            for (const auto& u : r.unconfirmed) one += "~" + u.old_burn + ">" + u.new_burn;
            said.push_back(one);
            fake.clock += 300;
        }
        return said;
    }
};

TEST_F(CycleFlap, ConfirmationAndCooldownHoldAcrossRestarts) {
    routes::Route r;
    r.chat_id = "-1001";
    r.threshold = 0.05;
    r.flap.confirm_cycles = 2;
    r.flap.cooldown_seconds = 600;
    settings.routes = {r};
    fake.files[kState] = state_file({{"1", "0.1"}});
    // The first cycle with the rules sees 0.1 for the first time: it is the reference.
    const std::vector<std::string> said =
        cycles({"0.1", "0.5", "0.1", "0.5", "0.5", "0.2", "0.9", "0.9", "0.9", "0.1", "0.1"});
    EXPECT_EQ(said, (std::vector<std::string>{"", "", "~0.1>0.5", "", "0.1000+%E2%86%92+0.5000", "",
                                              "0.5000+%E2%86%92+0.9000", "", "", "",
                                              "0.9000+%E2%86%92+0.1000"}));
}

TEST_F(CycleFlap, ALevelAlertsOnceUntilReArmed) {
    routes::Route r;
    r.chat_id = "-1001";
    r.threshold = 0.05;
    r.flap.above = 0.5;
    r.flap.rearm = 0.4;
    settings.routes = {r};
    fake.files[kState] = state_file({{"1", "0.3"}});
    EXPECT_EQ(cycles({"0.3", "0.6", "0.45", "0.6", "0.35", "0.55"}),
              (std::vector<std::string>{"", "0.3000+%E2%86%92+0.6000", "", "", "",
                                        "0.3500+%E2%86%92+0.5500"}));
}

TEST_F(CycleFlap, RoutesWithoutRulesKeepNoStateAndRulesTakenOutAreForgotten) {
    routes::Route r;
    r.chat_id = "-1001";
    r.threshold = 0.05;
    r.flap.direction = routes::Direction::up;
    settings.routes = {r};
    fake.files[kState] = state_file({{"1", "0.1"}});
    cycles({"0.1", "0.5"});
    ASSERT_EQ(outbox().flap.size(), 1u);
    EXPECT_EQ(outbox().flap[0].state.reference, "0.5");
    settings.routes[0].flap = {};
    cycles({"0.6"});
    EXPECT_TRUE(outbox().flap.empty());
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
}

}  // namespace
}  // namespace emberscope::engine
