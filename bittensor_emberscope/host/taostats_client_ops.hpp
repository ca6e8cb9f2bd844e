// Host-facing Taostats client: the operations, and the Decoder over the host's JSON codec.
#pragma once

#include "host/calls.hpp"
#include "taostats/client.hpp"

namespace emberscope::taostats {

/// A decoded answer: a host value, handed on unchanged.
struct HostPayload final : Payload {
    explicit HostPayload(host::Object v) : value(std::move(v)) {}
    host::Object value;
};

/// The host value a HostDecoder made.
const host::Object& host_value(const Payload& payload);

/// Answers decoded by the host's `json` (strict UTF-8 first), records made as host dicts.
class HostDecoder : public Decoder {
public:
    PayloadPtr success(const HttpAnswer& answer) override;
    PayloadPtr refusal(const HttpAnswer& answer) override;
    bool is_rate_limited(const Payload& payload) override;
    PayloadPtr listing_of(PayloadPtr answer) override;
    PayloadPtr masked(PayloadPtr payload, std::span<const secrets::Secret> secrets) override;
};

/// True when a payload (a host dict) says the request was refused for rate limiting: a
/// "status_code" equal to 429, or "Rate Limited" in the text of its "message".
bool is_rate_limited(const host::Object& payload);

// Operations and their parameters.
inline constexpr host::Param kAuthParams[] = {host::required("auth", host::ParamType::text)};
inline constexpr host::Param kGetParams[] = {host::required("path", host::ParamType::text), host::required("params", host::ParamType::map), host::required("auth", host::ParamType::text)};
inline constexpr host::Param kPayloadParams[] = {host::required("payload", host::ParamType::map)};
inline constexpr host::Param kRetriesParams[] = {
    host::required("path", host::ParamType::text), host::required("params", host::ParamType::map), host::required("auth", host::ParamType::text),
    host::Param{"max_retries", host::ParamType::whole, true, true, "", kRetryPolicy.attempts}};

host::Object api_base(const host::Args& args);                  // ()
host::Object request_headers(const host::Args& args);           // kAuthParams
host::Object taostats_auth(const host::Args& args);             // ()
host::Object http_get_json(const host::Args& args);             // kGetParams
host::Object is_rate_limited(const host::Args& args);           // kPayloadParams
host::Object with_retries(const host::Args& args);              // kRetriesParams
host::Object fetch_all_subnets_latest(const host::Args& args);  // kAuthParams

}  // namespace emberscope::taostats
