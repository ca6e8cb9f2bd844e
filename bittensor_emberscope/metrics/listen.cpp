#include "metrics/listen.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

#include "burns/repr.hpp"
#include "burns/unicode_tables.hpp"
#include "common/utf8.hpp"

namespace emberscope::metrics {

namespace {

constexpr std::string_view kNoPort = "does not end in a port number from 0 to 65535";
constexpr std::string_view kNotBracketed = "is not [IPV6-ADDRESS]:PORT";
constexpr std::string_view kUnbracketedV6 =
    "holds an IPv6 address without brackets; write [ADDRESS]:PORT";

// The text without the white space the host's str.strip() removes.
std::string_view stripped(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t next = start;
        if (!burns::is_space(utf8::next(text, next))) break;
        start = next;
    }
    std::size_t end = start;
    for (std::size_t pos = start; pos < text.size();) {
        if (!burns::is_space(utf8::next(text, pos))) end = pos;
    }
    return text.substr(start, end - start);
}

// The port of ASCII digits, leading zeros allowed; -1 for anything else or above 65535.
int port_number(std::string_view text) {
    if (text.empty()) return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
        if (value > 65535) return -1;
    }
    return static_cast<int>(value);
}

// The canonical text of an IPv4 or IPv6 address, or "" when `host` is neither.
std::string canonical_ip(const std::string& host) {
    char text[INET6_ADDRSTRLEN];
    in_addr v4;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return inet_ntop(AF_INET, &v4, text, sizeof text);
    in6_addr v6;
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return inet_ntop(AF_INET6, &v6, text, sizeof text);
    return "";
}

}  // namespace

std::variant<Address, std::string> parse_listen(std::string_view raw) {
    const std::string_view text = stripped(raw);
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find("]:", 1);
        if (close == std::string_view::npos) return std::string(kNotBracketed);
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        return std::string(kUnbracketedV6);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
        } else {
            port = text;
        }
    }
    const int number = port_number(port);
    if (number < 0) return std::string(kNoPort);
    if (host.empty() || host == "localhost") return Address{std::string(kDefaultHost), number};
    // An address the system's parser refuses (embedded NUL included) is not an IP address.
    std::string canonical = host.find('\0') == std::string_view::npos
                                ? canonical_ip(std::string(host)) : std::string();
    if (canonical.empty()) return "has " + burns::repr(host) + ", not an IP address";
    return Address{std::move(canonical), number};
}

std::string format_address(const Address& address) {
    const std::string port = std::to_string(address.port);
    if (address.host.find(':') != std::string::npos) return "[" + address.host + "]:" + port;
    return address.host + ":" + port;
}

}  // namespace emberscope::metrics
