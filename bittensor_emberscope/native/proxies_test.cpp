#include "native/proxies.hpp"

#include <gtest/gtest.h>

namespace emberscope::native {
namespace {

struct ChoiceCase {
    const char* name;
    Environment env;
    const char* scheme;
    const char* host;
    std::optional<std::string> proxy;  // "host:port user:password", nullopt for direct
};

std::string shown(const std::optional<Proxy>& p) {
    if (!p) return "direct";
    std::string out = p->host + ":" + std::to_string(p->port);
    if (!p->user.empty()) out += " " + p->user + ":" + p->password;
    return out;
}

class ProxyChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ProxyChoice, FollowsTheHostClientsRules) {
    const ChoiceCase& c = GetParam();
    EXPECT_EQ(shown(proxy_for(c.env, c.scheme, c.host)), c.proxy.value_or("direct"));
}

INSTANTIATE_TEST_SUITE_P(
    Environment, ProxyChoice,
    ::testing::Values(
        ChoiceCase{"none", {}, "https", "api.example", std::nullopt},
        ChoiceCase{"upper_https", {{"HTTPS_PROXY", "http://p:3128"}}, "https", "api.example", "p:3128"},
        ChoiceCase{"scheme_must_match", {{"HTTPS_PROXY", "http://p:3128"}}, "http", "api.example", std::nullopt},
        ChoiceCase{"lower_wins", {{"https_proxy", "http://low:1"}, {"HTTPS_PROXY", "http://up:2"}},
                   "https", "h", "low:1"},
        ChoiceCase{"lower_wins_either_order", {{"HTTPS_PROXY", "http://up:2"}, {"https_proxy", "http://low:1"}},
                   "https", "h", "low:1"},
        ChoiceCase{"empty_lower_removes", {{"HTTPS_PROXY", "http://up:2"}, {"https_proxy", ""}},
                   "https", "h", std::nullopt},
        ChoiceCase{"mixed_case_counts", {{"Http_Proxy", "mixed:8"}}, "http", "h", "mixed:8"},
        ChoiceCase{"all_proxy_is_not_used", {{"ALL_PROXY", "http://all:1"}, {"all_proxy", "http://all:1"}},
                   "https", "h", std::nullopt},
        ChoiceCase{"cgi_drops_upper_http", {{"REQUEST_METHOD", "GET"}, {"HTTP_PROXY", "http://evil:1"}},
                   "http", "h", std::nullopt},
        ChoiceCase{"cgi_keeps_lower_http", {{"REQUEST_METHOD", "GET"}, {"http_proxy", "http://ok:1"}},
                   "http", "h", "ok:1"},
        ChoiceCase{"bare_authority_default_port_http", {{"http_proxy", "p"}}, "http", "h", "p:80"},
        ChoiceCase{"default_port_https", {{"https_proxy", "http://p"}}, "https", "h", "p:443"},
        ChoiceCase{"credentials_decoded", {{"https_proxy", "http://us%40r:p%3Ass@p:3128/"}}, "https",
                   "h", "p:3128 us@r:p:ss"},
        ChoiceCase{"credentials_need_both", {{"https_proxy", "http://user@p:3128"}}, "https", "h", "p:3128"},
        ChoiceCase{"no_proxy_exact", {{"https_proxy", "p:1"}, {"no_proxy", "api.example"}}, "https",
                   "api.example", std::nullopt},
        ChoiceCase{"no_proxy_suffix", {{"https_proxy", "p:1"}, {"NO_PROXY", ".example"}}, "https",
                   "api.example:443", std::nullopt},
        ChoiceCase{"no_proxy_not_a_suffix_of_a_label", {{"https_proxy", "p:1"}, {"no_proxy", "ample"}},
                   "https", "api.example", "p:1"},
        ChoiceCase{"no_proxy_star", {{"https_proxy", "p:1"}, {"no_proxy", "*"}}, "https", "x", std::nullopt},
        ChoiceCase{"no_proxy_list_spaces_case", {{"https_proxy", "p:1"}, {"no_proxy", "a.b, 127.0.0.1 ,Z"}},
                   "https", "z", std::nullopt},
        ChoiceCase{"no_proxy_with_port", {{"http_proxy", "p:1"}, {"no_proxy", "127.0.0.1:8080"}}, "http",
                   "127.0.0.1:8080", std::nullopt},
        ChoiceCase{"no_proxy_other_port", {{"http_proxy", "p:1"}, {"no_proxy", "127.0.0.1:8080"}}, "http",
                   "127.0.0.1:9090", "p:1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProxyChoice, AUrlWithoutAuthorityIsRefused) {
    try {
        proxy_for({{"https_proxy", "http:/p:3128"}}, "https", "h");
        FAIL() << "not refused";
    } catch (const ProxyError& e) {
        EXPECT_EQ(e.message, "proxy URL with no authority: 'http:/p:3128'");
    }
}

}  // namespace
}  // namespace emberscope::native
