// The cycle with a Telegram chat, a Discord webhook and a signed webhook side by side: each told
// the same change in its own form, each fault of one kept to that one.
#include <gtest/gtest.h>

#include <map>

#include "engine/cycle.hpp"
#include "engine/discord.hpp"
#include "engine/telegram.hpp"
#include "engine/webhook.hpp"
#include "testing_cpp/cycle_fixture.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeServices;
using namespace fixture;

const std::string kToken = "123456:DEST-token";
const std::string kDiscordFile = "/etc/es/discord-url";
const std::string kDiscordUrl = "http://127.0.0.1:4/api/webhooks/55/discord-token-abcdef";
const std::string kHookFile = "/etc/es/hook-url";
const std::string kHookUrl = "http://127.0.0.1:5/hook";
const std::string kKeyFile = "/etc/es/hook-key";
const std::string kKey = "hook-signing-key-1";
const std::string kText = "Owner burn rate changed\n2025-12-08T00:00:00Z UTC\n\nSN1: 0.1000 → 0.3000";
const std::string kDiscordSaved = R"({"id": "1180000000000000001", "channel_id": "9", "content": "x"})";

class CycleDestinations : public CycleFixture {
protected:
    CycleDestinations() : CycleFixture(kToken) {}

    void SetUp() override {
        CycleFixture::SetUp();
        fake.files[kDiscordFile] = kDiscordUrl + "\n";
        fake.files[kHookFile] = kHookUrl;
        fake.files[kKeyFile] = kKey + "\n";
        routes::Route chat;
        chat.chat_id = "-1001";
        routes::Route discord;
        discord.kind = routes::DestinationKind::discord;
        discord.address_file = kDiscordFile;
        discord.chat_id = "discord:" + kDiscordFile;
        routes::Route hook;
        hook.kind = routes::DestinationKind::webhook;
        hook.address_file = kHookFile;
        hook.signing_file = kKeyFile;
        hook.chat_id = "webhook:" + kHookFile;
        settings.routes = {chat, discord, hook};
        settings.gone = &gone;
        fake.responder = [this](const HttpRequest& r) {
            if (r.url.find("/api/subnet/") != std::string::npos) {
                HttpAnswer a = std::move(taostats.front());
                taostats.pop_front();
                return a;
            }
            const std::string where = service_of(r.url);
            auto& script = scripts[where];
            if (script.empty())
                return where == "discord" ? FakeServices::answer(200, kDiscordSaved)
                                          : FakeServices::answer(200, where == "webhook" ? "" : kSentOk);
            HttpAnswer a = std::move(script.front());
            script.pop_front();
            return a;
        };
        fake.files[kState] = state_file({{"1", "0.1"}, {"2", "0.5"}});
    }

    static std::string service_of(const std::string& url) {
        if (url.starts_with("http://127.0.0.1:4/")) return "discord";
        if (url.starts_with("http://127.0.0.1:5/")) return "webhook";
        return "telegram";
    }
    /// The requests that went to `service`, in order.
    std::vector<HttpRequest> sent_to(const std::string& service) const {
        std::vector<HttpRequest> out;
        for (const HttpRequest& r : fake.requests)
            if (r.method == "POST" && service_of(r.url) == service) out.push_back(r);
        return out;
    }

    std::map<std::string, std::deque<HttpAnswer>> scripts;
    GoneDestinations gone;
};

TEST_F(CycleDestinations, EachDestinationGetsTheSameChangeInItsOwnForm) {
    list({{"1", "0.3"}, {"2", "0.5"}});
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, kOutcomeOk);
    EXPECT_EQ(r.delivered, 3u);

    const auto telegram = sent_to("telegram");
    ASSERT_EQ(telegram.size(), 1u);
    EXPECT_EQ(telegram[0].body, send_message_body("-1001", kText));

    const auto discord = sent_to("discord");
    ASSERT_EQ(discord.size(), 1u);
    EXPECT_EQ(discord[0].url, kDiscordUrl + "?wait=true");
    EXPECT_EQ(discord[0].body,
              R"({"content": "Owner burn rate changed\n2025-12-08T00:00:00Z UTC\n\nSN1: 0.1000 \u2192 0.3000", )"
              R"("allowed_mentions": {"parse": []}})");

    const auto hook = sent_to("webhook");
    ASSERT_EQ(hook.size(), 1u);
    const std::string body =
        R"({"version": 1, "kind": "alert", "time_utc": "2025-12-08T00:00:00Z", "title": "Owner burn rate changed", )"
        R"("text": "Owner burn rate changed\n2025-12-08T00:00:00Z UTC\n\nSN1: 0.1000 \u2192 0.3000", )"
        R"("changes": [{"netuid": 1, "old": "0.1", "new": "0.3"}], "route": "webhook:/etc/es/hook-url"})";
    EXPECT_EQ(hook[0].body, body);
    EXPECT_EQ(hook[0].headers, (std::vector<Header>{{"Content-Type", "application/json"},
                                                    {"X-Emberscope-Signature", webhook_signature(kKey, body)}}));
    EXPECT_EQ(lines(), (std::vector<std::string>{"[burn] alert sent (1 subnet(s))\n",
                                                 "[burn] alert sent (1 subnet(s))\n",
                                                 "[burn] alert sent (1 subnet(s))\n"}));
}

TEST_F(CycleDestinations, EachFaultCostsOneRepeatAndNothingIsLost) {
    scripts["discord"].push_back(FakeServices::answer(
        429, R"({"message": "You are being rate limited.", "retry_after": 0.5, "global": false})",
        {{"Retry-After", "1"}, {"X-RateLimit-Reset-After", "0.500"}, {"X-RateLimit-Scope", "user"}}));
    scripts["webhook"].push_back(FakeServices::answer(503, "", {}, "Service Unavailable"));
    scripts["telegram"].push_back(FakeServices::answer(502, "", {}, "Bad Gateway"));
    list({{"1", "0.3"}, {"2", "0.5"}});
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, kOutcomeOk);
    EXPECT_EQ(r.delivered, 3u);
    EXPECT_EQ(sent_to("telegram").size(), 2u);
    EXPECT_EQ(sent_to("discord").size(), 2u);
    EXPECT_EQ(sent_to("webhook").size(), 2u);
    EXPECT_EQ(sent_to("discord")[0].body, sent_to("discord")[1].body);
    EXPECT_TRUE(outbox().messages.empty());
    // Nothing left to send: a second cycle without a change posts nothing.
    fake.requests.clear();
    list({{"1", "0.3"}, {"2", "0.5"}});
    run_cycle(fake, settings);
    EXPECT_TRUE(sent_to("telegram").empty() && sent_to("discord").empty() && sent_to("webhook").empty());
}

TEST_F(CycleDestinations, ADeletedDiscordWebhookIsGoneUntilItsFileChanges) {
    scripts["discord"].push_back(
        FakeServices::answer(404, R"({"message": "Unknown Webhook", "code": 10015})", {}, "Not Found"));
    list({{"1", "0.3"}, {"2", "0.5"}});
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.routes[1].telegram_failure, "gone");
    EXPECT_EQ(r.routes[1].queued, 1u);
    EXPECT_EQ(r.routes[0].delivered + r.routes[2].delivered, 2u);
    const std::vector<std::string> said = lines();
    EXPECT_EQ(std::count(said.begin(), said.end(),
                         "[burn] discord failed: HTTP 404 Not Found: Unknown Webhook (code 10015) (the "
                         "webhook was deleted or its address is wrong)\n"),
              1);

    // Later cycles: no request, no second line, the message kept.
    fake.requests.clear();
    list({{"1", "0.3"}, {"2", "0.9"}});
    r = run_cycle(fake, settings);
    EXPECT_TRUE(sent_to("discord").empty());
    EXPECT_EQ(r.routes[1].telegram_failure, "gone");
    EXPECT_EQ(r.routes[1].queued, 2u);
    for (const std::string& line : lines()) EXPECT_EQ(line.find("discord failed"), std::string::npos) << line;

    // A new address in the file: both messages go out, in order.
    fake.files[kDiscordFile] = "http://127.0.0.1:4/api/webhooks/56/new-token-ghijkl";
    fake.requests.clear();
    list({{"1", "0.3"}, {"2", "0.9"}});
    r = run_cycle(fake, settings);
    const auto discord = sent_to("discord");
    ASSERT_EQ(discord.size(), 2u);
    EXPECT_NE(discord[0].body.find("SN1: 0.1000"), std::string::npos);
    EXPECT_NE(discord[1].body.find("SN2: 0.5000"), std::string::npos);
    EXPECT_EQ(r.routes[1].queued, 0u);
}

TEST_F(CycleDestinations, TheAddressesNeverReachALineTheOutboxOrTheReport) {
    scripts["discord"].push_back(FakeServices::answer(400, "bad request to " + kDiscordUrl, {}, "Bad Request"));
    scripts["webhook"].push_back(FakeServices::answer(400, "no route " + kHookUrl + " key " + kKey, {}, "Bad Request"));
    list({{"1", "0.3"}, {"2", "0.5"}});
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.routes[1].last_failure, "discord: HTTP 400 Bad Request: bad request to <discord-webhook>");
    EXPECT_EQ(r.routes[2].last_failure,
              "webhook: HTTP 400 Bad Request: no route <webhook-url> key <webhook-secret>");
    std::string everything = fake.files[kOutbox] + r.detail;
    for (const std::string& line : lines()) everything += line;
    for (const std::string& secret : {kDiscordUrl, std::string("discord-token-abcdef"), kHookUrl, kKey})
        EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
}

TEST_F(CycleDestinations, AnAddressThatCannotBeReadHoldsItsMessagesAndSaysWhy) {
    fake.files.erase(kDiscordFile);
    fake.files[kHookFile] = "ftp://127.0.0.1/hook";
    list({{"1", "0.3"}, {"2", "0.5"}});
    const CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.routes[1].last_failure, "discord: the file /etc/es/discord-url does not exist");
    EXPECT_EQ(r.routes[2].last_failure,
              "webhook: the file /etc/es/hook-url does not hold an http:// or https:// address");
    EXPECT_EQ(r.routes[1].queued + r.routes[2].queued, 2u);
    EXPECT_TRUE(sent_to("discord").empty() && sent_to("webhook").empty());
}

TEST_F(CycleDestinations, ADiscordPauseIsKeptUnderItsOwnKeyBesideTelegramsChats) {
    scripts["discord"].push_back(FakeServices::answer(429, R"({"retry_after": 400.5, "global": false})"));
    list({{"1", "0.3"}, {"2", "0.5"}});
    run_cycle(fake, settings);
    const std::string file = fake.files[kOutbox];
    EXPECT_NE(file.find("\"destination_not_before\": {\n    \"discord:/etc/es/discord-url\": "), std::string::npos)
        << file;
    EXPECT_EQ(file.find("telegram_not_before"), std::string::npos) << file;
    EXPECT_EQ(outbox().chat_hold("discord:/etc/es/discord-url"), 1'765'152'000.0 + kDiscordMaxWait);
}

}  // namespace
}  // namespace emberscope::engine
