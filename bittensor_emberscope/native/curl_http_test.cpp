#include "native/curl_http.hpp"

#include <gtest/gtest.h>

namespace emberscope::native {
namespace {

TEST(FailureText, NeverShowsTheRequestsPath) {
    const std::string url = "https://api.telegram.example/bot123456:SECRET-token/sendMessage";
    const struct {
        std::string detail;
        std::string expected;
    } cases[] = {
        {"Failed to connect to api.telegram.example port 443 after 3 ms: Couldn't connect to server",
         "Failed to connect to api.telegram.example port 443 after 3 ms: Couldn't connect to server"},
        {"URL rejected: " + url, "URL rejected: https://api.telegram.example"},
        {"bad path /bot123456:SECRET-token/sendMessage here", "bad path /... here"},
    };
    for (const auto& c : cases) EXPECT_EQ(failure_text(c.detail, url), c.expected) << c.detail;
}

TEST(FailureText, UserInformationInTheUrlIsLeftOut) {
    EXPECT_EQ(failure_text("cannot reach user:pw@h.example:8080 now", "http://user:pw@h.example:8080/x"),
              "cannot reach h.example:8080 now");
}

TEST(OriginOf, SchemeHostAndPort) {
    const struct {
        const char* url;
        const char* origin;
    } cases[] = {
        {"https://API.example/a?b", "https://api.example:443"},
        {"http://api.example", "http://api.example:80"},
        {"http://api.example:8080/x", "http://api.example:8080"},
        {"HTTP://u:p@[::1]:81/", "http://[::1]:81"},
        {"http://[::1]/", "http://[::1]:80"},
        {"not a url", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(origin_of(c.url), c.origin) << c.url;
}

TEST(DeadlineText, IsTheHostsWording) {
    EXPECT_EQ(deadline_text(1.5), "the exchange took longer than its deadline of 1.5 s");
    EXPECT_EQ(deadline_text(60), "the exchange took longer than its deadline of 60 s");
}

}  // namespace
}  // namespace emberscope::native
