#include "engine/telegram.hpp"

#include <gtest/gtest.h>

#include "testing_cpp/fake_services.hpp"
#include "common/utf8.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeServices;
using K = Verdict::Kind;

const std::string kHtml502 =
    "<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n<center><h1>502 Bad "
    "Gateway</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n";

TEST(EngineTelegram, JudgesAnswersAsTelegramReallySendsThem) {
    struct Case {
        HttpAnswer answer;
        K kind;
        std::string error;
        double retry_after = 0;
        std::string new_chat = "";
    };
    HttpAnswer cut = FakeServices::dropped("IncompleteRead(10 bytes read, 38 more expected)");
    cut.failure->kind = TransportFailure::Kind::cut_off;
    const Case cases[] = {
        {FakeServices::answer(200, R"({"ok": true, "result": {"message_id": 17}})"), K::delivered, ""},
        {FakeServices::answer(200, R"({"ok": false})"), K::refused, "telegram: refused: {'ok': False}"},
        {FakeServices::answer(200, "<html>\r\n</html>"), K::transient,
         "telegram: unreadable answer to HTTP 200 OK (Expecting value: line 1 column 1 (char 0)): "
         "<html> </html>"},
        {FakeServices::answer(200, R"({"ok": tr)"), K::transient,
         "telegram: unreadable answer to HTTP 200 OK (Expecting value: line 1 column 8 (char 7)): "
         "{\"ok\": tr"},
        {FakeServices::answer(200, "[]"), K::transient,
         "telegram: unreadable answer to HTTP 200 OK (not a JSON object)"},
        {FakeServices::answer(429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 7","parameters":{"retry_after":7}})",
                              {{"Retry-After", "9"}}),
         K::flood, "telegram: rate limited (HTTP 429, retry after 7 s)", 7},
        {FakeServices::answer(429, "", {{"retry-after", "12"}}, "Too Many Requests"), K::flood,
         "telegram: rate limited (HTTP 429, retry after 12 s)", 12},
        {FakeServices::answer(429, "", {{"Retry-After", "Mon, 08 Dec 2025 00:00:30 GMT"}}), K::flood,
         "telegram: rate limited (HTTP 429, retry after 30 s)", 30},
        {FakeServices::answer(429, "{}"), K::flood, "telegram: rate limited (HTTP 429, retry after 5 s)",
         kDefaultFloodWait},
        {FakeServices::answer(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: group chat was upgraded to a supergroup chat", "parameters": {"migrate_to_chat_id": -1001234567890}})"),
         K::migrated, "telegram: HTTP 400 Bad Request: group chat was upgraded to a supergroup chat", 0,
         "-1001234567890"},
        {FakeServices::answer(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: chat not found"})"),
         K::refused, "telegram: HTTP 400 Bad Request: chat not found"},
        {FakeServices::answer(403, R"({"ok": false, "error_code": 403, "description": "Forbidden: bot was blocked by the user"})"),
         K::refused, "telegram: HTTP 403 Forbidden: bot was blocked by the user"},
        {FakeServices::answer(401, "", {}, "Unauthorized"), K::refused,
         "telegram: HTTP 401 Unauthorized (check TELEGRAM_BOT_TOKEN)"},
        {FakeServices::answer(500, R"({"ok": false, "error_code": 500, "description": "Internal Server Error: restart"})"),
         K::transient, "telegram: HTTP 500 Internal Server Error: restart"},
        {FakeServices::answer(502, kHtml502, {}, "Bad Gateway"), K::transient,
         "telegram: HTTP 502 Bad Gateway: <html> <head><title>502 Bad Gateway</title></head> <body> "
         "<center><h1>502 Bad Gateway</h1></center> <hr><center>nginx</center> </body> </html>"},
        {FakeServices::dropped("Remote end closed connection without response"), K::transient,
         "telegram: connection closed before an answer"},
        {cut, K::transient, "telegram: answer cut off (10 bytes read, 38 more expected)"},
    };
    for (const auto& c : cases) {
        const Verdict v = judge_answer(c.answer, {{}, "", kTelegramDeadline, 1765152000.0});
        EXPECT_EQ(v.kind, c.kind) << c.answer.body;
        EXPECT_EQ(v.error, c.error) << c.answer.body;
        EXPECT_EQ(v.retry_after, c.retry_after) << c.answer.body;
        EXPECT_EQ(v.new_chat_id, c.new_chat) << c.answer.body;
    }
}

// Every Bot API method's answer (the bot's getUpdates, getMe, setMyCommands, sendPhoto) is judged
// as sendMessage's, and a delivered one yields its result for the caller.
TEST(EngineTelegram, JudgesEveryMethodsAnswerAndYieldsItsResult) {
    const std::string token = "123456:AAbot-token-that-must-never-show";
    const secrets::Secret secret{token, secrets::kTokenMask};
    struct Case {
        HttpAnswer answer;
        K kind;
        std::optional<std::string> result;
        std::string error;
        double retry_after = 0;
    };
    HttpAnswer huge = FakeServices::answer(200, "");
    huge.body_over_limit = true;
    const Case cases[] = {
        {FakeServices::answer(200, R"({"ok":true,"result":[{"update_id":7,"message":{"chat":{"id":-1001},"text":"/burn 12 \u2192 )" "\xE2\x86\x92" R"(","date":1.5e9}}]})"),
         K::delivered,
         R"([{"update_id": 7, "message": {"chat": {"id": -1001}, "text": "/burn 12 \u2192 \u2192", "date": 1500000000.0}}])",
         ""},
        {FakeServices::answer(200, R"({"ok":true,"result":[]})"), K::delivered, "[]", ""},
        {FakeServices::answer(200, R"({"ok":true,"result":true,"description":"Webhook is already deleted"})"),
         K::delivered, "true", ""},
        {FakeServices::answer(200, R"({"ok":true,"result":null})"), K::delivered, "null", ""},
        {FakeServices::answer(200, R"({"ok":true})"), K::delivered, std::nullopt, ""},
        {FakeServices::answer(400, R"({"ok":false,"error_code":400,"description":"Bad Request: message text is empty"})"),
         K::refused, std::nullopt, "telegram: HTTP 400 Bad Request: message text is empty"},
        {FakeServices::answer(200, R"({"ok":false,"description":"Bad Request: odd"})"), K::refused,
         std::nullopt, "telegram: refused: {'ok': False, 'description': 'Bad Request: odd'}"},
        {FakeServices::answer(409, R"({"ok":false,"error_code":409,"description":"Conflict: terminated by other getUpdates request; make sure that only one bot instance is running"})",
                              {}, "Conflict"),
         K::refused, std::nullopt,
         "telegram: HTTP 409 Conflict: terminated by other getUpdates request; make sure that only "
         "one bot instance is running"},
        {FakeServices::answer(429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 3","parameters":{"retry_after":3}})"),
         K::flood, std::nullopt, "telegram: rate limited (HTTP 429, retry after 3 s)", 3},
        {FakeServices::answer(429, "Too Many Requests", {{"Retry-After", "41"}}), K::flood, std::nullopt,
         "telegram: rate limited (HTTP 429, retry after 41 s)", 41},
        {FakeServices::answer(503, "", {}, "Service Unavailable"), K::transient, std::nullopt,
         "telegram: HTTP 503 Service Unavailable"},
        {FakeServices::answer(200, "<h1>Gateway says hi</h1>"), K::transient, std::nullopt,
         "telegram: unreadable answer to HTTP 200 OK (Expecting value: line 1 column 1 (char 0)): "
         "<h1>Gateway says hi</h1>"},
        {huge, K::transient, std::nullopt, "telegram: unreadable answer to HTTP 200 OK (answer over 8388608 bytes)"},
        // A proxy or a self-hosted server that echoes the path names the token: never in clear.
        {FakeServices::answer(404, R"({"ok":false,"error_code":404,"description":"Not Found: POST /bot)" + token + R"(/getMe"})"),
         K::refused, std::nullopt, "telegram: HTTP 404 Not Found: POST /bot<token>/getMe (check TELEGRAM_BOT_TOKEN)"},
        {FakeServices::answer(502, "no upstream for /bot" + token + "/getUpdates", {}, "Bad Gateway"),
         K::transient, std::nullopt, "telegram: HTTP 502 Bad Gateway: no upstream for /bot<token>/getUpdates"},
        {FakeServices::dropped("Failed to connect to /bot" + token + ": refused by the gateway"),
         K::transient, std::nullopt,
         "telegram: Failed to connect to /bot<token>: refused by the gateway (127.0.0.1:8081)"},
    };
    for (const auto& c : cases) {
        const Verdict v = judge_answer(c.answer, {{&secret, 1}, "127.0.0.1:8081", 40, 1765152000.0, 8 << 20});
        EXPECT_EQ(v.kind, c.kind) << c.answer.body;
        EXPECT_EQ(v.result, c.result) << c.answer.body;
        EXPECT_EQ(v.error, c.error) << c.answer.body;
        EXPECT_EQ(v.retry_after, c.retry_after) << c.answer.body;
        EXPECT_EQ(v.new_chat_id, "") << c.answer.body;
    }
}

TEST(EngineTelegram, FormBodyIsTheHostsUrlencode) {
    EXPECT_EQ(send_message_body("-1001", "(1/2)\nSN1: 0.1000 \xE2\x86\x92 0.2000"),
              "chat_id=-1001&text=%281%2F2%29%0ASN1%3A+0.1000+%E2%86%92+0.2000&disable_web_page_"
              "preview=true");
}

TEST(EngineTelegram, LongMessagesAreCutWithAMarker) {
    const std::string fits(kTelegramMaxMessage, 'x');
    EXPECT_EQ(fit_message(fits), fits);
    std::string emoji;
    for (int i = 0; i < 5000; ++i) emoji += "\xF0\x9F\x94\xA5";
    const std::string cut = fit_message(emoji);
    EXPECT_EQ(utf8::length(cut), kTelegramMaxMessage);
    EXPECT_TRUE(cut.ends_with(kCutMarker));
}

}  // namespace
}  // namespace emberscope::engine
