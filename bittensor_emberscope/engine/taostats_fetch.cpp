// The cycle's Taostats listing.
#include "engine/taostats_fetch.hpp"

#include "common/text.hpp"
#include "taostats/settings.hpp"

namespace emberscope::engine {
namespace {

JsonValue status_value(int status) { return JsonValue::make_integer(status); }

JsonValue no_rows(JsonValue payload) {
    JsonValue record = JsonValue::make_object();
    record.set("error", JsonValue::make_text("no_subnet_rows"));
    record.set("response", std::move(payload));
    return record;
}

HttpRequest listing_request(Services& services, const std::string& key,
                            std::optional<double> deadline_seconds) {
    namespace ts = taostats;
    const auto base = services.environment("TAOSTATS_API_BASE");
    const auto agent = services.environment("TAOSTATS_USER_AGENT");
    HttpRequest request;
    request.method = "GET";
    request.url = text::without_trailing_slashes(base ? *base : std::string(ts::kDefaultApiBase)) +
                  std::string(ts::kListingPath) + "?" +
                  ts::query_text({{"limit", std::to_string(ts::kListingLimit)},
                                  {"order", std::string(ts::kListingOrder)}});
    request.headers = {{"Authorization", key},
                       {"User-Agent", agent ? *agent : std::string(ts::kDefaultUserAgent)},
                       {"Accept", std::string(ts::kAccept)},
                       {"Accept-Language", std::string(ts::kAcceptLanguage)}};
    request.timeout_seconds = ts::kRequestTimeoutSeconds;
    request.deadline_seconds =
        deadline_seconds.value_or(kTaostatsDeadlineFactor * ts::kRequestTimeoutSeconds);
    request.max_body_bytes = kTaostatsMaxBody;
    request.max_error_body_bytes = kTaostatsMaxErrorBody;
    request.redirects = Redirects::keep_credentials_on_origin;
    return request;
}

}  // namespace

bool is_rate_limited(const JsonValue& record) {
    if (const JsonValue* status = record.get("status_code")) {
        if (status->kind == JsonValue::Kind::integer && status->text == "429") return true;
        if (status->kind == JsonValue::Kind::real && status->real == 429.0) return true;
    }
    const JsonValue* message = record.get("message");
    return message && host_str(*message).find(taostats::kRateLimitedWords) != std::string::npos;
}

JsonValue answer_record(const HttpAnswer& a) {
    if (a.body_over_limit && (a.status < 200 || a.status >= 300)) {
        JsonValue record = JsonValue::make_object();
        record.set("status_code", status_value(a.status));
        record.set("message", JsonValue::make_text(text::over_limit_text(kTaostatsMaxErrorBody)));
        record.set("http_status", status_value(a.status));
        return record;
    }
    const bool utf8 = is_utf8(a.body);
    std::variant<JsonValue, JsonError> parsed =
        utf8 ? parse_json(a.body) : std::variant<JsonValue, JsonError>(JsonError{"not UTF-8"});
    JsonValue* value = std::get_if<JsonValue>(&parsed);
    if (a.status < 200 || a.status >= 300) {
        if (value && value->is_object()) {
            value->set("http_status", status_value(a.status));
            return std::move(*value);
        }
        JsonValue record = JsonValue::make_object();
        record.set("status_code", status_value(a.status));
        record.set("message", JsonValue::make_text(a.body.empty() || !utf8 ? a.reason : a.body));
        record.set("http_status", status_value(a.status));
        return record;
    }
    if (value && value->is_object()) return std::move(*value);
    JsonValue record = JsonValue::make_object();
    record.set("parse_error",
               JsonValue::make_text(value ? "the answer is not a JSON object"
                                          : std::get<JsonError>(parsed).message));
    record.set("raw", JsonValue::make_text(
                          utf8 ? text::first_code_points(a.body, taostats::kRawExcerptLength) : ""));
    return record;
}

std::variant<JsonValue, FetchFailure> fetch_listing(Services& services, Waits& waits,
                                                    const std::string& key,
                                                    std::optional<double> deadline_seconds) {
    const HttpRequest request = listing_request(services, key, deadline_seconds);
    double delay = taostats::kRetryPolicy.first_delay;
    JsonValue record;
    for (std::int64_t attempt = 0; attempt < taostats::kRetryPolicy.attempts; ++attempt) {
        HttpAnswer answer = services.http(request);
        if (answer.failure) return FetchFailure{FetchFailure::Kind::transport, answer.failure->message};
        if (answer.body_over_limit && answer.ok()) {
            JsonValue over = JsonValue::make_object();
            over.set("error", JsonValue::make_text("listing_too_large"));
            over.set("limit_bytes", JsonValue::make_integer(static_cast<long long>(kTaostatsMaxBody)));
            over.set("http_status", status_value(answer.status));
            return FetchFailure{FetchFailure::Kind::record, dump_json(over)};
        }
        record = answer_record(answer);
        if (!is_rate_limited(record) || attempt == taostats::kRetryPolicy.attempts - 1) break;
        if (waits.wait(delay) != Waits::Result::done) break;
        delay = taostats::kRetryPolicy.next_delay(delay);
    }
    const JsonValue* data = record.get("data");
    if (!data || !data->truthy() || !data->is_array())
        return FetchFailure{FetchFailure::Kind::record, dump_json(no_rows(std::move(record)))};
    for (auto& [name, value] : record.members)
        if (name == "data") return std::move(value);
    return JsonValue{};
}

}  // namespace emberscope::engine
