#include "bot/access.hpp"

#include <gtest/gtest.h>

namespace emberscope::bot {
namespace {

struct Case {
    const char* what;
    Sender sender;
    bool allowed;
};

class Allowed : public ::testing::TestWithParam<Case> {};

TEST_P(Allowed, AnswersOnlyConfiguredChatsAndListedUsers) {
    const AccessList access{{"-1001234567890", "@Ember_Channel"}, {"42", "77"}};
    EXPECT_EQ(allowed(access, GetParam().sender), GetParam().allowed) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Table, Allowed, ::testing::Values(
    Case{"the configured chat", {"-1001234567890", "", "5"}, true},
    Case{"a chat named like the configured one", {"-100555", "ember_channel", ""}, true},
    Case{"a listed user in a private chat", {"42", "", "42"}, true},
    Case{"a listed user in a stranger's group", {"-100999", "", "77"}, true},
    Case{"a stranger in a stranger's group", {"-100999", "", "5"}, false},
    Case{"a stranger in private", {"5", "", "5"}, false},
    Case{"a prefix of the chat id", {"-100123456789", "", "5"}, false},
    Case{"a name without its at sign", {"-100555", "Ember_Channel_2", ""}, false},
    Case{"a channel post without a user", {"-100999", "", ""}, false},
    Case{"nothing known", {"", "", ""}, false}));

TEST(Allowed, EmptyListsAnswerNobody) {
    EXPECT_FALSE(allowed(AccessList{{""}, {""}}, Sender{"", "", ""}));
    EXPECT_FALSE(allowed(AccessList{}, Sender{"-1001", "chan", "42"}));
}

TEST(ParseUserIds, ReadsACommaSeparatedList) {
    std::string bad;
    EXPECT_EQ(parse_user_ids("", &bad), std::vector<std::string>{});
    EXPECT_EQ(parse_user_ids(" 42, 77 ,,-5 ", &bad), (std::vector<std::string>{"42", "77", "-5"}));
    EXPECT_EQ(parse_user_ids("42,alice", &bad), std::nullopt);
    EXPECT_EQ(bad, "alice");
    EXPECT_EQ(parse_user_ids("4 2", &bad), std::nullopt);
    EXPECT_EQ(bad, "4 2");
}

}  // namespace
}  // namespace emberscope::bot
