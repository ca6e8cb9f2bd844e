#include "bot/commands.hpp"

#include <gtest/gtest.h>

#include <set>

namespace emberscope::bot {
namespace {

using Kind = Parsed::Kind;

struct Case {
    const char* text;
    Kind kind;
    const char* name;
    const char* netuid;
    double period_seconds;
};

class ParseCommand : public ::testing::TestWithParam<Case> {};

TEST_P(ParseCommand, ReadsTheText) {
    const Case& c = GetParam();
    const Parsed p = parse_command(c.text, "ember_bot");
    EXPECT_EQ(p.kind, c.kind) << c.text;
    if (c.kind == Kind::ignored) return;
    EXPECT_EQ(p.name, c.name) << c.text;
    if (c.kind == Kind::usage) {
        EXPECT_EQ(p.usage, usage_line(c.name)) << c.text;
        return;
    }
    EXPECT_EQ(p.netuid, c.netuid) << c.text;
    EXPECT_DOUBLE_EQ(p.period_seconds, c.period_seconds) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, ParseCommand, ::testing::Values(
    // Not commands, or not ours.
    Case{"", Kind::ignored, "", "", 0},
    Case{"burn 12", Kind::ignored, "", "", 0},
    Case{"/", Kind::ignored, "", "", 0},
    Case{"hello /burn 12", Kind::ignored, "", "", 0},
    Case{"/burn@other_bot 12", Kind::ignored, "", "", 0},
    Case{"/burn@ember_bot_2 12", Kind::ignored, "", "", 0},
    Case{"/weather", Kind::ignored, "", "", 0},           // another bot's, unaddressed
    Case{"/weather@ember_bot", Kind::usage, "weather", "", 0},
    // /burn
    Case{"/burn 12", Kind::command, "burn", "12", 0},
    Case{"  /burn\t012 ", Kind::command, "burn", "12", 0},
    Case{"/burn@Ember_Bot 0", Kind::command, "burn", "0", 0},
    Case{"/BURN 64", Kind::command, "burn", "64", 0},
    Case{"/burn 65535", Kind::command, "burn", "65535", 0},
    Case{"/burn", Kind::usage, "burn", "", 0},
    Case{"/burn 65536", Kind::usage, "burn", "", 0},
    Case{"/burn -1", Kind::usage, "burn", "", 0},
    Case{"/burn 12 13", Kind::usage, "burn", "", 0},
    Case{"/burn SN12", Kind::usage, "burn", "", 0},
    Case{"/burn １２", Kind::usage, "burn", "", 0},           // full-width digits
    // /chart
    Case{"/chart 12", Kind::command, "chart", "12", 30 * 86400.0},
    Case{"/chart 12 7", Kind::command, "chart", "12", 7 * 86400.0},
    Case{"/chart 12 0.5", Kind::command, "chart", "12", 43200},
    Case{"/chart 12 0", Kind::usage, "chart", "", 0},
    Case{"/chart 12 3651", Kind::usage, "chart", "", 0},
    Case{"/chart 12 1e3", Kind::usage, "chart", "", 0},
    Case{"/chart 12 nan", Kind::usage, "chart", "", 0},
    Case{"/chart 12 7 8", Kind::usage, "chart", "", 0},
    // /changes
    Case{"/changes", Kind::command, "changes", "", 24 * 3600.0},
    Case{"/changes 6", Kind::command, "changes", "", 6 * 3600.0},
    Case{"/changes six", Kind::usage, "changes", "", 0},
    Case{"/changes 1.2.3", Kind::usage, "changes", "", 0},
    // /status, /help, /start
    Case{"/status", Kind::command, "status", "", 0},
    Case{"/status now", Kind::usage, "status", "", 0},
    Case{"/help", Kind::command, "help", "", 0},
    Case{"/start", Kind::command, "help", "", 0},
    // /mute, /unmute
    Case{"/mute 12 2h", Kind::command, "mute", "12", 7200},
    Case{"/mute ALL 30m", Kind::command, "mute", "all", 1800},
    Case{"/mute 12 1.5d", Kind::command, "mute", "12", 129600},
    Case{"/mute 12 2w", Kind::command, "mute", "12", 14 * 86400.0},
    Case{"/mute 12", Kind::usage, "mute", "", 0},
    Case{"/mute 12 2", Kind::usage, "mute", "", 0},
    Case{"/mute 12 2y", Kind::usage, "mute", "", 0},
    Case{"/mute 12 0h", Kind::usage, "mute", "", 0},
    Case{"/mute 12 400d", Kind::usage, "mute", "", 0},
    Case{"/mute any 2h", Kind::usage, "mute", "", 0},
    Case{"/unmute 12", Kind::command, "unmute", "12", 0},
    Case{"/unmute all", Kind::command, "unmute", "all", 0},
    Case{"/unmute", Kind::usage, "unmute", "", 0},
    Case{"/unmute 12 2h", Kind::usage, "unmute", "", 0}));

TEST(CommandTable, NamesAndDescriptionsFitTelegramsMenu) {
    std::set<std::string_view> names;
    for (const CommandInfo& c : command_table()) {
        EXPECT_TRUE(names.insert(c.name).second) << c.name;
        ASSERT_GE(c.name.size(), 1u);
        EXPECT_LE(c.name.size(), 32u);
        for (char ch : c.name)
            EXPECT_TRUE((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_') << c.name;
        EXPECT_GE(c.description.size(), 1u);
        EXPECT_LE(c.description.size(), 256u);
    }
    EXPECT_EQ(names, (std::set<std::string_view>{"burn", "chart", "changes", "status", "mute",
                                                 "unmute", "help"}));
}

TEST(UsageLine, IsOneLineNamingTheArguments) {
    EXPECT_EQ(usage_line("burn"),
              "usage: /burn N  (SN N's owner burn now, when it last changed, its last changes)");
    EXPECT_EQ(usage_line("status"),
              "usage: /status  (is the monitor alive: last cycle, outbox, next cycle)");
    EXPECT_EQ(usage_line("weather"), "unknown command; /help lists what I answer");
    for (const CommandInfo& c : command_table())
        EXPECT_EQ(usage_line(c.name).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace emberscope::bot
