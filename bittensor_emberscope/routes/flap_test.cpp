#include "routes/flap.hpp"

#include <gtest/gtest.h>

namespace emberscope::routes {
namespace {

Route rules(FlapRules flap, double threshold = 0.05) {
    Route r;
    r.chat_id = "1";
    r.threshold = threshold;
    r.flap = flap;
    return r;
}

// "old>new" for each alert, "~old>new" for an unconfirmed blip, "" for a quiet cycle; one
// cycle every five minutes from epoch second 0.
std::vector<std::string> run(const Route& route, const std::vector<std::string>& values,
                             FlapState state = {}) {
    std::vector<std::string> out;
    double now = 0;
    for (const std::string& v : values) {
        const FlapStep step = step_flap(route, state, "7", v, now);
        std::string said;
        if (step.alert) said = step.alert->old_burn + ">" + step.alert->new_burn;
        if (step.unconfirmed) said += "~" + step.unconfirmed->old_burn + ">" + step.unconfirmed->new_burn;
        out.push_back(said);
        now += 300;
    }
    return out;
}

TEST(Flap, ValueSequencesGiveTheseAlerts) {
    struct Case {
        const char* name;
        FlapRules flap;
        std::vector<std::string> values;
        std::vector<std::string> said;
    };
    FlapRules confirm3;
    confirm3.confirm_cycles = 3;
    FlapRules up;
    up.direction = Direction::up;
    FlapRules down;
    down.direction = Direction::down;
    FlapRules cool;
    cool.cooldown_seconds = 900;  // three cycles
    FlapRules above;
    above.above = 0.5;
    above.rearm = 0.4;
    FlapRules below;
    below.below = 0.2;
    FlapRules levels_confirmed;
    levels_confirmed.above = 0.5;
    levels_confirmed.confirm_cycles = 2;
    const Case cases[] = {
        {"no rules: every move at once", {}, {"0.1", "0.5", "0.1", "0.12"}, {"", "0.1>0.5", "0.5>0.1", ""}},
        {"confirm: a swing that comes back is a blip", confirm3,
         {"0.1", "0.5", "0.1", "0.5", "0.52", "0.1"},
         {"", "", "~0.1>0.5", "", "", "~0.1>0.52"}},
        {"confirm: held three cycles, shown from the stored value to the latest", confirm3,
         {"0.1", "0.5", "0.6", "0.7", "0.7", "0.72"}, {"", "", "", "0.1>0.7", "", ""}},
        {"up only: a fall is not alerted and the next rise counts from it", up,
         {"0.5", "0.2", "0.3", "0.31"}, {"", "", "0.2>0.3", ""}},
        {"down only", down, {"0.5", "0.9", "0.3"}, {"", "", "0.9>0.3"}},
        {"cooldown: moves within it go out together when it ends, from the last alerted", cool,
         {"0.1", "0.5", "0.2", "0.8", "0.9", "0.9", "0.3"},
         {"", "0.1>0.5", "", "", "0.5>0.9", "", ""}},
        {"cooldown: a subnet back at the alerted value says nothing", cool,
         {"0.1", "0.5", "0.2", "0.5", "0.5"}, {"", "0.1>0.5", "", "", ""}},
        {"above: once, then re-armed below 0.4", above,
         {"0.3", "0.6", "0.45", "0.6", "0.35", "0.55"}, {"", "0.3>0.6", "", "", "", "0.35>0.55"}},
        {"above: a value that starts above never crossed", above, {"0.7", "0.8", "0.3", "0.6"},
         {"", "", "", "0.3>0.6"}},
        {"below: re-armed at the level itself", below, {"0.5", "0.1", "0.15", "0.25", "0.1"},
         {"", "0.5>0.1", "", "", "0.25>0.1"}},
        {"a level with confirmation", levels_confirmed, {"0.3", "0.6", "0.4", "0.6", "0.7"},
         {"", "", "~0.3>0.6", "", "0.4>0.7"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(rules(c.flap), c.values), c.said);
    }
}

TEST(Flap, ExplainsTheRulesInOneLine) {
    FlapRules a;
    EXPECT_EQ(describe_flap(a), "every move, at once");
    a.direction = Direction::up;
    a.confirm_cycles = 3;
    a.cooldown_seconds = 1800;
    EXPECT_EQ(describe_flap(a), "moves up, held 3 cycles, then 30 min quiet per subnet");
    FlapRules b;
    b.above = 0.5;
    b.rearm = 0.4;
    EXPECT_EQ(describe_flap(b), "above 0.5 (re-armed past 0.4), at once");
    b.below = 0.1;
    b.rearm.reset();
    EXPECT_EQ(describe_flap(b), "above 0.5 or below 0.1 (re-armed once back), at once");
}

}  // namespace
}  // namespace emberscope::routes
