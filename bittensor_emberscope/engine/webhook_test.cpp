#include "engine/webhook.hpp"

#include <gtest/gtest.h>

#include "testing_cpp/fake_services.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeServices;
using K = Outcome::Kind;

TEST(Webhook, WritesTheDocumentedBody) {
    Message m{"alert", "2026-12-08T00:00:00Z", "Owner burn changed\n2026-12-08T00:00:00Z UTC\n\nSN12: 0.1800 → 0.2500",
              {{"12", "0.18", "0.25"}, {"7", "1", "0"}}, "webhook:/etc/emberscope/hook"};
    EXPECT_EQ(webhook_body(m),
              R"({"version": 1, "kind": "alert", "time_utc": "2026-12-08T00:00:00Z", "title": "Owner burn changed", )"
              R"("text": "Owner burn changed\n2026-12-08T00:00:00Z UTC\n\nSN12: 0.1800 \u2192 0.2500", )"
              R"("changes": [{"netuid": 12, "old": "0.18", "new": "0.25"}, {"netuid": 7, "old": "1", "new": "0"}], )"
              R"("route": "webhook:/etc/emberscope/hook"})");
    Message notice{"stale", "2026-12-08T01:00:00Z", "emberscope: no good listing", {}, "r"};
    EXPECT_EQ(webhook_body(notice),
              R"({"version": 1, "kind": "stale", "time_utc": "2026-12-08T01:00:00Z", "title": "emberscope: no good listing", )"
              R"("text": "emberscope: no good listing", "changes": [], "route": "r"})");
}

TEST(Webhook, SignsTheBodyWithHmacSha256) {
    // RFC 4231, test case 2.
    EXPECT_EQ(webhook_signature("Jefe", "what do ya want for nothing?"),
              "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    WebhookSender signed_("http://127.0.0.1:9/hook", "Jefe");
    const HttpRequest r = signed_.request("what do ya want for nothing?", "");
    EXPECT_EQ(r.body, "what do ya want for nothing?");
    EXPECT_EQ(r.headers, (std::vector<Header>{
                             {"Content-Type", "application/json"},
                             {"X-Emberscope-Signature",
                              "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"}}));
    WebhookSender plain("http://127.0.0.1:9/hook", "");
    EXPECT_EQ(plain.request("{}", "").headers, (std::vector<Header>{{"Content-Type", "application/json"}}));
}

TEST(Webhook, JudgesAnswers) {
    struct Case {
        HttpAnswer answer;
        K kind;
        std::string error;
        double retry_after = 0;
    };
    const Case cases[] = {
        {FakeServices::answer(200, "ok"), K::delivered, ""},
        {FakeServices::answer(202, ""), K::delivered, ""},
        {FakeServices::answer(429, "slow down", {{"Retry-After", "9"}}), K::held,
         "webhook: rate limited (HTTP 429, retry after 9 s)", 9},
        {FakeServices::answer(429, ""), K::held, "webhook: rate limited (HTTP 429, retry after 5 s)",
         kDefaultFloodWait},
        {FakeServices::answer(503, "", {}, "Service Unavailable"), K::transient,
         "webhook: HTTP 503 Service Unavailable"},
        {FakeServices::answer(401, "bad signature", {}, "Unauthorized"), K::refused,
         "webhook: HTTP 401 Unauthorized: bad signature"},
        {FakeServices::answer(404, "", {}, ""), K::refused, "webhook: HTTP 404 Not Found"},
        {FakeServices::answer(301, "", {{"Location", "/x"}}, "Moved Permanently"), K::refused,
         "webhook: HTTP 301 Moved Permanently"},
        {FakeServices::dropped("[Errno 111] Connection refused"), K::transient,
         "webhook: connection refused (127.0.0.1:9)"},
    };
    for (const Case& c : cases) {
        AnswerContext context{{}, "127.0.0.1:9", 60, 0, 1 << 20};
        const Outcome o = judge_webhook_answer(c.answer, context);
        SCOPED_TRACE(c.answer.status);
        EXPECT_EQ(o.kind, c.kind);
        EXPECT_EQ(o.error, c.error);
        EXPECT_DOUBLE_EQ(o.retry_after, c.retry_after);
    }
}

}  // namespace
}  // namespace emberscope::engine
