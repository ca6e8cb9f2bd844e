#include "metrics/listen.hpp"

#include <gtest/gtest.h>

namespace emberscope::metrics {
namespace {

struct Accepted {
    std::string text;
    Address address;
};

TEST(ParseListen, AcceptsEveryDocumentedForm) {
    const Accepted cases[] = {
        {"9101", {"127.0.0.1", 9101}},
        {":9101", {"127.0.0.1", 9101}},
        {"localhost:9101", {"127.0.0.1", 9101}},
        {"0.0.0.0:80", {"0.0.0.0", 80}},
        {"192.168.1.5:65535", {"192.168.1.5", 65535}},
        {"[::1]:9101", {"::1", 9101}},
        {"[::]:9101", {"::", 9101}},
        {"127.0.0.1:0", {"127.0.0.1", 0}},
        // White space around is the host's strip(); leading zeros are the host's int().
        {" \t9101\n", {"127.0.0.1", 9101}},
        {"\u00a09101\u3000", {"127.0.0.1", 9101}},
        {"127.0.0.1:009101", {"127.0.0.1", 9101}},
        // IPv6 addresses in their canonical form.
        {"[0:0:0:0:0:0:0:1]:1", {"::1", 1}},
        {"[FE80::0001]:1", {"fe80::1", 1}},
        {"[127.0.0.1]:5", {"127.0.0.1", 5}},
    };
    for (const auto& c : cases) {
        const auto got = parse_listen(c.text);
        ASSERT_TRUE(std::holds_alternative<Address>(got)) << c.text << ": " << std::get<1>(got);
        EXPECT_EQ(std::get<Address>(got), c.address) << c.text;
    }
}

struct Refused {
    std::string text;
    std::string reason;
};

TEST(ParseListen, NamesWhatIsWrong) {
    const std::string no_port = "does not end in a port number from 0 to 65535";
    const std::string unbracketed = "holds an IPv6 address without brackets; write [ADDRESS]:PORT";
    const Refused cases[] = {
        {"", no_port},
        {"127.0.0.1", no_port},
        {"127.0.0.1:", no_port},
        {"127.0.0.1:65536", no_port},
        {"127.0.0.1:99999999999999999999999", no_port},
        {"127.0.0.1:-1", no_port},
        {"127.0.0.1:+1", no_port},
        {"127.0.0.1:9101x", no_port},
        {"127.0.0.1:\u0669\u0661", no_port},  // Arabic-Indic digits are not a port
        {"metrics.example:9101", "has 'metrics.example', not an IP address"},
        {"300.1.1.1:9101", "has '300.1.1.1', not an IP address"},
        {"01.2.3.4:9101", "has '01.2.3.4', not an IP address"},
        {"1.2.3:9101", "has '1.2.3', not an IP address"},
        {"it's:1", "has \"it's\", not an IP address"},
        {std::string("a\0b:1", 5), "has 'a\\x00b', not an IP address"},
        {"[nope]:1", "has 'nope', not an IP address"},
        {"::1:9101", unbracketed},
        {"::1", unbracketed},
        {"[::1]", "is not [IPV6-ADDRESS]:PORT"},
        {"[::1]9101", "is not [IPV6-ADDRESS]:PORT"},
    };
    for (const auto& c : cases) {
        const auto got = parse_listen(c.text);
        ASSERT_TRUE(std::holds_alternative<std::string>(got)) << c.text;
        EXPECT_EQ(std::get<std::string>(got), c.reason) << c.text;
    }
}

TEST(FormatAddress, BracketsIpv6Only) {
    EXPECT_EQ(format_address({"127.0.0.1", 9101}), "127.0.0.1:9101");
    EXPECT_EQ(format_address({"::1", 0}), "[::1]:0");
    EXPECT_EQ(format_address({"fe80::1", 65535}), "[fe80::1]:65535");
}

}  // namespace
}  // namespace emberscope::metrics
