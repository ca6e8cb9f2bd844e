// Host-facing Taostats client.
#include "taostats/client_ops.hpp"

#include <utility>

#include "common/text.hpp"
#include "host/http.hpp"
#include "host/json.hpp"
#include "host/services.hpp"
#include "taostats/settings.hpp"

namespace emberscope::taostats {
namespace {

std::string text_form(const host::Object& value) {
    return value.kind() == host::Kind::text ? value.text() : value.str();
}

// Null and empty-text values are left out; everything else goes in as its text.
std::string query_of(const host::Object& params) {
    std::vector<std::pair<std::string, std::string>> items;
    for (const auto& [key, value] : params.items()) {
        if (value.is_null()) continue;
        if (value.kind() == host::Kind::text && value.text().empty()) continue;
        items.emplace_back(text_form(key), text_form(value));
    }
    return query_text(items);
}

// An error status: the body's own JSON value, or a record made of the status and the body text
// (the reason phrase when the body is empty); either way tagged with "http_status".
host::Object error_record(const host::HttpOutcome& outcome) {
    const host::Object& http_error = outcome.http_error;
    const std::optional<host::Object>& data = outcome.error_body;
    const host::Object code = http_error.attr("code");
    if (outcome.error_over_limit) {
        host::Object record = host::new_map();
        record.set("status_code", code);
        record.set("message", host::text(host::over_limit_text(host::kErrorBodyLimit)));
        record.set("http_status", code);
        return record;
    }
    const host::Object body = data ? host::decode_utf8(*data) : host::text("");
    host::Object record;
    try {
        record = host::json_loads(body);
    } catch (const host::Error& e) {
        if (!host::is_json_decode_error(e)) throw;
        record = host::new_map();
        record.set("status_code", code);
        record.set("message", body.text().empty() ? http_error.attr("reason") : body);
    }
    record.set("http_status", code);  // raises the host's TypeError for a non-object
    return record;
}

// The record of a success body that is not JSON.
host::Object parse_error_record(const std::string& description, const host::Object& body) {
    host::Object record = host::new_map();
    record.set("parse_error", host::text(description));
    record.set("raw", host::text(text::first_code_points(body.text(), kRawExcerptLength)));
    return record;
}

bool is_exact_dict(const host::Object& value) {
    return value.kind() == host::Kind::map && value.type_name() == "dict";
}

}  // namespace

std::string api_base() {
    std::optional<std::string> base = host::environment("TAOSTATS_API_BASE");
    return text::without_trailing_slashes(base ? *base : std::string(kDefaultApiBase));
}

std::vector<secrets::Secret> known_secrets(std::string_view token, std::string_view auth) {
    std::vector<secrets::Secret> out;
    if (!token.empty()) out.push_back({std::string(token), secrets::kTokenMask});
    if (!auth.empty()) out.push_back({std::string(auth), secrets::kTaostatsKeyMask});
    try {
        std::optional<std::string> key = api_key();
        if (key && *key != auth) out.push_back({std::move(*key), secrets::kTaostatsKeyMask});
    } catch (const host::Error& e) {
        if (!host::is_exception_family(e)) throw;  // an environment that cannot be read has no key
    }
    return out;
}

std::optional<std::string> api_key() {
    std::string key = strip_white_space(host::environment("TAOSTATS_API_KEY").value_or(""));
    if (key.empty()) return std::nullopt;
    return key;
}

host::Object request_headers(const std::string& auth) {
    std::optional<std::string> agent = host::environment("TAOSTATS_USER_AGENT");
    host::Object headers = host::new_map();
    headers.set("Authorization", host::text(auth));
    headers.set("User-Agent", host::text(agent ? *agent : std::string(kDefaultUserAgent)));
    headers.set("Accept", host::text(kAccept));
    headers.set("Accept-Language", host::text(kAcceptLanguage));
    return headers;
}

namespace {

host::Object http_get_json_unmasked(const std::string& path, const host::Object& params,
                                    const std::string& auth) {
    std::string url = api_base() + path;
    const std::string query = query_of(params);
    if (!query.empty()) url += "?" + query;
    const host::Object request = host::http_request(url, request_headers(auth));

    host::ExchangeOptions options;
    options.timeout_seconds = kRequestTimeoutSeconds;
    options.body_limit = kSuccessBodyLimit;
    const host::HttpOutcome outcome = host::http_exchange(request, options);
    if (!outcome.http_error.empty()) return error_record(outcome);
    if (outcome.over_limit) {
        const host::Object part = outcome.body.attr("decode").call({host::text("utf-8"), host::text("replace")});
        return parse_error_record(host::over_limit_text(kSuccessBodyLimit), part);
    }

    const host::Object body = host::decode_utf8(outcome.body);
    host::Object value;
    try {
        value = host::json_loads(body);
    } catch (const host::Error& e) {
        if (!host::is_json_decode_error(e)) throw;
        return parse_error_record(host::message_of(e), body);
    }
    if (value.kind() != host::Kind::map && !value.is_null())
        host::throw_result_type_error("dict", value);
    return value;
}

}  // namespace

host::Object http_get_json(const std::string& path, const host::Object& params,
                           const std::string& auth) {
    host::Object value;
    try {
        value = http_get_json_unmasked(path, params, auth);
    } catch (host::Error& e) {
        host::rethrow_masked(std::move(e), known_secrets({}, auth));
    }
    // A record of a failure carries what the server said, which may echo the key.
    if (value.kind() == host::Kind::map && (value.contains("http_status") || value.contains("parse_error")))
        return host::masked_value(value, known_secrets({}, auth));
    return value;
}

bool is_rate_limited(const host::Object& payload) {
    if (std::optional<host::Object> status = payload.get("status_code")) {
        if (status->kind() == host::Kind::integer && status->small_integer() == 429) return true;
        if (status->kind() == host::Kind::real && status->real() == 429.0) return true;
    }
    std::optional<host::Object> message = payload.get("message");
    if (!message) return false;
    return text_form(*message).find(kRateLimitedWords) != std::string::npos;
}

host::Object with_retries(const std::string& path, const host::Object& params,
                          const std::string& auth, std::int64_t max_attempts) {
    double delay = kFirstRetryDelay;
    for (std::int64_t attempt = 0; attempt < max_attempts; ++attempt) {
        host::Object payload = http_get_json(path, params, auth);
        if (!is_exact_dict(payload)) {
            host::throw_type_error("is_rate_limited() argument 'payload' must be dict, not " +
                                   (payload.is_null() ? std::string("None") : payload.type_name()));
        }
        if (!is_rate_limited(payload) || attempt == max_attempts - 1) return payload;
        host::sleep(delay);
        delay = next_retry_delay(delay);
    }
    host::throw_unbound_local_error(
        "cannot access local variable 'payload' where it is not associated with a value");
}

host::Object fetch_all_subnets_latest(const std::string& auth) {
    host::Object params = host::new_map();
    params.set("limit", host::integer(kListingLimit));
    params.set("order", host::text(kListingOrder));
    host::Object payload = with_retries(std::string(kListingPath), params, auth, kDefaultAttempts);
    std::optional<host::Object> rows = payload.get("data");
    if (rows && rows->truthy()) return *rows;
    host::Object record = host::new_map();
    record.set("error", host::text("no_subnet_rows"));
    record.set("response", payload);
    return host::masked_value(record, known_secrets({}, auth));
}

host::Object api_base(const host::Args&) { return host::text(api_base()); }

host::Object request_headers(const host::Args& args) { return request_headers(args.text(0)); }

host::Object taostats_auth(const host::Args&) {
    std::optional<std::string> key = api_key();
    return key ? host::text(*key) : host::none();
}

host::Object http_get_json(const host::Args& args) {
    return http_get_json(args.text(0), args.object(1), args.text(2));
}

host::Object is_rate_limited(const host::Args& args) {
    return host::boolean(is_rate_limited(args.object(0)));
}

host::Object with_retries(const host::Args& args) {
    return with_retries(args.text(0), args.object(1), args.text(2), args.whole(3));
}

host::Object fetch_all_subnets_latest(const host::Args& args) {
    return fetch_all_subnets_latest(args.text(0));
}

}  // namespace emberscope::taostats
