#include "taostats/client.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "testing_cpp/fake_codecs.hpp"
#include "testing_cpp/fake_services.hpp"

namespace emberscope::taostats {
namespace {

using testing::FakeDecoder;
using testing::FakeServices;

TEST(RetryLoop, WaitsLongerEachTimeUpToTheCapAndReturnsTheLastAnswer) {
    struct Case {
        int limited;  // rate-limited answers before a plain one
        std::int64_t attempts;
        std::vector<double> sleeps;
        std::string returned;
    } cases[] = {
        {0, 6, {}, "rows:1=0"},
        {2, 6, {2.0, 3.6}, "rows:1=0"},
        {9, 6, {2.0, 3.6, 6.48, 11.664, 20.9952}, "429"},  // the sixth answer is returned as is
        {1, 1, {}, "429"},
        {12, 11, {2.0, 3.6, 6.48, 11.664, 20.9952, 37.79136, 68.024448, 120.0, 120.0, 120.0}, "429"},
    };
    for (const Case& c : cases) {
        FakeServices services;
        FakeDecoder decoder;
        for (int i = 0; i < c.limited; ++i) services.answers.push_back(FakeServices::answer(429, ""));
        services.answers.push_back(FakeServices::answer(200, "rows:1=0"));
        PayloadPtr payload = with_retries(services, decoder, "/p", "", "k", c.attempts);
        ASSERT_NE(payload, nullptr);
        EXPECT_EQ(testing::body_of(*payload), c.returned) << c.limited;
        ASSERT_EQ(services.sleeps.size(), c.sleeps.size()) << c.limited;
        for (std::size_t i = 0; i < c.sleeps.size(); ++i)
            EXPECT_DOUBLE_EQ(services.sleeps[i], c.sleeps[i]) << c.limited << " sleep " << i;
        EXPECT_EQ(services.requests.size(), std::min<std::size_t>(c.limited + 1, c.attempts));
    }
}

TEST(RetryLoop, NoAttemptMeansNoRequestAndNoAnswer) {
    FakeServices services;
    FakeDecoder decoder;
    EXPECT_EQ(with_retries(services, decoder, "/p", "", "k", 0), nullptr);
    EXPECT_EQ(with_retries(services, decoder, "/p", "", "k", -3), nullptr);
    EXPECT_TRUE(services.calls.empty());
}

TEST(RetryLoop, ATransportFailureIsRaisedAsTheHostRaisedIt) {
    FakeServices services;
    FakeDecoder decoder;
    HttpAnswer dropped = FakeServices::dropped();
    dropped.failure->original = std::make_exception_ptr(std::out_of_range("the host's own error"));
    services.answers.push_back(FakeServices::answer(429, ""));
    services.answers.push_back(dropped);
    EXPECT_THROW(with_retries(services, decoder, "/p", "", "k", 6), std::out_of_range);
    EXPECT_EQ(services.sleeps, std::vector<double>{2.0});
}

TEST(Listing, OneGetWithTheSettingsOfTheEnvironment) {
    FakeServices services;
    FakeDecoder decoder;
    services.env["TAOSTATS_API_BASE"] = "http://127.0.0.1:9/base//";
    services.env["TAOSTATS_USER_AGENT"] = "probe/1";
    services.answers.push_back(FakeServices::answer(200, "rows:1=0.5"));
    PayloadPtr rows = fetch_all_subnets_latest(services, decoder, "key");
    EXPECT_EQ(testing::body_of(*rows), "rows:1=0.5");
    ASSERT_EQ(services.requests.size(), 1u);
    const HttpRequest& r = services.requests[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.url, "http://127.0.0.1:9/base/api/subnet/latest/v1?limit=1024&order=netuid_asc");
    EXPECT_EQ(r.headers, (std::vector<Header>{{"Authorization", "key"},
                                              {"User-Agent", "probe/1"},
                                              {"Accept", "application/json, text/plain, */*"},
                                              {"Accept-Language", "en-US,en;q=0.9"}}));
    EXPECT_EQ(r.timeout_seconds, 60);
}

TEST(Listing, TheKeyStaysWithItsOriginAndBodiesAreBounded) {
    FakeServices services;
    FakeDecoder decoder;
    services.answers.push_back(FakeServices::answer(200, "rows:1=0.5"));
    fetch_all_subnets_latest(services, decoder, "key");
    ASSERT_EQ(services.requests.size(), 1u);
    const HttpRequest& r = services.requests[0];
    EXPECT_EQ(r.redirects, Redirects::keep_credentials_on_origin);
    EXPECT_EQ(r.max_body_bytes, std::size_t{64} << 20);
    EXPECT_EQ(r.max_error_body_bytes, std::size_t{1} << 20);
}

TEST(Listing, TheKeyIsMaskedInFailureRecordsAndRaisedErrors) {
    const std::string key = "tao-KEY-0123456789";
    struct Case {
        HttpAnswer answer;
        std::string answer_payload, listing;
    } cases[] = {
        {FakeServices::answer(401, "invalid key tao-KEY-0123456789"), "invalid key <taostats-key>",
         "{\"error\": \"no_subnet_rows\"}"},
        {FakeServices::answer(200, "echo tao-KEY%2D0123456789"), "echo <taostats-key>",
         "{\"error\": \"no_subnet_rows\"}"},
        {FakeServices::answer(200, "rows:1=0.5"), "rows:1=0.5", "rows:1=0.5"},
    };
    for (Case& c : cases) {
        FakeServices services;
        FakeDecoder decoder;
        services.answers.push_back(c.answer);
        EXPECT_EQ(testing::body_of(*get_json(services, decoder, "/p", "", key)), c.answer_payload);
        services.answers.push_back(c.answer);
        EXPECT_EQ(testing::body_of(*fetch_all_subnets_latest(services, decoder, key)), c.listing);
    }
    FakeServices services;
    FakeDecoder decoder;
    services.env["TAOSTATS_API_KEY"] = key;
    services.responder = [](const HttpRequest& r) -> HttpAnswer {
        throw testing::FakeError("Invalid header value b'" + r.headers[0].second + "'");
    };
    try {
        get_json(services, decoder, "/p", "", key);
        FAIL() << "no error raised";
    } catch (const testing::FakeError& e) {
        EXPECT_STREQ(e.what(), "Invalid header value b'<taostats-key>'");
    }
}

TEST(Settings, TheKeyIsTrimmedAndAnEmptyKeyIsNone) {
    FakeServices services;
    EXPECT_EQ(api_key(services), std::nullopt);
    services.env["TAOSTATS_API_KEY"] = " \t ";
    EXPECT_EQ(api_key(services), std::nullopt);
    services.env["TAOSTATS_API_KEY"] = "\xc2\xa0k e\n";
    EXPECT_EQ(api_key(services), "k e");
    EXPECT_EQ(api_base(services), "https://api.taostats.io");
}

}  // namespace
}  // namespace emberscope::taostats
