// Which proxy an exchange goes through, chosen from the process environment by the rules the
// interpreter's urllib applies, so that the command and the host's own client agree.
//
// `<scheme>_proxy` in any case names the proxy for URLs of that scheme, the lower-case spelling
// winning over the others; an empty lower-case variable takes the scheme's proxy away. Under a
// CGI server (REQUEST_METHOD set) only the lower-case http_proxy counts. `no_proxy` lists host
// suffixes (or "*") reached directly. `all_proxy` names no proxy for http or https URLs: urllib
// has no use for it there, and neither has the command.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace emberscope::native {

using Environment = std::vector<std::pair<std::string, std::string>>;

/// The proxy to use, as the host's client would talk to it: always plain HTTP to host and port.
struct Proxy {
    std::string host;      ///< as written (an IPv6 address in brackets)
    long port = 0;
    std::string user;      ///< percent-decoded; both empty unless both were given
    std::string password;
};

/// A proxy setting the host's client would refuse (a URL without an authority).
struct ProxyError {
    std::string message;
};

/// The process environment, in its order.
Environment process_environment();

/// The `<scheme>_proxy` settings of `env`: scheme (lower case) to value.
std::vector<std::pair<std::string, std::string>> proxy_settings(const Environment& env);

/// True when `host` (the URL's authority, port included when written) is reached directly
/// because `no_proxy` says so.
bool bypasses_proxy(std::string_view host, std::string_view no_proxy);

/// The proxy for a URL of `scheme` (lower case) whose authority is `host`; nullopt for a
/// direct connection.
std::optional<Proxy> proxy_for(const Environment& env, std::string_view scheme,
                               std::string_view host);

/// Decodes %XX escapes; anything else is kept as it is.
std::string percent_decoded(std::string_view text);

}  // namespace emberscope::native
