#include "engine/failures.hpp"

#include <gtest/gtest.h>

#include "testing_cpp/fake_services.hpp"
#include "common/utf8.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeServices;

const std::string kToken = "123456:AAE-realistic-token-0123456789abcdefghijk";
const std::vector<secrets::Secret> kSecrets = {{kToken, secrets::kTokenMask}};

TEST(EngineFailures, ExcerptsAreOneShortLineWithSecretsMaskedBeforeTheCut) {
    struct Case {
        std::string text;
        std::string excerpt;
    };
    const std::string x185(185, 'x');
    const Case cases[] = {
        {"", ""},
        {"  \r\n\t ", ""},
        {"Bad Gateway", "Bad Gateway"},
        {"<html>\r\n<head>\r\n\r\n</head>\r\n", "<html> <head> </head>"},
        {std::string(200, 'a'), std::string(200, 'a')},
        {std::string(201, 'a'), std::string(197, 'a') + "..."},
        {std::string(300000, 'a'), std::string(197, 'a') + "..."},
        // A token across the 200th character: masked whole, never half shown.
        {x185 + " " + kToken + " tail", x185 + " <token> tail"},
        {x185 + "-" + kToken + std::string(100, 'z'), x185 + "-<token>" + std::string(4, 'z') + "..."},
        // Percent-encoded in a URL, as error pages echo it.
        {"GET /bot123456%3AAAE-realistic-token-0123456789abcdefghijk/sendMessage",
         "GET /bot<token>/sendMessage"},
        {std::string(199, 'a') + "\xE2\x86\x92\xE2\x86\x92", std::string(197, 'a') + "..."},
        {"\xFF\xFE broken", "(9 bytes, not UTF-8)"},
    };
    for (const auto& c : cases) {
        const std::string got = excerpt(c.text, kSecrets);
        EXPECT_EQ(got, c.excerpt) << c.text.substr(0, 80);
        EXPECT_LE(utf8::length(got), kExcerptLength);
        EXPECT_EQ(got.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(got.find(kToken.substr(0, 8)), std::string::npos);
    }
}

TEST(EngineFailures, EndpointsNameTheProxyWhenOneIsUsed) {
    struct Case {
        std::map<std::string, std::string, std::less<>> env;
        std::string url;
        std::string endpoint;
    };
    const Case cases[] = {
        {{}, "https://api.telegram.org/bot1:x/sendMessage", "api.telegram.org:443"},
        {{}, "http://127.0.0.1:8081/bot1:x/sendMessage", "127.0.0.1:8081"},
        {{}, "http://user:pw@[::1]:9000/path", "[::1]:9000"},
        {{{"https_proxy", "http://127.0.0.1:1"}}, "https://api.telegram.org/x", "proxy 127.0.0.1:1"},
        {{{"HTTPS_PROXY", "proxy.lan:3128"}}, "https://api.telegram.org/x", "proxy proxy.lan:3128"},
        {{{"http_proxy", "http://127.0.0.1:1"}}, "https://api.telegram.org/x", "api.telegram.org:443"},
        {{{"https_proxy", "http://p:1"}, {"no_proxy", "localhost, .telegram.org"}},
         "https://api.telegram.org/x", "api.telegram.org:443"},
        {{{"http_proxy", "http://p:1"}, {"NO_PROXY", "127.0.0.1:8081"}}, "http://127.0.0.1:8081/x",
         "127.0.0.1:8081"},
        {{{"http_proxy", "http://p:1"}, {"no_proxy", "127.0.0.1:9"}}, "http://127.0.0.1:8081/x",
         "proxy p:1"},
        {{{"http_proxy", "http://p:1"}, {"no_proxy", "*"}}, "http://api.example/x", "api.example:80"},
    };
    for (const auto& c : cases) {
        FakeServices fake;
        fake.env = c.env;
        EXPECT_EQ(endpoint_of(fake, c.url), c.endpoint) << c.url;
    }
}

TEST(EngineFailures, TransportFailuresAreNamedByTheirCause) {
    using K = TransportFailure::Kind;
    struct Case {
        K kind;
        std::string message;
        std::string text;
    };
    const Case cases[] = {
        {K::os_error, "<urlopen error [Errno 111] Connection refused>", "connection refused (h:1)"},
        {K::os_error, "Remote end closed connection without response",
         "connection closed before an answer (h:1)"},
        {K::os_error, "[Errno 104] Connection reset by peer", "connection reset (h:1)"},
        {K::os_error, "<urlopen error timed out>", "timed out (h:1)"},
        {K::os_error, "<urlopen error [Errno -2] Name or service not known>", "host name not found (h:1)"},
        {K::os_error, "<urlopen error [Errno 101] Network is unreachable>", "network unreachable (h:1)"},
        {K::os_error, "<urlopen error [SSL: CERTIFICATE_VERIFY_FAILED] certificate verify failed>",
         "TLS certificate not accepted (h:1)"},
        {K::os_error, "<urlopen error bad URL http://x/bot" + kToken + ">",
         "<urlopen error bad URL http://x/bot<token>> (h:1)"},
        {K::cut_off, "IncompleteRead(5 bytes read, 9 more expected)",
         "answer cut off (5 bytes read, 9 more expected) (h:1)"},
        {K::cut_off, "SSH-2.0-OpenSSH_9.6\r\n", "answer is not HTTP (SSH-2.0-OpenSSH_9.6) (h:1)"},
        {K::deadline, "the exchange took longer than its deadline of 60 s",
         "no complete answer within 60 s (h:1)"},
    };
    for (const auto& c : cases) {
        const TransportFailure failure{c.kind, c.message, nullptr};
        EXPECT_EQ(transport_text(failure, 60, "h:1", kSecrets), c.text) << c.message;
    }
}

TEST(EngineFailures, RetryAfterIsReadAsSecondsOrAnHttpDate) {
    const double now = 1765152000.0;  // Mon, 08 Dec 2025 00:00:00 GMT
    struct Case {
        std::string header;
        std::optional<double> seconds;
    };
    const Case cases[] = {
        {"30", 30},
        {" 0 ", 0},
        {"3600", 3600},
        {"Mon, 08 Dec 2025 00:00:45 GMT", 45},
        {"Mon, 08 Dec 2025 01:00:00 GMT", 3600},
        {"Sun, 07 Dec 2025 23:00:00 GMT", 0},
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"1.5", std::nullopt},
        {"soon", std::nullopt},
        {"Mon, 08 Foo 2025 00:00:45 GMT", std::nullopt},
        {"Mon, 08 Dec 2025 00:00:45 CET", std::nullopt},
    };
    for (const auto& c : cases) {
        const HttpAnswer a = FakeServices::answer(429, "", {{"Retry-After", c.header}});
        EXPECT_EQ(retry_after_header(a, now), c.seconds) << c.header;
    }
    EXPECT_EQ(retry_after_header(FakeServices::answer(429, ""), now), std::nullopt);
}

TEST(EngineFailures, StatusTextsUseTheStandardPhraseWhenTheAnswerHasNone) {
    EXPECT_EQ(status_text(401, ""), "HTTP 401 Unauthorized");
    EXPECT_EQ(status_text(502, "Bad Gateway"), "HTTP 502 Bad Gateway");
    EXPECT_EQ(status_text(418, " I'm a teapot "), "HTTP 418 I'm a teapot");
    EXPECT_EQ(status_text(599, ""), "HTTP 599");
}

}  // namespace
}  // namespace emberscope::engine
