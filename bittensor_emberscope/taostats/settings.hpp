// Fixed values of the Taostats client and the text rules applied to its settings and answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace emberscope::taostats {

/// The public API origin, used when TAOSTATS_API_BASE is unset.
inline constexpr std::string_view kDefaultApiBase = "https://api.taostats.io";
/// The user-agent text sent when TAOSTATS_USER_AGENT is unset.
inline constexpr std::string_view kDefaultUserAgent =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/131.0.0.0 Safari/537.36";
inline constexpr std::string_view kAccept = "application/json, text/plain, */*";
inline constexpr std::string_view kAcceptLanguage = "en-US,en;q=0.9";

/// The one listing the monitor asks for: the latest row of every subnet, in one page.
inline constexpr std::string_view kListingPath = "/api/subnet/latest/v1";
inline constexpr std::int64_t kListingLimit = 1024;
inline constexpr std::string_view kListingOrder = "netuid_asc";

/// Seconds a request may wait at each blocking step (connect, each read).
inline constexpr int kRequestTimeoutSeconds = 60;
/// Most bytes of a success body read; a longer answer is refused unread beyond that.
inline constexpr std::int64_t kSuccessBodyLimit = std::int64_t{64} << 20;
/// Most bytes of an error status's body read.
inline constexpr std::int64_t kErrorBodyLimit = std::int64_t{1} << 20;
/// Longest body excerpt kept in a parse-error record, in code points.
inline constexpr std::size_t kRawExcerptLength = 500;
/// The words by which an answer's message says the request was rate limited.
inline constexpr std::string_view kRateLimitedWords = "Rate Limited";

/// `text` without white space at either end, by the host's own notion of white space (what
/// str.strip() removes); white space inside the text stays.
std::string strip_white_space(std::string_view text);

/// Query text of key/value texts: "key=value" items joined by "&", inserted verbatim
/// (no escaping). An empty list gives "".
std::string query_text(const std::vector<std::pair<std::string, std::string>>& items);

/// How a rate-limited request is repeated: at most `attempts` requests in all, the first repeat
/// after `first_delay` seconds, each later wait `factor` times longer, at most `cap` seconds.
struct RetryPolicy {
    std::int64_t attempts;
    double first_delay;
    double factor;
    double cap;
    /// The wait after `delay`.
    double next_delay(double delay) const { return delay * factor < cap ? delay * factor : cap; }
};
/// The client's retry policy; `with_retries` takes its number of attempts by default.
inline constexpr RetryPolicy kRetryPolicy{6, 2.0, 1.8, 120.0};

}  // namespace emberscope::taostats
