#include "engine/telegram.hpp"

#include <gtest/gtest.h>

#include "common/fake_services.hpp"
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
    const Case cases[] = {
        {FakeServices::answer(200, R"({"ok": true, "result": {"message_id": 17}})"), K::delivered, ""},
        {FakeServices::answer(200, R"({"ok": false})"), K::refused, "{'ok': False}"},
        {FakeServices::answer(200, "<html>\r\n</html>"), K::transient,
         "Expecting value: line 1 column 1 (char 0)"},
        {FakeServices::answer(200, R"({"ok": tr)"), K::transient,
         "Expecting value: line 1 column 8 (char 7)"},
        {FakeServices::answer(200, "[]"), K::transient, "'list' object has no attribute 'get'"},
        {FakeServices::answer(429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 7","parameters":{"retry_after":7}})",
                              {{"Retry-After", "9"}}),
         K::flood, "Too Many Requests: retry after 7", 7},
        {FakeServices::answer(429, "", {{"retry-after", "12"}}, "Too Many Requests"), K::flood,
         "HTTP Error 429: Too Many Requests", 12},
        {FakeServices::answer(429, "{}"), K::flood, "{}", kDefaultFloodWait},
        {FakeServices::answer(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: group chat was upgraded to a supergroup chat", "parameters": {"migrate_to_chat_id": -1001234567890}})"),
         K::migrated, "Bad Request: group chat was upgraded to a supergroup chat", 0, "-1001234567890"},
        {FakeServices::answer(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: chat not found"})"),
         K::refused, "Bad Request: chat not found"},
        {FakeServices::answer(403, R"({"ok": false, "error_code": 403, "description": "Forbidden: bot was blocked by the user"})"),
         K::refused, "Forbidden: bot was blocked by the user"},
        {FakeServices::answer(401, "", {}, "Unauthorized"), K::refused, "HTTP Error 401: Unauthorized"},
        {FakeServices::answer(500, R"({"ok": false, "error_code": 500, "description": "Internal Server Error: restart"})"),
         K::transient, "Internal Server Error: restart"},
        {FakeServices::answer(502, kHtml502, {}, "Bad Gateway"), K::transient, kHtml502},
        {FakeServices::dropped("Remote end closed connection without response"), K::transient,
         "Remote end closed connection without response"},
    };
    for (const auto& c : cases) {
        const Verdict v = judge_answer(c.answer);
        EXPECT_EQ(v.kind, c.kind) << c.answer.body;
        EXPECT_EQ(v.error, c.error) << c.answer.body;
        EXPECT_EQ(v.retry_after, c.retry_after) << c.answer.body;
        EXPECT_EQ(v.new_chat_id, c.new_chat) << c.answer.body;
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
