#include "engine/cycle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "testing_cpp/cycle_fixture.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeError;
using testing::FakeServices;
using namespace fixture;

const std::string kToken = "123456:SECRET-token";

class EngineCycle : public CycleFixture {
protected:
    EngineCycle() : CycleFixture(kToken) {}

    void tg(int status, std::string body, std::vector<Header> headers = {}, std::string reason = "") {
        telegram.push_back(FakeServices::answer(status, std::move(body), std::move(headers), std::move(reason)));
    }
    void ok() { tg(200, kSentOk); }
    std::size_t posts() const { return sent_texts().size(); }
};

const std::string kAlertBody =
    "chat_id=-1001&text=Owner+burn+rate+changed%0A2025-12-08T00%3A00%3A00Z+UTC%0A%0ASN1%3A+0.1000+"
    "%E2%86%92+0.3000&disable_web_page_preview=true";

TEST_F(EngineCycle, FirstCycleRecordsABaselineAndAlertsNothing) {
    list({{"0", "0"}, {"1", "0.1"}, {"2", "\"0.5\""}});
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.detail, "");
    EXPECT_EQ(r.updated_at_utc, "2025-12-08T00:00:00Z");
    EXPECT_EQ(r.subnets, 3u);
    EXPECT_TRUE(r.changes.empty());
    EXPECT_EQ(posts(), 0u);
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] baseline recorded (3 subnets)\n"});
    EXPECT_EQ(fake.files[kState],
              state_file({{"0", "0"}, {"1", "0.1"}, {"2", "0.5"}}, "2025-12-08T00:00:00Z"));
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
    const auto& q = fake.requests.at(0);
    EXPECT_EQ(q.url, "http://127.0.0.1:1/api/subnet/latest/v1?limit=1024&order=netuid_asc&page=1");
    EXPECT_EQ(q.headers.at(0), (Header{"Authorization", "taostats-key-0001"}));
    EXPECT_EQ(q.deadline_seconds, 120);
    EXPECT_EQ(q.max_body_bytes, std::size_t{64} << 20);
    EXPECT_EQ(q.redirects, Redirects::keep_credentials_on_origin);
}

TEST_F(EngineCycle, MutedSubnetsAreLeftOutOfAlertsButStillReportedAndStored) {
    struct Case {
        std::vector<std::string> muted;
        std::vector<std::string> sent;
    };
    const Case cases[] = {
        {{}, {"SN1: 0.1000 \xe2\x86\x92 0.3000", "SN2: 0.5000 \xe2\x86\x92 0.9000"}},
        {{"2"}, {"SN1: 0.1000 \xe2\x86\x92 0.3000"}},
        {{"12", "1"}, {"SN2: 0.5000 \xe2\x86\x92 0.9000"}},
        {{"1", "2"}, {}},
        {{"all"}, {}},
    };
    for (const Case& c : cases) {
        fake.files.clear();
        fake.requests.clear();
        fake.files[kState] = state_file({{"1", "0.1"}, {"2", "0.5"}});
        list({{"1", "0.3"}, {"2", "0.9"}});
        if (!c.sent.empty()) ok();
        settings.muted = c.muted;
        CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "ok");
        EXPECT_EQ(r.changes.size(), 2u);  // the history still gets every change
        EXPECT_EQ(fake.files[kState], state_file({{"1", "0.3"}, {"2", "0.9"}}, "2025-12-08T00:00:00Z"));
        const std::vector<std::string> posts = sent_texts();
        ASSERT_EQ(posts.size(), c.sent.empty() ? 0u : 1u);
        if (c.sent.empty()) {
            EXPECT_EQ(lines(), std::vector<std::string>{});
            continue;
        }
        std::string body = posts[0];
        std::string decoded;  // the form body, decoded
        for (std::size_t i = 0; i < body.size(); ++i) {
            if (body[i] == '+') decoded += ' ';
            else if (body[i] == '%') {
                decoded += char(std::stoi(body.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else decoded += body[i];
        }
        for (const std::string& line : c.sent) EXPECT_NE(decoded.find(line), std::string::npos) << decoded;
        EXPECT_EQ(decoded.find("SN", decoded.find(c.sent.back()) + 1), std::string::npos) << decoded;
        EXPECT_EQ(lines(), std::vector<std::string>{"[burn] alert sent (" +
                                                    std::to_string(c.sent.size()) + " subnet(s))\n"});
    }
}

TEST_F(EngineCycle, ChangeIsQueuedAndSavedBeforeItIsSent) {
    fake.files[kState] = state_file({{"1", "0.1"}, {"2", "0.5"}});
    list({{"1", "0.3"}, {"2", "0.5"}, {"3", "0.9"}});
    ok();
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0], (burns::BurnChange{"1", "0.1", "0.3"}));
    EXPECT_EQ(r.delivered, 1u);
    EXPECT_EQ(r.outbox_size, 0u);
    EXPECT_EQ(sent_texts(), std::vector<std::string>{kAlertBody});
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] alert sent (1 subnet(s))\n"});
    const auto& post = fake.requests.back();
    EXPECT_EQ(post.url, "http://127.0.0.1:2/bot" + kToken + "/sendMessage");
    EXPECT_EQ(post.deadline_seconds, 60);
    EXPECT_EQ(post.max_body_bytes, std::size_t{1} << 20);
    EXPECT_EQ(post.redirects, Redirects::none);
    // Outbox written, then the state, then the message sent, then the emptied outbox removed.
    std::vector<std::string> order;
    for (const auto& c : fake.calls)
        if (c.starts_with("replace") || c.starts_with("remove") || c == "http") order.push_back(c);
    EXPECT_EQ(order, (std::vector<std::string>{"http", "replace " + kOutbox, "replace " + kState,
                                               "http", "remove " + kOutbox}));
}

TEST_F(EngineCycle, FloodControlWaitsRetryAfterThenRepeats) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 7","parameters":{"retry_after":7}})",
       {{"Retry-After", "7"}});
    ok();
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(sent_texts(), (std::vector<std::string>{kAlertBody, kAlertBody}));
    EXPECT_EQ(fake.sleeps, std::vector<double>(7, 1.0));
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] alert sent (1 subnet(s))\n"});
}

TEST_F(EngineCycle, RetryAfterHeaderServesWhenTheBodyNamesNoWait) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(429, "", {{"Retry-After", "3"}}, "Too Many Requests");
    ok();
    EXPECT_EQ(run_cycle(fake, settings).outcome, "ok");
    EXPECT_EQ(fake.sleeps, std::vector<double>(3, 1.0));
}

TEST_F(EngineCycle, AWaitOverTheBudgetLeavesTheAlertInTheOutboxForTheNextCycle) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 400","parameters":{"retry_after":400}})");
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(r.detail, "telegram: rate limited (HTTP 429, retry after 400 s)");
    EXPECT_EQ(r.outbox_size, 1u);
    EXPECT_EQ(r.outbox_oldest_utc, "2025-12-08T00:00:00Z");
    EXPECT_TRUE(fake.sleeps.empty());
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[burn] telegram failed: rate limited (HTTP 429, retry after 400 s)\n",
                           "[burn] outbox: 1 message(s) waiting for delivery, oldest queued "
                           "2025-12-08T00:00:00Z\n"}));
    // The values were saved: the next cycle sees no change, and delivers the queued alert.
    EXPECT_EQ(fake.files[kState], state_file({{"1", "0.3"}}, "2025-12-08T00:00:00Z"));
    fake.clock += 600;
    list({{"1", "0.3"}});
    ok();
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.delivered, 1u);
    EXPECT_TRUE(r.changes.empty());
    EXPECT_EQ(sent_texts().back(), kAlertBody);
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] alert sent (1 subnet(s))\n"});
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
}

TEST_F(EngineCycle, AllWaitsOfACycleShareOneBudget) {
    settings.wait_budget_seconds = 10;
    fake.files[kState] = state_file({{"1", "0.1"}});
    taostats.push_back(FakeServices::answer(429, R"({"message": "Rate Limited"})"));
    list({{"1", "0.3"}});
    const std::string flood =
        R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 5","parameters":{"retry_after":5}})";
    tg(429, flood);
    tg(429, flood);
    CycleReport r = run_cycle(fake, settings);
    // 2 s for the listing, 5 s for the first flood; the second 5 s no longer fit in 10 s.
    EXPECT_EQ(fake.sleeps, std::vector<double>(7, 1.0));
    EXPECT_EQ(posts(), 2u);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(r.outbox_size, 1u);
}

TEST_F(EngineCycle, PassingFailuresAreTriedThreeTimesWithGrowingWaits) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(500, R"({"ok": false, "error_code": 500, "description": "Internal Server Error: restart"})");
    telegram.push_back(FakeServices::dropped());
    tg(502, "<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n</html>\r\n", {}, "Bad Gateway");
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(posts(), 3u);
    EXPECT_EQ(fake.sleeps, (std::vector<double>{1, 1, 1, 1, 1, 1, 1}));  // 2 s, then 5 s
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[burn] telegram failed: HTTP 502 Bad Gateway: <html> <head><title>502 "
                           "Bad Gateway</title></head> </html>\n",
                           "[burn] outbox: 1 message(s) waiting for delivery, oldest queued "
                           "2025-12-08T00:00:00Z\n"}));
    EXPECT_EQ(r.detail.find('\n'), std::string::npos);
}

TEST_F(EngineCycle, AnHtmlPageWithStatus200IsRepeatedNotFatal) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(200, "<html><body>maintenance</body></html>");
    ok();
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(posts(), 2u);
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] alert sent (1 subnet(s))\n"});
}

TEST_F(EngineCycle, PartsKeepTheirNumbersAcrossCyclesAndArePaced) {
    std::vector<std::pair<std::string, std::string>> before, after;
    for (int n = 0; n < 1024; ++n) {
        before.emplace_back(std::to_string(n), "0.1");
        after.emplace_back(std::to_string(n), "0.9");
    }
    fake.files[kState] = state_file(before);
    list(after);
    ok();
    tg(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: message is too long"})");
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(r.changes.size(), 1024u);
    const Outbox box = outbox();
    ASSERT_GE(box.messages.size(), 2u);
    const std::size_t total = box.messages.front().total;
    EXPECT_EQ(box.messages.size(), total - 1);
    EXPECT_EQ(box.messages.front().part, 2u);
    EXPECT_TRUE(box.messages.front().text.starts_with("(2/" + std::to_string(total) + ")\n"));
    EXPECT_EQ(fake.sleeps, std::vector<double>{1.0});  // one gap between the two requests
    EXPECT_EQ(lines().front(), "[burn] telegram failed: HTTP 400 Bad Request: message is too long\n");

    fake.clock += 600;
    fake.sleeps.clear();
    list(after);
    for (std::size_t k = 1; k < total; ++k) ok();
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.delivered, total - 1);
    EXPECT_EQ(fake.sleeps, std::vector<double>(total - 2, 1.0));
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] alert sent (1024 subnet(s))\n"});
}

TEST_F(EngineCycle, MigratedChatIsUsedFromThenOnAndTheOperatorIsTold) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: group chat was upgraded to a supergroup chat", "parameters": {"migrate_to_chat_id": -1001234567890}})");
    ok();
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.chat_id, "-1001234567890");
    auto bodies = sent_texts();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_TRUE(bodies[1].starts_with("chat_id=-1001234567890&"));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[burn] telegram chat -1001 was upgraded to a supergroup, now "
                           "-1001234567890: sending there; update TELEGRAM_CHAT_ID to -1001234567890\n",
                           "[burn] alert sent (1 subnet(s))\n"}));
    EXPECT_EQ(outbox().migrations, (std::vector<std::pair<std::string, std::string>>{
                                       {"-1001", "-1001234567890"}}));
    fake.clock += 600;
    list({{"1", "0.9"}});
    ok();
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.chat_id, "-1001234567890");
    EXPECT_TRUE(sent_texts().back().starts_with("chat_id=-1001234567890&"));
}

TEST_F(EngineCycle, OtherRefusalsAreNotRepeatedWithinTheCycle) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(403, R"({"ok": false, "error_code": 403, "description": "Forbidden: bot was blocked by the user"})");
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(posts(), 1u);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(r.detail, "telegram: HTTP 403 Forbidden: bot was blocked by the user");
    EXPECT_EQ(r.outbox_size, 1u);
}

TEST_F(EngineCycle, InvalidNetuidsAreLeftOutAndTheOthersStillWatched) {
    fake.files[kState] = state_file({{"1", "0.1"}, {"2", "0.5"}});
    list({{"null", "0.2"}, {"true", "0.2"}, {"1.5", "0.2"}, {"\"sn7\"", "0.2"}, {"\"\"", "0.2"},
          {"{}", "0.2"}, {"1", "0.3"}, {"\"2\"", "0.5"}});
    ok();
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.invalid_rows, 6u);
    EXPECT_EQ(r.subnets, 2u);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[burn] listing: 6 row(s) without a valid netuid left out (first: "
                           "null, true, 1.5, \"sn7\", \"\")\n",
                           "[burn] alert sent (1 subnet(s))\n"}));
}

TEST_F(EngineCycle, AListingWithoutAValidRowFailsAndLeavesTheStateAlone) {
    const std::string saved = state_file({{"1", "0.1"}});
    fake.files[kState] = saved;
    taostats.push_back(FakeServices::answer(200, R"({"data": [null, {"name": "x"}]})"));
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "fetch_failed");
    EXPECT_EQ(fake.files[kState], saved);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[burn] listing: 2 row(s) without a valid netuid left out (first: "
                           "(row null), (none))\n",
                           "[burn] fetch failed: taostats: no row with a valid netuid (2 row(s))\n"}));
    taostats.push_back(FakeServices::answer(200, R"({"data": []})"));
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "fetch_failed");
    EXPECT_EQ(lines(), std::vector<std::string>{
                           "[burn] fetch failed: taostats: no subnet rows in the listing\n"});
    EXPECT_EQ(fake.files[kState], saved);
}

TEST_F(EngineCycle, FetchFailuresPrintTheDocumentedLines) {
    taostats.push_back(FakeServices::answer(500, "oops", {}, "Internal Server Error"));
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "fetch_failed");
    EXPECT_EQ(lines(), std::vector<std::string>{
                           "[burn] fetch failed: taostats: HTTP 500 Internal Server Error: oops\n"});
    taostats.push_back(FakeServices::dropped("<urlopen error [Errno 111] Connection refused>"));
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "fetch_failed");
    EXPECT_EQ(lines(), std::vector<std::string>{
                           "[burn] error: taostats: connection refused (127.0.0.1:1)\n"});
}

TEST_F(EngineCycle, RateLimitedListingIsRepeatedWithTheGrowingWait) {
    taostats.push_back(FakeServices::answer(429, R"({"message": "Rate Limited"})"));
    list({{"1", "0.1"}});
    EXPECT_EQ(run_cycle(fake, settings).outcome, "ok");
    EXPECT_EQ(fake.sleeps, (std::vector<double>{1.0, 1.0}));
}

TEST_F(EngineCycle, UnreadableStateFilesAreMovedAsideAndABaselineRecorded) {
    const std::string cases[] = {
        "\xFF\xFE{}",
        "[]",
        "\"text\"",
        "null",
        std::string(100000, '[') ,
        "{\"owner_burn_rate\": {\"1\": " + std::string(5000, '9') + "}}",
        "{\"owner_burn_rate\": {\"1\": \"0.1\"",
    };
    const std::string reasons[] = {
        "not UTF-8",
        "the top level is not a JSON object",
        "the top level is not a JSON object",
        "the top level is not a JSON object",
        "nested deeper than 256 levels: line 1 column 257 (char 256)",
        "number of 5000 characters, over the limit of 4300: line 1 column 27 (char 26)",
        "Expecting ',' delimiter: line 1 column 32 (char 31)",
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        fake.files.clear();
        fake.files[kState] = cases[i];
        list({{"1", "0.3"}});
        CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "ok");
        EXPECT_TRUE(r.changes.empty());
        EXPECT_EQ(posts(), 0u);
        const std::string moved = kState + ".corrupt-20251208T000000Z";
        EXPECT_EQ(fake.files[moved], cases[i]);
        EXPECT_EQ(fake.files[kState].substr(0, 40), state_file({{"1", "0.3"}}).substr(0, 40));
        EXPECT_EQ(lines(), std::vector<std::string>{"[burn] state file " + kState + " unreadable (" +
                                                    reasons[i] + "): moved to " + moved +
                                                    ", recording a fresh baseline\n"});
    }
}

TEST_F(EngineCycle, AnUnreadableOutboxIsMovedAsideAndTheCycleGoesOn) {
    fake.files[kOutbox] = "{\"messages\": [{\"kind\": 1}]}";
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    ok();
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(fake.files[kOutbox + ".corrupt-20251208T000000Z"], "{\"messages\": [{\"kind\": 1}]}");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[burn] outbox file " + kOutbox + " unreadable (a message without its "
                           "kind, stamp, text, time or numbers): moved to " + kOutbox +
                           ".corrupt-20251208T000000Z, starting an empty one\n",
                           "[burn] alert sent (1 subnet(s))\n"}));
}

TEST_F(EngineCycle, OldUndeliveredMessagesAreDroppedWithALine) {
    Outbox box;
    box.messages.push_back({"alert", 1, "2025-12-06T00:00:00Z", fake.clock - 90000, 1, 1, "stale"});
    box.messages.push_back({"alert", 1, "2025-12-07T12:00:00Z", fake.clock - 3600, 1, 1, "fresh"});
    fake.files[kOutbox] = render_outbox(box);
    ok();
    list({{"1", "0.1"}});
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(sent_texts(), std::vector<std::string>{
                                "chat_id=-1001&text=fresh&disable_web_page_preview=true"});
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[burn] outbox: dropped 1 undelivered message(s) older than 24 h, "
                           "queued since 2025-12-06T23:00:00Z\n",
                           "[burn] alert sent (1 subnet(s))\n",
                           "[burn] baseline recorded (1 subnets)\n"}));
}

TEST_F(EngineCycle, APauseEndsTheWaitsAtOnceAndKeepsTheMessages) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 30","parameters":{"retry_after":30}})");
    int checks = 0;
    fake.on_signal_check = [&] {
        if (++checks == 3) fake.files[kPause] = "";
    };
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(r.detail, "paused with messages waiting");
    EXPECT_LE(fake.sleeps.size(), 3u);
    EXPECT_EQ(outbox().messages.size(), 1u);
}

// How delivery stopped short, as the exporter counts it: Telegram declining a message is not the
// same trouble as Telegram not answering in time.
TEST_F(EngineCycle, TheReportSaysWhetherTelegramRefusedOrFailed) {
    const std::string flood =
        R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 400","parameters":{"retry_after":400}})";
    const std::string migrate =
        R"({"ok":false,"error_code":400,"description":"Bad Request: group chat was upgraded to a supergroup chat","parameters":{"migrate_to_chat_id":-1001}})";
    struct Case {
        const char* name;
        std::vector<HttpAnswer> answers;
        const char* failure;
    };
    const std::vector<Case> cases = {
        {"delivered", {FakeServices::answer(200, kSentOk)}, ""},
        {"blocked", {FakeServices::answer(403, R"({"ok":false,"error_code":403,"description":"Forbidden: bot was blocked by the user"})")}, "refused"},
        {"ok false on 200", {FakeServices::answer(200, R"({"ok":false})")}, "refused"},
        {"migrated to itself", {FakeServices::answer(400, migrate)}, "refused"},
        {"server errors", {FakeServices::answer(502, "<html>Bad Gateway</html>"),
                           FakeServices::answer(500, R"({"ok":false,"description":"Internal Server Error: restart"})"),
                           FakeServices::answer(502, "<html>Bad Gateway</html>")}, "failed"},
        {"no answer", {FakeServices::dropped(), FakeServices::dropped(), FakeServices::dropped()}, "failed"},
        {"flood beyond the budget", {FakeServices::answer(429, flood)}, "failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake = FakeServices();
        taostats.clear();
        SetUp();
        fake.files[kState] = state_file({{"1", "0.1"}});
        list({{"1", "0.3"}});
        telegram.assign(c.answers.begin(), c.answers.end());
        CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.telegram_failure, c.failure);
        EXPECT_EQ(r.outcome, std::string(c.failure).empty() ? "ok" : "telegram_failed");
    }
}

TEST_F(EngineCycle, ARefusalIsForgottenWhenTheNextMessageFailsOtherwise) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(403, R"({"ok":false,"error_code":403,"description":"Forbidden: bot was blocked by the user"})");
    EXPECT_EQ(run_cycle(fake, settings).telegram_failure, "refused");
    fake.clock += 600;
    list({{"1", "0.3"}});
    tg(500, "{}");
    tg(500, "{}");
    tg(500, "{}");
    EXPECT_EQ(run_cycle(fake, settings).telegram_failure, "failed");
}

TEST_F(EngineCycle, APausedDeliveryIsNoFailure) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 30","parameters":{"retry_after":30}})");
    int checks = 0;
    fake.on_signal_check = [&] {
        if (++checks == 3) fake.files[kPause] = "";
    };
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.detail, "paused with messages waiting");
    EXPECT_EQ(r.telegram_failure, "");
}

TEST_F(EngineCycle, AStopSignalPropagatesAfterTheOutboxIsWritten) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    tg(500, R"({"ok": false, "description": "Internal Server Error: restart"})");
    fake.on_signal_check = [] { throw FakeError("KeyboardInterrupt", false); };
    EXPECT_THROW(run_cycle(fake, settings), FakeError);
    ASSERT_EQ(outbox().messages.size(), 1u);
    EXPECT_EQ(outbox().messages[0].kind, "alert");
}

TEST_F(EngineCycle, AnOutboxSaveCutShortIsNotRepeatedOnTheWayOut) {
    // A slow disk and a signal during the save: going out must not start a second slow save.
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    fake.fail_replace = [](std::string_view path) { return path == kOutbox; };
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "error");
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "replace " + kOutbox), 1);
    EXPECT_EQ(fake.files[kState], state_file({{"1", "0.1"}}));  // the values that made the alert wait
}

TEST_F(EngineCycle, SecretsNeverReachTheConsole) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    for (int i = 0; i < 3; ++i)
        telegram.push_back(FakeServices::dropped("<urlopen error bad URL http://x/bot" + kToken + "/sendMessage>"));
    CycleReport r = run_cycle(fake, settings);
    for (const auto& line : lines()) EXPECT_EQ(line.find(kToken), std::string::npos) << line;
    EXPECT_EQ(r.detail, "telegram: <urlopen error bad URL http://x/bot<token>/sendMessage> (127.0.0.1:2)");
}

TEST_F(EngineCycle, WithoutTelegramSettingsTheAlertWaitsInTheOutbox) {
    settings.token = "";
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(posts(), 0u);
    EXPECT_EQ(lines().front(), "[burn] telegram failed: burn telegram not configured\n");
    EXPECT_EQ(outbox().messages.size(), 1u);
}

TEST_F(EngineCycle, NoKeyTouchesNothing) {
    fake.env.erase("TAOSTATS_API_KEY");
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "no_api_key");
    EXPECT_TRUE(fake.requests.empty());
    EXPECT_TRUE(fake.files.empty());
    EXPECT_EQ(lines(), std::vector<std::string>{
                           "[burn] taostats API not available (must be bundled in package defaults)\n"});
}

TEST_F(EngineCycle, OrdinaryErrorsBecomeAnErrorOutcome) {
    list({{"1", "0.3"}});
    fake.fail_replace = [](std::string_view) { return true; };
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "error");
    EXPECT_EQ(r.detail, "[Errno 28] No space left on device: '" + kState + "'");
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] error: [Errno 28] No space left on device: '" +
                                                kState + "'\n"});
}

TEST_F(EngineCycle, SnapshotQueuesTheWholeListingAndSendsItPaced) {
    std::vector<std::pair<std::string, std::string>> rows;
    for (int n = 0; n < 1024; ++n) rows.emplace_back(std::to_string(1023 - n), "0.25");
    list(rows);
    for (int k = 0; k < 8; ++k) ok();
    CycleReport r = run_snapshot(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.subnets, 1024u);
    const auto bodies = sent_texts();
    ASSERT_GE(bodies.size(), 4u);
    EXPECT_TRUE(bodies[0].starts_with("chat_id=-1001&text=%281%2F" + std::to_string(bodies.size()) +
                                      "%29%0ASubnet+owner+burn+rates+%28startup%29"));
    EXPECT_NE(bodies[0].find("SN0%3A+0.2500%0ASN1%3A+0.2500"), std::string::npos);
    EXPECT_EQ(fake.sleeps, std::vector<double>(bodies.size() - 1, 1.0));
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] startup snapshot sent (1024 subnets)\n"});
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
}

TEST_F(EngineCycle, SnapshotFailuresUseTheStartupPrefixes) {
    taostats.push_back(FakeServices::answer(200, R"({"data": null})"));
    EXPECT_EQ(run_snapshot(fake, settings).outcome, "fetch_failed");
    EXPECT_EQ(lines(), std::vector<std::string>{
                           "[burn] startup fetch failed: taostats: answer without a \"data\" list: "
                           "{\"data\": null}\n"});
    list({{"1", "0.3"}});
    tg(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: chat not found"})");
    EXPECT_EQ(run_snapshot(fake, settings).outcome, "telegram_failed");
    EXPECT_EQ(lines().front(), "[burn] startup telegram failed: HTTP 400 Bad Request: chat not found\n");
}

TEST_F(EngineCycle, OverlongLinesAreCutRatherThanRefused) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "\"" + std::string(5000, 'x') + "\""}});
    ok();
    EXPECT_EQ(run_cycle(fake, settings).outcome, "ok");
    const std::string body = sent_texts().at(0);
    EXPECT_NE(body.find("%5B...+cut%3A+over+4096+characters%5D"), std::string::npos);
}

}  // namespace
}  // namespace emberscope::engine
