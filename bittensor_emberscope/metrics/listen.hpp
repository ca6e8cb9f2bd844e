// The address `watch --metrics-listen` serves at: how it is written and how it is shown.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace emberscope::metrics {

/// Where the exporter listens when the setting names only a port.
inline constexpr std::string_view kDefaultHost = "127.0.0.1";

/// A numeric host (IPv4 dotted or IPv6 without brackets, in canonical form) and a port.
struct Address {
    std::string host;
    int port = 0;
    bool operator==(const Address&) const = default;
};

/// The address of "ADDRESS:PORT", "[IPV6]:PORT", ":PORT" or "PORT" (white space around is
/// ignored); a missing address or "localhost" is 127.0.0.1, port 0 lets the system pick. A text
/// that is none of these gives the reason, to follow the quoted setting:
/// "does not end in a port number from 0 to 65535", "has 'x', not an IP address", ...
std::variant<Address, std::string> parse_listen(std::string_view text);

/// "HOST:PORT", or "[HOST]:PORT" for an IPv6 host.
std::string format_address(const Address& address);

}  // namespace emberscope::metrics
