#include "reports/delivery.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing_cpp/fake_codecs.hpp"
#include "testing_cpp/fake_services.hpp"

namespace emberscope::reports {
namespace {

using testing::FakeError;
using testing::FakeServices;
using testing::FakeTelegramReader;

constexpr std::string_view kToken = "123:SECRET";

// A report whose body needs three messages: two 1800-character lines fit in one.
std::string three_part_report() {
    std::string text = "Owner burn rate changed\n2026-01-01T00:00:00Z UTC\n";
    for (int i = 0; i < 6; ++i) text += "\n" + std::string(1800, char('a' + i));
    return text;
}

std::string sent_text(const HttpRequest& request) {
    for (const auto& [name, value] : request.form)
        if (name == "text") return value;
    return "";
}

TEST(Delivery, StopsAtTheFailingPartAndMasksTheToken) {
    FakeServices services;
    FakeTelegramReader answers;
    services.answers.push_back(FakeServices::answer(200, "ok"));
    services.answers.push_back(FakeServices::answer(
        400, "description:Bad Request: bot123:SECRET cannot post", {}, "Bad Request"));
    services.answers.push_back(FakeServices::answer(200, "ok"));
    const SendResult result =
        send_burn_telegram_messages(services, answers, three_part_report(), kToken, "-100");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Bad Request: bot<token> cannot post");
    ASSERT_EQ(services.requests.size(), 2u);  // part 3 is never sent
    EXPECT_EQ(services.sleeps, std::vector<double>{0.4});
    EXPECT_TRUE(sent_text(services.requests[0]).starts_with("(1/3)\nOwner burn rate changed\n"));
    EXPECT_TRUE(sent_text(services.requests[1]).starts_with("(2/3)\n"));
    const HttpRequest& r = services.requests[1];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.url, "https://api.telegram.org/bot123:SECRET/sendMessage");
    EXPECT_EQ(r.timeout_seconds, 30);
    EXPECT_EQ(r.form[0], (std::pair<std::string, std::string>{"chat_id", "-100"}));
    EXPECT_EQ(r.form[2], (std::pair<std::string, std::string>{"disable_web_page_preview", "true"}));
}

TEST(Delivery, AllPartsDelivered) {
    FakeServices services;
    FakeTelegramReader answers;
    services.responder = [](const HttpRequest&) { return FakeServices::answer(200, "ok"); };
    const SendResult result =
        send_burn_telegram_messages(services, answers, three_part_report(), kToken, "-100");
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(services.requests.size(), 3u);
    EXPECT_EQ(services.sleeps, (std::vector<double>{0.4, 0.4}));
}

TEST(Delivery, ReasonsOfAFailedMessage) {
    struct Case {
        HttpAnswer answer;
        std::string error;
    } cases[] = {
        {FakeServices::answer(200, "nope"), "{'ok': False, 'body': 'nope'}"},
        {FakeServices::answer(403, "", {}, "Forbidden"), "HTTP Error 403: Forbidden"},
        {FakeServices::answer(502, "<html>bad gateway</html>"), "<html>bad gateway</html>"},
        {FakeServices::answer(400, "{}"), "{}"},
        {FakeServices::dropped("<urlopen error offline 123:SECRET>"), "<urlopen error offline <token>>"},
        // a redirect is not followed; answers are read up to 1 MiB
        {FakeServices::answer(302, "", {{"Location", "http://elsewhere/"}}, "Found"), "HTTP Error 302: Found"},
        {FakeServices::answer(200, std::string(1 << 20, 'x')), "body longer than 1 MiB (1048576 bytes)"},
        {FakeServices::answer(502, std::string(1 << 20, 'x')), "body longer than 1 MiB (1048576 bytes)"},
    };
    cases[6].answer.body_over_limit = cases[7].answer.body_over_limit = true;
    for (Case& c : cases) {
        FakeServices services;
        FakeTelegramReader answers;
        services.answers.push_back(c.answer);
        const SendResult result = send_burn_telegram(services, answers, "hi", kToken, "1");
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, c.error);
        ASSERT_EQ(services.requests.size(), 1u);
        EXPECT_EQ(services.requests[0].redirects, Redirects::none);
        EXPECT_EQ(services.requests[0].max_body_bytes, std::size_t{1} << 20);
        EXPECT_EQ(services.requests[0].max_error_body_bytes, std::size_t{1} << 20);
    }
}

TEST(Delivery, NotConfiguredSendsNothing) {
    FakeServices services;
    FakeTelegramReader answers;
    EXPECT_EQ(send_burn_telegram(services, answers, "hi", "", "1").error,
              "burn telegram not configured");
    EXPECT_EQ(send_burn_telegram(services, answers, "hi", kToken, "").error,
              "burn telegram not configured");
    EXPECT_TRUE(services.calls.empty());
}

TEST(Delivery, ARaisedErrorLeavesWithoutTheToken) {
    FakeServices services;
    FakeTelegramReader answers;
    services.responder = [](const HttpRequest& r) -> HttpAnswer {
        throw FakeError("cannot reach " + r.url);
    };
    try {
        send_burn_telegram(services, answers, "hi", kToken, "1");
        FAIL() << "no error raised";
    } catch (const FakeError& e) {
        EXPECT_STREQ(e.what(), "cannot reach https://api.telegram.org/bot<token>/sendMessage");
    }
}

TEST(Delivery, TheTaostatsKeyIsMaskedTooInEverySpelling) {
    FakeServices services;
    FakeTelegramReader answers;
    services.env["TAOSTATS_API_KEY"] = "  tao-KEY-0123456789\n";
    services.answers.push_back(
        FakeServices::answer(400, "description:tao-KEY-0123456789 123%3ASECRET 123:SECRET", {}, ""));
    EXPECT_EQ(send_burn_telegram(services, answers, "hi", kToken, "1").error,
              "<taostats-key> <token> <token>");
    services.responder = [](const HttpRequest&) -> HttpAnswer {
        throw FakeError("echo 'tao-KEY-0123456789'");
    };
    try {
        send_burn_telegram(services, answers, "hi", kToken, "1");
        FAIL() << "no error raised";
    } catch (const FakeError& e) {
        EXPECT_STREQ(e.what(), "echo '<taostats-key>'");
    }
}

}  // namespace
}  // namespace emberscope::reports
