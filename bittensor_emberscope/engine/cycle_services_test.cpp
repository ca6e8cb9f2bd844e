// The cycle against services that misbehave as the real ones do: long flood-control pauses,
// capped pages, rate limits, answers cut off, huge error pages.
#include "engine/cycle.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "testing_cpp/cycle_fixture.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeError;
using testing::FakeServices;
using namespace fixture;

const std::string kToken = "123456:AAE-realistic-token-0123456789abcdefghijk";

std::string rows_text(int from, int to, std::string_view burn) {
    std::string data;
    for (int n = from; n < to; ++n) {
        if (!data.empty()) data += ", ";
        data += "{\"netuid\": " + std::to_string(n) + ", \"incentive_burn\": " + std::string(burn) + "}";
    }
    return "[" + data + "]";
}

std::string page(int from, int to, int current, int total, std::string next, std::string_view burn = "0.1") {
    return R"({"pagination": {"current_page": )" + std::to_string(current) +
           R"(, "per_page": 200, "total_items": )" + std::to_string(total) +
           R"(, "next_page": )" + next + R"(}, "data": )" + rows_text(from, to, burn) + "}";
}

std::string state_of(int count, std::string_view burn) {
    std::string out = "{\n  \"owner_burn_rate\": {";
    for (int n = 0; n < count; ++n)
        out += (n ? ",\n    \"" : "\n    \"") + std::to_string(n) + "\": \"" + std::string(burn) + "\"";
    return out + "\n  },\n  \"updated_at_utc\": \"2025-12-07T23:55:00Z\"\n}\n";
}

class CycleServices : public CycleFixture {
protected:
    CycleServices() : CycleFixture(kToken) {}

    void ts(int status, std::string body, std::vector<Header> headers = {}) {
        taostats.push_back(FakeServices::answer(status, std::move(body), std::move(headers)));
    }
    void tg(int status, std::string body, std::vector<Header> headers = {}) {
        telegram.push_back(FakeServices::answer(status, std::move(body), std::move(headers)));
    }
    std::size_t requests_to(std::string_view part) const {
        std::size_t n = 0;
        for (const auto& r : fake.requests) n += r.url.find(part) != std::string::npos;
        return n;
    }
    std::size_t posts() const { return requests_to("/sendMessage"); }
    std::size_t listings() const { return requests_to("/api/subnet/"); }
};

const std::string kFlood3600 =
    R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 3600","parameters":{"retry_after":3600}})";

TEST_F(CycleServices, ALongTelegramPauseHoldsTheChatInEveryLaterCycle) {
    fake.files[kState] = state_of(2, "0.1");
    ts(200, page(0, 2, 1, 2, "null", "0.3"));
    tg(429, kFlood3600, {{"Retry-After", "3600"}});
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(r.detail, "telegram: rate limited (HTTP 429, retry after 3600 s)");
    EXPECT_TRUE(fake.sleeps.empty());
    const double until = fake.clock + 3600;
    EXPECT_EQ(outbox().chat_not_before, (std::vector<std::pair<std::string, double>>{{"-1001", until}}));

    // Eleven cycles inside the hour, each with a new change: not one post.
    for (int k = 1; k <= 11; ++k) {
        fake.clock += 300;
        if (fake.clock >= until) break;
        ts(200, page(0, 2, 1, 2, "null", k % 2 ? "0.9" : "0.3"));
        r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "telegram_failed");
        EXPECT_EQ(r.detail, "telegram: rate limited (HTTP 429), no message to this chat before "
                            "2025-12-08T01:00:00Z");
        EXPECT_EQ(posts(), 1u);
    }
    // Within the budget of the hold's end, the cycle waits it out and delivers in order.
    fake.clock = until - 100;
    fake.sleeps.clear();
    ts(200, page(0, 2, 1, 2, "null", "0.3"));
    for (std::size_t k = 0; k <= outbox().messages.size(); ++k) tg(200, kSentOk);
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(fake.sleeps.size(), 100u + r.delivered - 1);  // the hold, then one gap per message
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
}

TEST_F(CycleServices, ACappedListingIsReadPageByPageAndAChangeOnTheLastPageAlerted) {
    fake.files[kState] = state_of(256, "0.1");
    ts(200, page(0, 200, 1, 256, "2"));
    std::string second = page(200, 256, 2, 256, "null");
    second.replace(second.find("{\"netuid\": 250, \"incentive_burn\": 0.1}"),
                   std::string("{\"netuid\": 250, \"incentive_burn\": 0.1}").size(),
                   "{\"netuid\": 250, \"incentive_burn\": 0.9}");
    ts(200, second);
    tg(200, kSentOk);
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.subnets, 256u);
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0].netuid, "250");
    ASSERT_EQ(listings(), 2u);
    EXPECT_EQ(fake.requests[0].url, "http://127.0.0.1:1/api/subnet/latest/v1?limit=1024&order=netuid_asc&page=1");
    EXPECT_EQ(fake.requests[1].url, "http://127.0.0.1:1/api/subnet/latest/v1?limit=1024&order=netuid_asc&page=2");
}

TEST_F(CycleServices, AListingNotReadWholeIsAFetchFailureNeverAPartialBaseline) {
    struct Case {
        std::vector<HttpAnswer> pages;
        std::string detail;
    };
    const Case cases[] = {
        {{FakeServices::answer(200, page(0, 200, 1, 256, "null"))},
         "taostats: listing not read whole: 200 of 256 rows (total_items)"},
        {{FakeServices::answer(200, page(0, 200, 1, 256, "2")),
          FakeServices::answer(500, "oops", {}, "Internal Server Error")},
         "taostats: HTTP 500 Internal Server Error: oops"},
        {{FakeServices::answer(200, page(0, 200, 1, 256, "2")), FakeServices::dropped()},
         "taostats: connection closed before an answer (127.0.0.1:1)"},
        {{FakeServices::answer(200, page(0, 200, 1, 256, "2")),
          FakeServices::answer(200, page(0, 200, 1, 256, "2"))},
         "taostats: listing not read whole: asked for page 2, got page 1"},
        {{FakeServices::answer(200, page(0, 200, 1, 256, "2")),
          FakeServices::answer(200, page(0, 200, 2, 256, "3"))},
         "taostats: listing not read whole: page 2 repeats page 1"},
        {{FakeServices::answer(200, page(0, 200, 1, 256, "2")),
          FakeServices::answer(200, page(200, 256, 2, 300, "null"))},
         "taostats: listing not read whole: total_items went from 256 to 300 at page 2"},
        {{FakeServices::answer(200, page(0, 200, 1, 256, "1"))},
         "taostats: listing not read whole: page 1 names 1 as the next page"},
        {{FakeServices::answer(200, page(0, 200, 1, 256, "2")),
          FakeServices::answer(200, R"({"data": )" + rows_text(200, 256, "0.1") + "}")},
         "taostats: listing not read whole: page 2 has no \"pagination\""},
    };
    const std::string saved = state_of(256, "0.5");
    for (const auto& c : cases) {
        fake.files.clear();
        fake.files[kState] = saved;
        taostats.assign(c.pages.begin(), c.pages.end());
        const CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "fetch_failed") << c.detail;
        EXPECT_EQ(r.detail, c.detail);
        EXPECT_EQ(fake.files[kState], saved) << c.detail;
        EXPECT_EQ(posts(), 0u);
        lines();
    }
}

TEST_F(CycleServices, APageIsARepeatWhenItsRowsReadTheSameWhateverElseTheyCarry) {
    // A server that ignores "page" sends page 1 again, perhaps with values the cycle does not
    // read moved on; a page decoded whole (its "data" first) and one scanned compare alike.
    std::string again = page(0, 200, 2, 256, "3");
    for (std::size_t at = again.find("\"incentive_burn\": 0.1}"); at != std::string::npos;
         at = again.find("\"incentive_burn\": 0.1}", at + 1))
        again.replace(at, 22, "\"incentive_burn\": 0.10, \"emission\": \"7\"}");
    const std::string decoded_first =
        R"({"d\u0061ta": )" + rows_text(0, 200, "0.1") +
        R"(, "pagination": {"current_page": 1, "total_items": 256, "next_page": 2}})";
    const std::string saved = state_of(256, "0.5");
    for (const std::string& first : {page(0, 200, 1, 256, "2"), decoded_first}) {
        fake.files.clear();
        fake.files[kState] = saved;
        taostats.assign({FakeServices::answer(200, first), FakeServices::answer(200, again)});
        const CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "fetch_failed");
        EXPECT_EQ(r.detail, "taostats: listing not read whole: page 2 repeats page 1");
        EXPECT_EQ(fake.files[kState], saved);
        lines();
    }
}

TEST_F(CycleServices, AnAnswerWithoutPaginationIsTheWholeListing) {
    ts(200, R"({"data": )" + rows_text(0, 300, "0.1") + "}");
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.subnets, 300u);
    EXPECT_EQ(listings(), 1u);
}

TEST_F(CycleServices, TaostatsRateLimitsAreRecognisedByStatusAndRetryAfterHonoured) {
    struct Case {
        HttpAnswer limited;
        std::size_t slept;
    };
    const Case cases[] = {
        {FakeServices::answer(429, R"({"error": "Too Many Requests"})", {{"Retry-After", "30"}}), 30},
        {FakeServices::answer(429, "Too Many Requests", {{"Retry-After", "30"}}), 30},
        {FakeServices::answer(429, "", {{"Retry-After", "Mon, 08 Dec 2025 00:00:12 GMT"}}), 12},
        {FakeServices::answer(429, R"({"error": "Too Many Requests"})"), 2},  // none named: 2 s
    };
    for (const auto& c : cases) {
        fake.files.clear();
        fake.sleeps.clear();
        fake.requests.clear();
        fake.clock = 1765152000.0;
        taostats = {c.limited, FakeServices::answer(200, page(0, 3, 1, 3, "null"))};
        const CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "ok") << c.limited.body;
        EXPECT_EQ(listings(), 2u);
        EXPECT_EQ(fake.sleeps, std::vector<double>(c.slept, 1.0)) << c.limited.body;
        EXPECT_EQ(fake.files.count(kOutbox), 0u);
    }
}

TEST_F(CycleServices, ATaostatsPauseOverTheBudgetFailsAtOnceAndHoldsTheNextCycles) {
    ts(429, "Too Many Requests", {{"Retry-After", "900"}});
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "fetch_failed");
    EXPECT_EQ(r.detail, "taostats: rate limited (HTTP 429, retry after 900 s)");
    EXPECT_EQ(lines(), std::vector<std::string>{
                           "[burn] fetch failed: taostats: rate limited (HTTP 429, retry after 900 s)\n"});
    EXPECT_EQ(listings(), 1u);
    EXPECT_TRUE(fake.sleeps.empty());
    EXPECT_EQ(outbox().taostats_not_before, fake.clock + 900);

    fake.clock += 600;
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.detail, "taostats: rate limited (HTTP 429), no request before 2025-12-08T00:15:00Z");
    EXPECT_EQ(listings(), 1u);

    fake.clock += 200;
    ts(200, page(0, 3, 1, 3, "null"));
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(fake.sleeps, std::vector<double>(100, 1.0));
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
}

TEST_F(CycleServices, RateLimitsWithoutAWaitStopAfterSixRequests) {
    for (int k = 0; k < 8; ++k) ts(429, R"({"message": "Rate Limited"})");
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "fetch_failed");
    EXPECT_EQ(listings(), 6u);
    EXPECT_TRUE(r.detail.starts_with("taostats: rate limited (HTTP 429, retry after ")) << r.detail;
    EXPECT_TRUE(outbox().taostats_not_before.has_value());
}

TEST_F(CycleServices, ATelegramAnswerCutOffIsRepeatedLikeADroppedConnection) {
    fake.files[kState] = state_of(1, "0.1");
    ts(200, page(0, 1, 1, 1, "null", "0.3"));
    for (int k = 0; k < 3; ++k) {
        HttpAnswer cut = FakeServices::dropped("IncompleteRead(10 bytes read, 38 more expected)");
        cut.failure->kind = TransportFailure::Kind::cut_off;
        telegram.push_back(cut);
    }
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(posts(), 3u);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(r.detail, "telegram: answer cut off (10 bytes read, 38 more expected) (127.0.0.1:2)");
    EXPECT_EQ(lines().front(),
              "[burn] telegram failed: answer cut off (10 bytes read, 38 more expected) (127.0.0.1:2)\n");
    EXPECT_TRUE(fake.requests.back().protocol_errors_fail);
    EXPECT_TRUE(fake.requests.front().protocol_errors_fail);
}

TEST_F(CycleServices, FailuresNameTheServiceAndTheCause) {
    struct Case {
        std::map<std::string, std::string, std::less<>> env;
        std::vector<HttpAnswer> listing;
        std::vector<HttpAnswer> sends;
        std::string line;
        std::string detail;
    };
    const Case cases[] = {
        {{}, {FakeServices::answer(401, R"({"message": "Unauthorized"})")}, {},
         "[burn] fetch failed: taostats: HTTP 401 Unauthorized (check TAOSTATS_API_KEY)\n",
         "taostats: HTTP 401 Unauthorized (check TAOSTATS_API_KEY)"},
        {{}, {FakeServices::dropped("<urlopen error [Errno 111] Connection refused>")}, {},
         "[burn] error: taostats: connection refused (127.0.0.1:1)\n",
         "taostats: connection refused (127.0.0.1:1)"},
        {{{"http_proxy", "http://127.0.0.1:1"}, {"no_proxy", "127.0.0.1:1"}},
         {FakeServices::answer(200, page(0, 1, 1, 1, "null", "0.3"))},
         {FakeServices::dropped("<urlopen error [Errno 111] Connection refused>"),
          FakeServices::dropped("<urlopen error [Errno 111] Connection refused>"),
          FakeServices::dropped("<urlopen error [Errno 111] Connection refused>")},
         "[burn] telegram failed: connection refused (proxy 127.0.0.1:1)\n",
         "telegram: connection refused (proxy 127.0.0.1:1)"},
        {{}, {FakeServices::answer(200, page(0, 1, 1, 1, "null", "0.3"))},
         {FakeServices::answer(403, R"({"ok": false, "error_code": 403, "description": "Forbidden: bot was blocked by the user"})")},
         "[burn] telegram failed: HTTP 403 Forbidden: bot was blocked by the user\n",
         "telegram: HTTP 403 Forbidden: bot was blocked by the user"},
    };
    for (const auto& c : cases) {
        fake.files.clear();
        fake.files[kState] = state_of(1, "0.1");
        fake.env.erase("http_proxy");
        fake.env.erase("no_proxy");
        for (const auto& [name, value] : c.env) fake.env[name] = value;
        taostats.assign(c.listing.begin(), c.listing.end());
        telegram.assign(c.sends.begin(), c.sends.end());
        const CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.detail, c.detail);
        const auto written = lines();
        ASSERT_FALSE(written.empty());
        EXPECT_EQ(written.front(), c.line);
    }
}

TEST_F(CycleServices, AHugeErrorPageIsQuotedShortWithTheTokenMaskedBeforeTheCut) {
    fake.files[kState] = state_of(1, "0.1");
    ts(200, page(0, 1, 1, 1, "null", "0.3"));
    const std::string body = "<html>\r\n" + std::string(180, 'x') + " " + kToken + " " +
                             std::string(300000, 'y') + "\r\n</html>\r\n";
    tg(403, body);
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.detail, "telegram: HTTP 403 Forbidden: <html> " + std::string(180, 'x') + " <token> y...");
    const std::string line = lines().front();
    EXPECT_EQ(line, "[burn] telegram failed: " + r.detail.substr(10) + "\n");
    EXPECT_EQ(line.find(kToken.substr(0, 8)), std::string::npos);
}

}  // namespace
}  // namespace emberscope::engine
