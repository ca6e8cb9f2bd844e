// The one Taostats listing of a cycle, through the services: the request, its rate-limit
// repeats within the cycle's wait budget, and the answer's "data" array or why there is none.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "common/services.hpp"
#include "engine/json.hpp"
#include "engine/waits.hpp"
#include "taostats/settings.hpp"

namespace emberscope::engine {

/// Largest listing body read; a larger one is a failed fetch.
inline constexpr std::size_t kTaostatsMaxBody = taostats::kSuccessBodyLimit;
/// Largest body of an error status read; its record names the limit.
inline constexpr std::size_t kTaostatsMaxErrorBody = taostats::kErrorBodyLimit;
/// Deadline of one listing exchange: twice its time-out.
inline constexpr double kTaostatsDeadlineFactor = 2;

struct FetchFailure {
    enum class Kind {
        record,     ///< the answer as an error record (`detail` is its JSON text)
        transport,  ///< no answer (`detail` is the failure's text)
    };
    Kind kind = Kind::record;
    std::string detail;
};

/// True when an answer record says the request was rate limited: "status_code" 429, or
/// "Rate Limited" in its "message".
bool is_rate_limited(const JsonValue& record);

/// The record of one listing answer: the decoded object of a success, the error record of an
/// error status ({"status_code", "message", "http_status"}, or the body's own object with
/// "http_status"), or {"parse_error", "raw"} for a success body that is not a JSON object.
JsonValue answer_record(const HttpAnswer& answer);

/// GETs the listing with `key`, repeating rate-limited answers (2.0 s, then 1.8 times longer,
/// at most 6 requests) while the waits fit. Returns the non-empty "data" array, or the failure.
/// Each exchange ends after `deadline_seconds` (default: kTaostatsDeadlineFactor time-outs).
std::variant<JsonValue, FetchFailure> fetch_listing(
    Services& services, Waits& waits, const std::string& key,
    std::optional<double> deadline_seconds = std::nullopt);

}  // namespace emberscope::engine
