// Host-facing Taostats client.
#include "host/taostats_client_ops.hpp"

#include "common/text.hpp"
#include "host/error.hpp"
#include "host/host_services.hpp"
#include "host/http.hpp"
#include "host/json.hpp"

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

host::Object decoded_body(const HttpAnswer& answer) {
    return host::decode_utf8(host::bytes(answer.body));
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

PayloadPtr held(host::Object value) { return std::make_unique<HostPayload>(std::move(value)); }

HostDecoder& decoder() {
    static HostDecoder instance;
    return instance;
}

}  // namespace

const host::Object& host_value(const Payload& payload) {
    return static_cast<const HostPayload&>(payload).value;
}

PayloadPtr HostDecoder::success(const HttpAnswer& answer) {
    if (answer.body_over_limit) {
        const host::Object part = host::bytes(answer.body).attr("decode").call(
            {host::text("utf-8"), host::text("replace")});
        return held(parse_error_record(text::over_limit_text(kSuccessBodyLimit), part));
    }
    const host::Object body = decoded_body(answer);
    host::Object value;
    try {
        value = host::json_loads(body);
    } catch (const host::Error& e) {
        if (!host::is_json_decode_error(e)) throw;
        return held(parse_error_record(host::message_of(e), body));
    }
    if (value.kind() != host::Kind::map && !value.is_null())
        host::throw_result_type_error("dict", value);
    return held(std::move(value));
}

PayloadPtr HostDecoder::refusal(const HttpAnswer& answer) {
    const host::Object code = host::integer(answer.status);
    if (answer.body_over_limit) {
        host::Object record = host::new_map();
        record.set("status_code", code);
        record.set("message", host::text(text::over_limit_text(kErrorBodyLimit)));
        record.set("http_status", code);
        return held(std::move(record));
    }
    const host::Object body = decoded_body(answer);
    host::Object record;
    try {
        record = host::json_loads(body);
    } catch (const host::Error& e) {
        if (!host::is_json_decode_error(e)) throw;
        record = host::new_map();
        record.set("status_code", code);
        record.set("message", answer.body.empty() ? host::text(answer.reason) : body);
    }
    record.set("http_status", code);  // raises the host's TypeError for a non-object
    return held(std::move(record));
}

bool HostDecoder::is_rate_limited(const Payload& payload) {
    const host::Object& value = host_value(payload);
    if (!is_exact_dict(value)) {
        host::throw_type_error("is_rate_limited() argument 'payload' must be dict, not " +
                               (value.is_null() ? std::string("None") : value.type_name()));
    }
    return taostats::is_rate_limited(value);
}

PayloadPtr HostDecoder::listing_of(PayloadPtr answer) {
    const host::Object& payload = host_value(*answer);
    std::optional<host::Object> rows = payload.get("data");
    if (rows && rows->truthy()) return held(std::move(*rows));
    host::Object record = host::new_map();
    record.set("error", host::text("no_subnet_rows"));
    record.set("response", payload);
    return held(std::move(record));
}

PayloadPtr HostDecoder::masked(PayloadPtr payload, std::span<const secrets::Secret> secrets) {
    const host::Object& value = host_value(*payload);
    if (value.kind() != host::Kind::map) return payload;
    for (const char* key : {"http_status", "parse_error", "error"})
        if (value.contains(key)) return held(host::masked_value(value, secrets));
    return payload;
}

bool is_rate_limited(const host::Object& payload) {
    if (std::optional<host::Object> status = payload.get("status_code")) {
        if (status->kind() == host::Kind::integer && status->small_integer() == 429) return true;
        if (status->kind() == host::Kind::real && status->real() == 429.0) return true;
    }
    std::optional<host::Object> message = payload.get("message");
    return message && message_says_rate_limited(text_form(*message));
}

host::Object api_base(const host::Args&) { return host::text(api_base(host::services())); }

host::Object request_headers(const host::Args& args) {
    const std::string_view auth = args.text<kAuthParams, "auth">();
    host::Object headers = host::new_map();
    for (const auto& [name, value] : request_headers(host::services(), auth))
        headers.set(name, host::text(value));
    return headers;
}

host::Object taostats_auth(const host::Args&) {
    std::optional<std::string> key = api_key(host::services());
    return key ? host::text(*key) : host::none();
}

host::Object http_get_json(const host::Args& args) {
    const std::string_view path = args.text<kGetParams, "path">();
    const host::Object& params = args.object<kGetParams, "params">();
    const std::string_view auth = args.text<kGetParams, "auth">();
    return host_value(*get_json(host::services(), decoder(), path, query_of(params), auth));
}

host::Object is_rate_limited(const host::Args& args) {
    const host::Object& payload = args.object<kPayloadParams, "payload">();
    return host::boolean(is_rate_limited(payload));
}

host::Object with_retries(const host::Args& args) {
    const std::string_view path = args.text<kRetriesParams, "path">();
    const host::Object& params = args.object<kRetriesParams, "params">();
    const std::string_view auth = args.text<kRetriesParams, "auth">();
    const std::int64_t max_retries = args.whole<kRetriesParams, "max_retries">();
    PayloadPtr payload =
        with_retries(host::services(), decoder(), path, query_of(params), auth, max_retries);
    if (!payload) {
        host::throw_unbound_local_error(
            "cannot access local variable 'payload' where it is not associated with a value");
    }
    return host_value(*payload);
}

host::Object fetch_all_subnets_latest(const host::Args& args) {
    const std::string_view auth = args.text<kAuthParams, "auth">();
    return host_value(*fetch_all_subnets_latest(host::services(), decoder(), auth));
}

}  // namespace emberscope::taostats
