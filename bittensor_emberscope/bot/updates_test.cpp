#include "bot/updates.hpp"

#include <gtest/gtest.h>

namespace emberscope::bot {
namespace {

TEST(Updates, AnythingButAListIsNoUpdate) {
    for (const char* result : {"[]", "null", "{}", "\"text\"", "17", "", "[", "{\"0\": {}}"})
        EXPECT_TRUE(read_updates(result).empty()) << result;
}

TEST(Updates, AMessageIsReadWithItsChatSenderAndTopic) {
    const auto updates = read_updates(
        R"([{"update_id": 901, "message": {"message_id": 3, "chat": {"id": -1001234567890,
            "type": "supergroup", "username": "ember_ops"}, "from": {"id": 42, "is_bot": false},
            "message_thread_id": 5, "text": "/burn 12"}}])");
    ASSERT_EQ(updates.size(), 1u);
    ASSERT_TRUE(updates[0].id && updates[0].message);
    EXPECT_EQ(*updates[0].id, 901);
    const Message& m = *updates[0].message;
    EXPECT_EQ(m.update_id, 901);
    EXPECT_EQ(m.chat_id, "-1001234567890");
    EXPECT_EQ(m.chat_username, "ember_ops");
    EXPECT_EQ(m.user_id, "42");
    EXPECT_EQ(m.thread_id, 5);
    EXPECT_EQ(m.text, "/burn 12");
}

TEST(Updates, WhatIsNotATextMessageHasNoMessage) {
    struct Case {
        const char* update;
        bool has_id;
        bool has_message;
    };
    const Case cases[] = {
        {R"({"update_id": 1, "message": {"chat": {"id": 5}, "text": "/help"}})", true, true},
        {R"({"update_id": 1, "message": {"chat": {"id": 5}, "photo": []}})", true, false},
        {R"({"update_id": 1, "message": {"chat": {"id": "5"}, "text": "/help"}})", true, false},
        {R"({"update_id": 1, "message": {"text": "/help"}})", true, false},
        {R"({"update_id": 1, "message": {"chat": {"id": 5}, "text": 7}})", true, false},
        {R"({"update_id": 1, "edited_message": {"chat": {"id": 5}, "text": "/help"}})", true, false},
        {R"({"update_id": "1", "message": {"chat": {"id": 5}, "text": "/help"}})", false, true},
        {R"({"message": {"chat": {"id": 5}, "text": "/help"}})", false, true},
        {R"({"update_id": 1.5})", false, false},
        {R"(["not", "an", "object"])", false, false},
    };
    for (const Case& c : cases) {
        const auto updates = read_updates(std::string("[") + c.update + "]");
        ASSERT_EQ(updates.size(), 1u) << c.update;
        EXPECT_EQ(updates[0].id.has_value(), c.has_id) << c.update;
        EXPECT_EQ(updates[0].message.has_value(), c.has_message) << c.update;
    }
}

TEST(Updates, AnUpdateIsKnownAgainByItsFingerprint) {
    const auto first = read_updates(R"([{"message": {"text": "a"}}, {"message": {"text": "b"}}])");
    const auto again = read_updates(R"([ {"message" : {"text":"a"}} ])");
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(first[0].fingerprint, first[1].fingerprint);
    EXPECT_EQ(first[0].fingerprint, again[0].fingerprint);  // the same JSON, spaced otherwise
}

TEST(Updates, TheBotsNameComesFromGetMe) {
    EXPECT_EQ(read_username(R"({"id": 1, "is_bot": true, "username": "emberscope_bot"})"), "emberscope_bot");
    for (const char* result : {R"({"id": 1})", R"({"username": 5})", "null", "[]", "{"})
        EXPECT_EQ(read_username(result), "") << result;
}

}  // namespace
}  // namespace emberscope::bot
