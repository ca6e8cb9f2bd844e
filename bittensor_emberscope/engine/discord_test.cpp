#include "engine/discord.hpp"

#include <gtest/gtest.h>

#include "common/utf8.hpp"
#include "testing_cpp/fake_services.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeServices;
using K = Outcome::Kind;

constexpr std::string_view kHook = "https://discord.example/api/webhooks/123/tok-abcdefghijkl";

TEST(Discord, JudgesAnswersAsDiscordDocumentsThem) {
    struct Case {
        HttpAnswer answer;
        K kind;
        std::string error;
        double retry_after = 0;
        bool shared = false;
    };
    const Case cases[] = {
        {FakeServices::answer(200, R"({"id": "1180000000000000000", "channel_id": "1", "content": "x"})"),
         K::delivered, ""},
        {FakeServices::answer(204, ""), K::delivered, ""},
        // Saved, whatever the body says: posting again would show the alert twice.
        {FakeServices::answer(200, "<html>"), K::delivered, ""},
        {FakeServices::answer(429, R"({"message": "You are being rate limited.", "retry_after": 0.75, "global": false})",
                              {{"Retry-After", "1"}, {"X-RateLimit-Reset-After", "0.750"}, {"X-RateLimit-Scope", "user"}}),
         K::held, "discord: rate limited (HTTP 429, retry after 0.8 s)", 0.75},
        {FakeServices::answer(429, R"({"message": "You are being rate limited.", "retry_after": 12.5, "global": true})",
                              {{"X-RateLimit-Global", "true"}, {"X-RateLimit-Scope", "global"}}),
         K::held, "discord: rate limited (HTTP 429, global, retry after 12.5 s)", 12.5},
        {FakeServices::answer(429, R"({"message": "You are being rate limited.", "retry_after": 2, "global": false})",
                              {{"X-RateLimit-Scope", "shared"}}),
         K::held, "discord: rate limited (HTTP 429, shared, retry after 2 s)", 2, true},
        // Milliseconds where seconds belong: clamped rather than waited for an hour.
        {FakeServices::answer(429, R"({"retry_after": 750000})"), K::held,
         "discord: rate limited (HTTP 429, retry after 300 s)", kDiscordMaxWait},
        {FakeServices::answer(429, "", {{"Retry-After", "3"}}), K::held,
         "discord: rate limited (HTTP 429, retry after 3 s)", 3},
        {FakeServices::answer(429, "", {{"X-RateLimit-Reset-After", "1.5"}}), K::held,
         "discord: rate limited (HTTP 429, retry after 1.5 s)", 1.5},
        {FakeServices::answer(429, R"({"retry_after": -1})"), K::held,
         "discord: rate limited (HTTP 429, retry after 5 s)", kDefaultFloodWait},
        {FakeServices::answer(404, R"({"message": "Unknown Webhook", "code": 10015})", {}, "Not Found"), K::gone,
         "discord: HTTP 404 Not Found: Unknown Webhook (code 10015) (the webhook was deleted or its "
         "address is wrong)"},
        {FakeServices::answer(401, R"({"message": "Invalid Webhook Token", "code": 50027})", {}, "Unauthorized"),
         K::gone,
         "discord: HTTP 401 Unauthorized: Invalid Webhook Token (code 50027) (the webhook was deleted "
         "or its address is wrong)"},
        {FakeServices::answer(400, R"({"message": "Cannot send an empty message", "code": 50006})", {}, "Bad Request"),
         K::refused, "discord: HTTP 400 Bad Request: Cannot send an empty message (code 50006)"},
        {FakeServices::answer(403, R"({"message": "Missing Permissions", "code": 50013})", {}, "Forbidden"),
         K::refused, "discord: HTTP 403 Forbidden: Missing Permissions (code 50013)"},
        {FakeServices::answer(502, "<html>bad gateway</html>", {}, "Bad Gateway"), K::transient,
         "discord: HTTP 502 Bad Gateway: <html>bad gateway</html>"},
        {FakeServices::answer(500, R"({"message": "500: Internal Server Error", "code": 0})", {}, ""),
         K::transient, "discord: HTTP 500 Internal Server Error: 500: Internal Server Error (code 0)"},
        {FakeServices::dropped("[Errno 111] Connection refused"), K::transient,
         "discord: connection refused (discord.example:443)"},
    };
    const secrets::Secret hook{std::string(kHook), kDiscordUrlMask};
    for (const Case& c : cases) {
        AnswerContext context{std::span(&hook, 1), "discord.example:443", 60, 1'765'152'000, 1 << 20};
        const Outcome o = judge_discord_answer(c.answer, context);
        SCOPED_TRACE(c.answer.status);
        EXPECT_EQ(o.kind, c.kind);
        EXPECT_EQ(o.error, c.error);
        EXPECT_DOUBLE_EQ(o.retry_after, c.retry_after);
        EXPECT_EQ(o.shared, c.shared);
    }
}

TEST(Discord, AnErrorNeverQuotesTheAddress) {
    const secrets::Secret hook{std::string(kHook), kDiscordUrlMask};
    AnswerContext context{std::span(&hook, 1), "discord.example:443", 60, 0, 1 << 20};
    const Outcome o = judge_discord_answer(
        FakeServices::answer(400, "no such path " + std::string(kHook), {}, "Bad Request"), context);
    EXPECT_EQ(o.error, "discord: HTTP 400 Bad Request: no such path <discord-webhook>");
}

TEST(Discord, PostsTheContentSoThatNoTextPingsAnyone) {
    DiscordSender loud(std::string(kHook), false, std::nullopt);
    const HttpRequest r = loud.request("SN1: 0.1 → 0.2 @everyone \"x\"", "ignored");
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.url, std::string(kHook) + "?wait=true");
    EXPECT_EQ(r.body, R"({"content": "SN1: 0.1 \u2192 0.2 @everyone \"x\"", "allowed_mentions": {"parse": []}})");
    EXPECT_EQ(r.headers, (std::vector<Header>{{"Content-Type", "application/json"}}));
    EXPECT_EQ(r.redirects, Redirects::none);

    DiscordSender quiet(std::string(kHook) + "?x=1", true, 77);
    const HttpRequest q = quiet.request("hi", "");
    EXPECT_EQ(q.url, std::string(kHook) + "?x=1&wait=true&thread_id=77");
    EXPECT_EQ(q.body, R"({"content": "hi", "allowed_mentions": {"parse": []}, "flags": 4096})");
}

TEST(Discord, SplitsLongTextsOnLinesWithNumberedParts) {
    std::string text = "Owner burn changed\n2026-12-08T00:00:00Z UTC\n";
    for (int i = 0; i < 150; ++i) text += "\nSN" + std::to_string(i) + ": 0.1000 → 0.2000";
    const std::vector<std::string> parts = discord_texts(text);
    ASSERT_EQ(parts.size(), 2u);
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_LE(utf8::length(parts[i]), 2000u);
        const std::string number = "(" + std::to_string(i + 1) + "/2)\nOwner burn changed\n";
        EXPECT_EQ(parts[i].substr(0, number.size()), number);
        joined += parts[i];
    }
    for (int i = 0; i < 150; ++i)
        EXPECT_NE(joined.find("\nSN" + std::to_string(i) + ": 0.1000 → 0.2000"), std::string::npos) << i;
    EXPECT_EQ(discord_texts("short\nalert"), (std::vector<std::string>{"short\nalert"}));
}

TEST(Discord, CutsASingleLineLongerThanAMessage) {
    const std::vector<std::string> parts = discord_texts(std::string(2500, 'x'));
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(utf8::length(parts[0]), 2000u);
    EXPECT_TRUE(parts[0].ends_with("\n[... cut: over 2000 characters]"));
}

}  // namespace
}  // namespace emberscope::engine
