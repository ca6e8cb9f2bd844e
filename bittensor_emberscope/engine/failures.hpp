// How the engine names what went wrong with a service: which one, and why, in one short line
// that never carries a secret.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/secrets.hpp"
#include "common/services.hpp"

namespace emberscope::engine {

/// Most code points of an answer's text quoted in a console line or a report.
inline constexpr std::size_t kExcerptLength = 200;
/// What ends an excerpt that had to be cut.
inline constexpr std::string_view kExcerptCut = "...";

/// `text` as one line of at most kExcerptLength code points: secrets masked first (a cut never
/// leaves part of one in clear), each run of white space or control characters one space, the
/// ends trimmed, "..." closing a cut. A text that is not UTF-8 is described by its size.
std::string excerpt(std::string_view text, std::span<const secrets::Secret> secrets);

/// "HTTP 401 Unauthorized": the status with the answer's reason phrase, or the standard one
/// when the answer carries none.
std::string status_text(int status, std::string_view reason);

/// Where an exchange with `url` connects: "proxy HOST:PORT" when the environment names a proxy
/// for the URL's scheme (`<scheme>_proxy`, upper or lower case) that `no_proxy` does not waive
/// for its host, else "HOST:PORT".
std::string endpoint_of(Services& services, std::string_view url);

/// Why an exchange with `endpoint` ended without an answer, in plain words:
/// "connection refused (127.0.0.1:1)", "answer cut off (5 bytes read, 9 more expected)
/// (127.0.0.1:8081)", "no complete answer within 60 s (api.example:443)"; a cause it does not
/// know is quoted as an excerpt.
std::string transport_text(const TransportFailure& failure, double deadline_seconds,
                           std::string_view endpoint, std::span<const secrets::Secret> secrets);

/// Seconds from `now` (epoch seconds) that the answer's Retry-After header asks to wait: a
/// count of seconds or an HTTP date (a date already past is 0). nullopt without a readable one.
std::optional<double> retry_after_header(const HttpAnswer& answer, double now);

/// "30 s", "2.5 s": a wait as the console words it.
std::string seconds_text(double seconds);

}  // namespace emberscope::engine
