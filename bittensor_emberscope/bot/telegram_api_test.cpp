#include "bot/telegram_api.hpp"

#include <gtest/gtest.h>

#include "testing_cpp/fake_services.hpp"

namespace emberscope::bot {
namespace {

using testing::FakeError;
using testing::FakeServices;

const std::string kToken = "123456:bot-token-that-must-never-show";

TEST(BotMultipart, APhotoTravelsByteForByte) {
    const std::string data = std::string("\x89PNG\r\n\x1a\n\0\xff", 10) + "--emberscope-\r\n";
    EXPECT_EQ(multipart_body({{"chat_id", "-1001"}, {"caption", "SN12 \u2014 7 days"}}, "photo", "sn12.png",
                             "image/png", data, "B"),
              "--B\r\nContent-Disposition: form-data; name=\"chat_id\"\r\n\r\n-1001\r\n"
              "--B\r\nContent-Disposition: form-data; name=\"caption\"\r\n\r\nSN12 \u2014 7 days\r\n"
              "--B\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"sn12.png\"\r\n"
              "Content-Type: image/png\r\n\r\n" + data + "\r\n--B--\r\n");
}

TEST(BotMultipart, TheBoundaryIsNowhereInThePicture) {
    const std::string first = multipart_boundary("", 7);
    EXPECT_EQ(first.size(), 11u + 32u);
    EXPECT_TRUE(first.starts_with("emberscope-"));
    // A picture that holds the first choice gets another.
    const std::string data = "xx" + first + "yy";
    const std::string second = multipart_boundary(data, 7);
    EXPECT_NE(second, first);
    EXPECT_EQ(data.find(second), std::string::npos);
}

TEST(BotApi, ACallIsAFormPostJudgedAsEveryTelegramAnswer) {
    FakeServices s;
    s.answers.push_back(FakeServices::answer(200, R"({"ok": true, "result": [{"update_id": 3}]})"));
    TelegramApi api(s, kToken, "http://127.0.0.1:8081/");
    const engine::Verdict v = api.call("getUpdates", {{"offset", "3"}, {"timeout", "50"}}, 65);
    EXPECT_EQ(v.kind, engine::Verdict::Kind::delivered);
    EXPECT_EQ(v.result, R"([{"update_id": 3}])");
    EXPECT_EQ(api.last_status(), 200);
    const HttpRequest& r = s.requests.at(0);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.url, "http://127.0.0.1:8081/bot" + kToken + "/getUpdates");
    EXPECT_EQ(r.form, (Fields{{"offset", "3"}, {"timeout", "50"}}));
    EXPECT_EQ((std::pair{r.timeout_seconds, r.deadline_seconds}), (std::pair{65.0, 65.0}));
    EXPECT_EQ(r.redirects, Redirects::none);
    EXPECT_TRUE(r.protocol_errors_fail);
}

TEST(BotApi, WhatGoesWrongIsSaidWithoutTheToken) {
    struct Case {
        HttpAnswer answer;
        engine::Verdict::Kind kind;
        std::string error;
    };
    const Case cases[] = {
        {FakeServices::answer(401, R"({"ok": false, "error_code": 401, "description": "Unauthorized"})"),
         engine::Verdict::Kind::refused, "telegram: HTTP 401 Unauthorized (check TELEGRAM_BOT_TOKEN)"},
        {FakeServices::answer(404, "{\"ok\": false, \"description\": \"Not Found: POST /bot" + kToken + "/x\"}"),
         engine::Verdict::Kind::refused,
         "telegram: HTTP 404 Not Found: POST /bot<token>/x (check TELEGRAM_BOT_TOKEN)"},
        {FakeServices::answer(409, R"({"ok": false, "description": "Conflict: terminated by other getUpdates request"})"),
         engine::Verdict::Kind::refused, "telegram: HTTP 409 Conflict: terminated by other getUpdates request"},
    };
    for (const Case& c : cases) {
        FakeServices s;
        s.answers.push_back(c.answer);
        TelegramApi api(s, kToken, "http://127.0.0.1:8081");
        const engine::Verdict v = api.call("getMe");
        EXPECT_EQ(v.kind, c.kind);
        EXPECT_EQ(v.error, c.error);
        EXPECT_EQ(api.last_status(), c.answer.status);
    }
}

TEST(BotApi, AnExchangeTheServicesEndIsATransientFailure) {
    // A closing bot's cancel descriptor ends the exchange with an ordinary error.
    FakeServices s;
    s.responder = [](const HttpRequest&) -> HttpAnswer { throw FakeError("the exchange was cancelled"); };
    TelegramApi api(s, kToken, "http://127.0.0.1:8081");
    const engine::Verdict v = api.call("getUpdates");
    EXPECT_EQ(v.kind, engine::Verdict::Kind::transient);
    EXPECT_NE(v.error.find("the exchange was cancelled"), std::string::npos) << v.error;
    EXPECT_EQ(v.error.find("bot-token"), std::string::npos);
    EXPECT_EQ(api.last_status(), 0);
    // An error a loop must not survive (an interrupt) goes through.
    s.responder = [](const HttpRequest&) -> HttpAnswer { throw FakeError("interrupted", false); };
    EXPECT_THROW(api.call("getUpdates"), FakeError);
}

}  // namespace
}  // namespace emberscope::bot
