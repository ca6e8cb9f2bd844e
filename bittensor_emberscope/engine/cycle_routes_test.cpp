// The cycle with several routes: what each is told, and delivery that keeps them apart.
#include <gtest/gtest.h>

#include <map>

#include "engine/console_out.hpp"
#include "engine/cycle.hpp"
#include "testing_cpp/cycle_fixture.hpp"
#include "engine/telegram.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeServices;
using namespace fixture;

const std::string kToken = "123456:ROUTES-token";
const std::string kFlood =
    R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 30","parameters":{"retry_after":30}})";
const std::string kBlocked =
    R"({"ok":false,"error_code":403,"description":"Forbidden: bot was kicked from the group chat"})";

routes::Route route(std::string chat, double threshold) {
    routes::Route r;
    r.chat_id = std::move(chat);
    r.threshold = threshold;
    return r;
}

// The chat_id field of a sendMessage form body.
std::string chat_of(const std::string& body) {
    const std::size_t start = body.find("chat_id=") + 8;
    return body.substr(start, body.find('&', start) - start);
}

class CycleRoutes : public CycleFixture {
protected:
    CycleRoutes() : CycleFixture(kToken) {}

    void SetUp() override {
        CycleFixture::SetUp();
        // Telegram answers each chat from its own script; a chat without one is answered ok.
        fake.responder = [this](const HttpRequest& r) {
            if (r.url.find("/api/subnet/") != std::string::npos) {
                if (taostats.empty()) throw testing::FakeError("no listing scripted");
                HttpAnswer a = std::move(taostats.front());
                taostats.pop_front();
                return a;
            }
            auto& script = per_chat[chat_of(r.body)];
            if (script.empty()) return FakeServices::answer(200, kSentOk);
            HttpAnswer a = std::move(script.front());
            script.pop_front();
            return a;
        };
    }

    /// The bodies posted to `chat`, in order.
    std::vector<std::string> posted_to(const std::string& chat) const {
        std::vector<std::string> out;
        for (const std::string& body : sent_texts())
            if (chat_of(body) == chat) out.push_back(body);
        return out;
    }
    /// The chats posted to, in order.
    std::vector<std::string> chats_posted() const {
        std::vector<std::string> out;
        for (const std::string& body : sent_texts()) out.push_back(chat_of(body));
        return out;
    }

    std::map<std::string, std::deque<HttpAnswer>> per_chat;
};

std::string alert_body(const std::string& chat, const std::string& lines, const std::string& tail = "") {
    return send_message_body(chat, "Owner burn rate changed\n2025-12-08T00:00:00Z UTC\n" + lines) + tail;
}

TEST_F(CycleRoutes, EachRouteIsToldTheChangesItsRulesSelectWithItsOwnOptionsOnTheWire) {
    routes::Route every = route("-1001", 0.01);
    routes::Route some = route("-2002", 0.1);
    some.netuids = std::vector<std::int64_t>{1, 3};
    some.silent = true;
    some.thread_id = 42;
    routes::Route relative = route("-3003", 0);
    relative.min_relative_change = 0.5;
    settings.routes = {every, some, relative};
    fake.files[kState] = state_file({{"1", "0.1"}, {"2", "0.5"}, {"3", "0.2"}});
    list({{"1", "0.3"}, {"2", "0.52"}, {"3", "0.25"}});
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    // Found with the smallest threshold (0): every move is a change of the cycle.
    EXPECT_EQ(r.changes.size(), 3u);
    EXPECT_EQ(posted_to("-1001"),
              std::vector<std::string>{alert_body(
                  "-1001", "\nSN1: 0.1000 \xe2\x86\x92 0.3000\nSN2: 0.5000 \xe2\x86\x92 0.5200"
                           "\nSN3: 0.2000 \xe2\x86\x92 0.2500")});
    EXPECT_EQ(posted_to("-2002"),
              std::vector<std::string>{alert_body("-2002", "\nSN1: 0.1000 \xe2\x86\x92 0.3000",
                                                  "&disable_notification=true&message_thread_id=42")});
    EXPECT_EQ(posted_to("-3003"),
              std::vector<std::string>{alert_body("-3003", "\nSN1: 0.1000 \xe2\x86\x92 0.3000")});
    ASSERT_EQ(r.routes.size(), 3u);
    EXPECT_EQ(r.delivered, 3u);
    for (const RouteReport& one : r.routes) {
        EXPECT_EQ(one.delivered, 1u) << one.chat_id;
        EXPECT_EQ(one.queued, 0u) << one.chat_id;
        EXPECT_EQ(one.telegram_failure, "") << one.chat_id;
    }
    EXPECT_EQ(r.routes[1].thread_id, 42);
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
}

// Whatever other routes there are, a route is told exactly what a monitor sending to it alone
// would tell it: the same alerts, cycle by cycle.
TEST_F(CycleRoutes, ACoarseRouteHearsWhatItWouldHearAlone) {
    const std::vector<Rows> cycles = {
        {{"1", "0.10"}, {"2", "0.50"}},
        {{"1", "0.13"}, {"2", "0.50"}},  // below the coarse threshold
        {{"1", "0.16"}, {"2", "0.56"}},  // 0.06 on SN2, 0.03 again on SN1
        {{"1", "0.30"}, {"2", "0.56"}},
        {{"1", "0.29"}, {"2", "0.40"}},
    };
    auto run_all = [&](std::vector<routes::Route> routes) {
        fake = FakeServices();
        SetUp();
        settings.routes = std::move(routes);
        for (const Rows& rows : cycles) {
            list(rows);
            EXPECT_EQ(run_cycle(fake, settings).outcome, "ok");
            fake.clock += 600;
        }
        return posted_to("-2002");
    };
    const std::vector<std::string> alone = run_all({route("-2002", 0.05)});
    const std::vector<std::string> together = run_all({route("-1001", 0.01), route("-2002", 0.05)});
    EXPECT_EQ(together, alone);
    EXPECT_EQ(alone.size(), 3u);  // SN2 in the third cycle, SN1 in the fourth, SN2 in the last
    EXPECT_EQ(posted_to("-1001").size(), 4u);
}

TEST_F(CycleRoutes, AChatThatRefusesDoesNotHoldBackAnother) {
    settings.routes = {route("-1001", 0.01), route("-2002", 0.01)};
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    per_chat["-1001"].push_back(FakeServices::answer(403, kBlocked));
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(r.telegram_failure, "refused");
    EXPECT_EQ(r.detail, "telegram: HTTP 403 Forbidden: bot was kicked from the group chat");
    EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-2002"}));
    ASSERT_EQ(r.routes.size(), 2u);
    EXPECT_EQ(r.routes[0].telegram_failure, "refused");
    EXPECT_EQ(r.routes[0].last_failure, r.detail);
    EXPECT_EQ(r.routes[0].queued, 1u);
    EXPECT_EQ(r.routes[1].telegram_failure, "");
    EXPECT_EQ(r.routes[1].delivered, 1u);
    EXPECT_EQ(r.routes[1].queued, 0u);
    // The next cycle tries the refused chat's alert again, and only that one.
    fake.clock += 600;
    fake.requests.clear();
    list({{"1", "0.3"}});
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(chats_posted(), std::vector<std::string>{"-1001"});
    EXPECT_EQ(r.routes[0].delivered, 1u);
    EXPECT_EQ(r.routes[1].delivered, 0u);
}

TEST_F(CycleRoutes, AHeldChatIsWaitedForOnlyAfterTheOthersAreServed) {
    settings.routes = {route("-1001", 0.01), route("-2002", 0.01)};
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    per_chat["-1001"].push_back(FakeServices::answer(429, kFlood));
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    // The flooded chat steps aside; the other is sent at once, then the wait of 30 s.
    EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-2002", "-1001"}));
    EXPECT_EQ(fake.sleeps, std::vector<double>(30, 1.0));
    EXPECT_EQ(r.delivered, 2u);
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
}

TEST_F(CycleRoutes, AChatHeldBeyondTheBudgetKeepsItsMessagesAndTheOthersAreSent) {
    settings.routes = {route("-1001", 0.01), route("-2002", 0.01)};
    Outbox held;
    held.chat_not_before = {{"-1001", fake.clock + 3600}};
    fake.files[kOutbox] = render_outbox(held);
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "telegram_failed");
    EXPECT_EQ(chats_posted(), std::vector<std::string>{"-2002"});
    EXPECT_TRUE(fake.sleeps.empty());
    EXPECT_EQ(r.routes[0].telegram_failure, "failed");
    EXPECT_EQ(r.routes[0].queued, 1u);
    EXPECT_EQ(r.routes[1].delivered, 1u);
    const Outbox box = outbox();
    ASSERT_EQ(box.messages.size(), 1u);
    EXPECT_EQ(box.messages[0].chat_id, "-1001");
    EXPECT_EQ(box.chat_hold("-1001"), fake.clock + 3600);
}

TEST_F(CycleRoutes, AChatHeldFromAnEarlierCycleDoesNotDelayAnotherChatsNewAlert) {
    settings.routes = {route("-1001", 0.01), route("-2002", 0.01)};
    Outbox waiting;
    waiting.messages.push_back({"alert", 1, "2025-12-07T23:55:00Z", fake.clock - 300, 1, 1, "old"});
    waiting.messages.back().chat_id = "-1001";
    waiting.chat_not_before = {{"-1001", fake.clock + 60}};  // within the budget of 150 s
    fake.files[kOutbox] = render_outbox(waiting);
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-2002", "-1001", "-1001"}));
    // The new alert to -2002 went out before any wait; -1001's wait came after it.
    std::vector<std::string> order;
    for (const std::string& call : fake.calls)
        if (call == "http" || call == "sleep") order.push_back(call);
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ(order[0], "http");  // the listing
    EXPECT_EQ(order[1], "http");  // -2002
    EXPECT_EQ(order[2], "sleep");
    EXPECT_EQ(fake.sleeps.size(), 61u);  // 60 s held, then 1 s between -1001's two messages
}

TEST_F(CycleRoutes, EachChatIsPacedOnItsOwn) {
    settings.routes = {route("-1001", 0.01), route("-2002", 0.01)};
    Outbox waiting;
    for (const char* chat : {"-1001", "-2002", "-1001", "-2002"}) {
        waiting.messages.push_back({"alert", 1, "2025-12-07T23:55:00Z", fake.clock - 60, 1, 1,
                                    std::string("for ") + chat});
        waiting.messages.back().chat_id = chat;
    }
    fake.files[kOutbox] = render_outbox(waiting);
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.1"}});
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    // Each chat's own order; one second between two messages to one chat, none between chats.
    EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-1001", "-2002", "-2002"}));
    EXPECT_EQ(fake.sleeps, (std::vector<double>{1.0, 1.0}));
}

TEST_F(CycleRoutes, AnOutboxFromBeforeRoutesBelongsToTheFirstRouteAndUnroutedMessagesAreDropped) {
    settings.routes = {route("-2002", 0.01), route("-1001", 0.01)};
    // Written by an earlier version: no chat in the messages.
    fake.files[kOutbox] =
        R"({"chat_migrations": {}, "messages": [{"count": 1, "kind": "alert", "part": 1, )"
        R"("queued_at": 1765151700.0, "stamp": "2025-12-07T23:55:00Z", "text": "earlier", "total": 1}], )"
        R"("version": 1})";
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.1"}});
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(sent_texts(), std::vector<std::string>{send_message_body("-2002", "earlier")});
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] alert sent (1 subnet(s))\n"});

    // A route taken out of the file: its waiting messages go, with a line; the others stay.
    Outbox waiting;
    for (const char* chat : {"-3003", "-1001", "-3003"}) {
        waiting.messages.push_back({"alert", 1, "2025-12-07T23:55:00Z", fake.clock - 60, 1, 1, "x"});
        waiting.messages.back().chat_id = chat;
    }
    fake.files[kOutbox] = render_outbox(waiting);
    fake.requests.clear();
    list({{"1", "0.1"}});
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(chats_posted(), std::vector<std::string>{"-1001"});
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[burn] outbox: dropped 2 message(s) queued for chat -3003, which no "
                           "route sends to any more\n",
                           "[burn] alert sent (1 subnet(s))\n"}));
}

// What was queued or held for a route stays with it when the operator renames its chat after
// a migration or moves it to another topic; a chat taken out loses its queue with a line, and a
// start-up list lost that way says how to send one.
TEST_F(CycleRoutes, QueuesAndHeldChangesFollowAMigratedChatAndAChangedTopic) {
    struct Case {
        const char* name;
        const char* queued_chat;
        std::optional<std::int64_t> queued_thread;
        const char* kind;
        routes::Route now;
        std::vector<std::string> posted;
        std::vector<std::string> lines;
    };
    routes::Route new_id = route("-100999", 0.01);
    routes::Route topic = route("-2002", 0.01);
    topic.thread_id = 43;
    const Case cases[] = {
        {"the new id configured", "-1001", std::nullopt, "alert", new_id,
         {send_message_body("-100999", "queued"), send_message_body("-100999", "held digest")},
         {"[burn] alert sent (1 subnet(s))\n", "[burn] alert sent (1 subnet(s))\n"}},
        {"the topic changed", "-2002", 42, "alert", topic,
         {send_message_body("-2002", "queued", false, 43),
          send_message_body("-2002", "held digest", false, 43)},
         {"[burn] alert sent (1 subnet(s))\n", "[burn] alert sent (1 subnet(s))\n"}},
        {"a wrong chat replaced", "-7", std::nullopt, "snapshot", route("-2002", 0.01),
         {},
         {"[burn] outbox: dropped 1 message(s) queued for chat -7, which no route sends to any "
          "more\n",
          std::string(kStartUpListDroppedLine),
          "[burn] quiet hours: dropped 1 held change(s) for chat -7, which no route sends to any "
          "more\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake = FakeServices();
        SetUp();
        settings.routes = {c.now};
        Outbox box;
        box.migrations = {{"-1001", "-100999"}};
        box.messages.push_back({c.kind, 1, "2025-12-07T23:55:00Z", fake.clock - 60, 1, 1, "queued"});
        box.messages.back().chat_id = c.queued_chat;
        box.messages.back().thread_id = c.queued_thread;
        box.held.push_back({c.queued_chat, c.queued_thread, {"1", "0.1", "0.3"}});
        fake.files[kOutbox] = render_outbox(box);
        fake.files[kState] = state_file({{"1", "0.3"}});
        list({{"1", "0.3"}});
        const CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "ok");
        std::vector<std::string> posted = sent_texts();
        // The digest's text is the renderer's; only whose it is matters here.
        for (std::string& body : posted)
            if (body.find("during+quiet+hours") != std::string::npos ||
                body.find("Owner+burn+rate+changed") != std::string::npos)
                body = send_message_body(chat_of(body), "held digest", false,
                                         body.find("message_thread_id=43") != std::string::npos
                                             ? std::optional<std::int64_t>(43)
                                             : std::nullopt);
        EXPECT_EQ(posted, c.posted);
        EXPECT_EQ(lines(), c.lines);
    }
}

// The alerts and the bot's answers share each chat's holds: what one met, the other honours,
// and the outbox file keeps what the answers met for the next process.
TEST_F(CycleRoutes, AlertsAndTheBotsAnswersShareEachChatsHoldsAndMigrations) {
    const std::string kMoved =
        R"({"ok":false,"error_code":400,"description":"Bad Request: group chat was upgraded to a )"
        R"(supergroup chat","parameters":{"migrate_to_chat_id":-100777}})";
    ChatHolds holds;
    settings.routes = {route("-1001", 0.01), route("-2002", 0.01)};
    settings.chat_holds = &holds;
    fake.files[kState] = state_file({{"1", "0.1"}});

    // An answer met flood control on -2002 for 40 s: the alert to -1001 goes at once, the one
    // to -2002 after the pause, and the file keeps no pause that is over.
    holds.hold("-2002", fake.clock + 40);
    const double start = fake.clock;
    list({{"1", "0.3"}});
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-2002"}));
    EXPECT_GE(fake.clock - start, 40);
    EXPECT_EQ(fake.files.count(kOutbox), 0u);

    // An answer's pause longer than the cycle's budget: the alert waits in the outbox, and the
    // file holds the chat for the next process.
    holds.hold("-2002", fake.clock + 3600);
    fake.requests.clear();
    list({{"1", "0.5"}});
    r = run_cycle(fake, settings);
    EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001"}));
    ASSERT_EQ(outbox().chat_not_before.size(), 1u);
    EXPECT_EQ(outbox().chat_not_before[0].first, "-2002");
    EXPECT_NEAR(outbox().chat_not_before[0].second, fake.epoch_seconds() + 3600, 1.0);
    EXPECT_EQ(outbox().messages.size(), 1u);

    // The other way: an alert meets flood control and a migration; the answers see both.
    ChatHolds fresh;
    settings.chat_holds = &fresh;
    fake.files.erase(kOutbox);
    per_chat["-1001"] = {FakeServices::answer(400, kMoved)};
    per_chat["-100777"] = {FakeServices::answer(
        429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 3600",)"
             R"("parameters":{"retry_after":3600}})")};
    fake.requests.clear();
    list({{"1", "0.9"}});
    const double flooded = fake.clock;
    run_cycle(fake, settings);
    EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-100777", "-2002"}));
    EXPECT_EQ(fresh.chat_for("-1001"), "-100777");
    const std::optional<double> until = fresh.held_until("-1001", fake.clock);
    ASSERT_TRUE(until.has_value());
    EXPECT_NEAR(*until, flooded + 3600, 1.0);

    // A chat the answers saw move: the alerts follow it, and the file records the move.
    ChatHolds moved;
    moved.migrate("-2002", "-200999");
    settings.chat_holds = &moved;
    fake.files.erase(kOutbox);
    per_chat.clear();
    fake.requests.clear();
    list({{"1", "0.1"}});
    run_cycle(fake, settings);
    EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-200999"}));
}

TEST_F(CycleRoutes, TheStartUpListGoesToEachRouteFilteredByItsSubnets) {
    routes::Route some = route("-2002", 0.5);
    some.netuids = std::vector<std::int64_t>{2, 0};
    routes::Route none = route("-3003", 0.5);
    none.netuids = std::vector<std::int64_t>{77};
    settings.routes = {route("-1001", 0.01), some, none};
    list({{"2", "0.5"}, {"0", "0"}, {"1", "0.25"}});
    const CycleReport r = run_snapshot(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    ASSERT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-2002"}));
    const std::string all = posted_to("-1001")[0];
    const std::string filtered = posted_to("-2002")[0];
    EXPECT_NE(all.find("SN1%3A"), std::string::npos);
    EXPECT_EQ(filtered.find("SN1%3A"), std::string::npos);
    EXPECT_NE(filtered.find("SN0%3A"), std::string::npos);
    EXPECT_NE(filtered.find("SN2%3A"), std::string::npos);
    EXPECT_EQ(lines(), (std::vector<std::string>{"[burn] startup snapshot sent (3 subnets)\n",
                                                 "[burn] startup snapshot sent (2 subnets)\n"}));
}

routes::Route quiet_route() {
    routes::Route quiet = route("-2002", 0.01);
    quiet.quiet_hours = routes::QuietHours{22 * 60, 7 * 60};
    return quiet;
}

const std::string kDigest =
    "Owner burn rate changed during quiet hours 22:00-07:00 UTC\n2025-12-08T07:00:00Z UTC\n\n"
    "SN1: 0.1000 \xe2\x86\x92 0.5000\nSN2: 0.5000 \xe2\x86\x92 0.9000\nSN3: 0.2000 \xe2\x86\x92 0.2000";

// The fake clock starts at 2025-12-08 00:00 UTC, inside 22:00-07:00.
TEST_F(CycleRoutes, QuietHoursHoldChangesAndTheFirstCycleAfterSendsOneDigest) {
    for (const bool fetch_fails_at_the_end : {false, true}) {
        fake = FakeServices();
        SetUp();
        settings.routes = {route("-1001", 0.01), quiet_route()};
        fake.files[kState] = state_file({{"1", "0.1"}, {"2", "0.5"}, {"3", "0.2"}});
        list({{"1", "0.3"}, {"2", "0.5"}, {"3", "0.4"}});
        CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "ok");
        EXPECT_EQ(chats_posted(), std::vector<std::string>{"-1001"});
        EXPECT_EQ(r.routes[1].held, 2u);
        EXPECT_EQ(outbox().held.size(), 2u);
        fake.clock += 3 * 3600;  // 03:00: still quiet
        list({{"1", "0.5"}, {"2", "0.9"}, {"3", "0.2"}});
        r = run_cycle(fake, settings);
        EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-1001"}));
        EXPECT_EQ(r.routes[1].held, 5u);
        fake.clock += 4 * 3600;  // 07:00: the window is over
        if (fetch_fails_at_the_end)
            taostats.push_back(FakeServices::answer(401, R"({"message": "Unauthorized"})"));
        else
            list({{"1", "0.5"}, {"2", "0.9"}, {"3", "0.2"}});
        lines();
        r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, fetch_fails_at_the_end ? "fetch_failed" : "ok");
        // Each subnet once, first old and last new value; one that came back is still listed.
        EXPECT_EQ(posted_to("-2002"), std::vector<std::string>{send_message_body("-2002", kDigest)});
        EXPECT_EQ(r.routes[1].held, 0u);
        EXPECT_EQ(lines().front(), "[burn] alert sent (3 subnet(s))\n");
        EXPECT_EQ(fake.files.count(kOutbox), 0u);
    }
}

TEST_F(CycleRoutes, HeldChangesOfARouteTakenOutAreDroppedWithALineAndAWindowTakenOutReleasesThem) {
    settings.routes = {route("-1001", 0.01), quiet_route()};
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    run_cycle(fake, settings);
    EXPECT_EQ(outbox().held.size(), 1u);
    // Still 00:00, but the window is gone from the route: the digest goes at once.
    settings.routes[1].quiet_hours.reset();
    list({{"1", "0.3"}});
    lines();
    run_cycle(fake, settings);
    ASSERT_EQ(posted_to("-2002").size(), 1u);
    EXPECT_NE(posted_to("-2002")[0].find("during+quiet+hours%0A"), std::string::npos);

    settings.routes = {route("-1001", 0.01), quiet_route()};
    list({{"1", "0.6"}});
    run_cycle(fake, settings);
    EXPECT_EQ(outbox().held.size(), 1u);
    settings.routes = {route("-1001", 0.01)};
    list({{"1", "0.6"}});
    lines();
    run_cycle(fake, settings);
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] quiet hours: dropped 1 held change(s) for "
                                                "chat -2002, which no route sends to any more\n"});
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
}

TEST_F(CycleRoutes, HeldChangesWhoseValuesCouldNotBeSavedAreWithdrawn) {
    settings.routes = {quiet_route()};
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "0.3"}});
    fake.fail_replace = [](std::string_view path) { return path == kState; };
    EXPECT_EQ(run_cycle(fake, settings).outcome, "error");
    // The change is found again once the values can be written: held once, not twice.
    EXPECT_TRUE(outbox().held.empty());
    fake.fail_replace = nullptr;
    list({{"1", "0.3"}});
    run_cycle(fake, settings);
    EXPECT_EQ(outbox().held.size(), 1u);
}

TEST_F(CycleRoutes, NoGoodListingForTooLongTellsEveryRouteOnceAndOnceWhenBack) {
    settings.routes = {route("-1001", 0.01), route("-2002", 0.01)};
    settings.stale_after_seconds = 30 * 60;
    list({{"1", "0.1"}});
    EXPECT_EQ(run_cycle(fake, settings).outcome, "ok");  // 00:00: the last good listing
    const std::string stale =
        "emberscope: no good listing from Taostats for 30 min (last good at 2025-12-08 00:00 UTC)";
    const std::string back = "emberscope: listings from Taostats are back after 50 min";
    std::vector<std::string> told;  // what each cycle sent to -2002
    for (int minute = 10; minute <= 50; minute += 10) {
        fake.clock += 600;
        fake.requests.clear();
        if (minute == 50)
            list({{"1", "0.1"}});
        else if (minute == 20)
            list({});  // a listing without a row is no good listing either
        else
            taostats.push_back(FakeServices::answer(401, R"({"message": "Unauthorized"})"));
        lines();
        run_cycle(fake, settings);
        const std::vector<std::string> to_second = posted_to("-2002");
        told.push_back(to_second.empty() ? "" : to_second.front());
        if (minute == 30) {
            EXPECT_EQ(chats_posted(), (std::vector<std::string>{"-1001", "-2002"}));
            EXPECT_EQ(lines().back(), "[burn] notice sent: " + stale + "\n");
        }
    }
    EXPECT_EQ(told, (std::vector<std::string>{"", "", send_message_body("-2002", stale), "",
                                              send_message_body("-2002", back)}));
    EXPECT_EQ(posted_to("-1001"), std::vector<std::string>{send_message_body("-1001", back)});
    EXPECT_EQ(outbox().last_good_listing, fake.clock);
    EXPECT_FALSE(outbox().stale_alert_sent);
}

// The time since the last good listing is taken on the monotonic clock within a boot: a step of
// the wall clock neither raises a false alarm nor hides an outage.
TEST_F(CycleRoutes, TheStaleDataAlertIsTimedOnTheMonotonicClockWithinABoot) {
    settings.routes = {route("-1001", 0.01)};
    settings.stale_after_seconds = 30 * 60;
    struct Case { double wall_step; double minutes_later; bool alerted; };
    const Case cases[] = {
        {3 * 3600, 5, false},   // a 3 h step forward, 5 min after a good listing
        {-86400, 60, true},     // a 1-day step back, then a 60-min outage
        {0, 29, false},
        {0, 31, true},
    };
    for (const Case& c : cases) {
        fake.wall_offset = 0;
        fake.files.erase(std::string(kState));
        fake.files.erase(outbox_path(kState));
        list({{"1", "0.1"}});
        ASSERT_EQ(run_cycle(fake, settings).outcome, "ok");  // the last good listing
        fake.wall_offset = c.wall_step;
        fake.clock += c.minutes_later * 60;
        fake.requests.clear();
        taostats.push_back(FakeServices::answer(401, R"({"message": "Unauthorized"})"));
        run_cycle(fake, settings);
        EXPECT_EQ(!posted_to("-1001").empty(), c.alerted) << c.wall_step << " " << c.minutes_later;
        EXPECT_EQ(outbox().stale_alert_sent, c.alerted) << c.wall_step << " " << c.minutes_later;
    }
}

// Across boots the monotonic readings do not compare: the wall clock times the outage.
TEST_F(CycleRoutes, TheStaleDataAlertFallsBackToTheWallClockAcrossBoots) {
    settings.routes = {route("-1001", 0.01)};
    settings.stale_after_seconds = 30 * 60;
    list({{"1", "0.1"}});
    ASSERT_EQ(run_cycle(fake, settings).outcome, "ok");
    fake.boot = "boot-2";
    fake.clock = 100;  // the new boot's monotonic clock starts low
    fake.wall_offset = 1'765'152'000.0 + 40 * 60 - 100;
    fake.requests.clear();
    taostats.push_back(FakeServices::answer(401, R"({"message": "Unauthorized"})"));
    run_cycle(fake, settings);
    EXPECT_EQ(posted_to("-1001").size(), 1u);
}

}  // namespace
}  // namespace emberscope::engine
