// Host-facing Taostats client: settings from the environment, one JSON GET, retries, the listing.
//
// The environment is read afresh on every call. Expected failures of an exchange come back as
// error records (host dicts); transport failures and undecodable bodies are thrown unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/secrets.hpp"
#include "host/calls.hpp"

namespace emberscope::taostats {

/// The API base address: TAOSTATS_API_BASE (the public origin when unset; an empty value is
/// kept) without its trailing "/" characters.
std::string api_base();

/// The API key: TAOSTATS_API_KEY without surrounding white space; nullopt when unset or
/// nothing is left.
std::optional<std::string> api_key();

/// The secrets masked in every text the module hands out: the bot token `token`, the Taostats
/// key of the environment, and `auth` (the key as passed to an operation) when not empty.
std::vector<secrets::Secret> known_secrets(std::string_view token, std::string_view auth = {});

/// The four request headers in their order (Authorization, User-Agent, Accept,
/// Accept-Language) as a host dict; the user agent comes from TAOSTATS_USER_AGENT.
host::Object request_headers(const std::string& auth);

/// One GET of base + `path` with the query of `params` (a host dict): the decoded object, an
/// error record, or None for a success body that is JSON null. A success body that is another
/// JSON value raises "Expected dict, got ..."; an error body that is JSON but not an object
/// raises the host's TypeError; invalid UTF-8 and transport failures are thrown unchanged.
host::Object http_get_json(const std::string& path, const host::Object& params,
                           const std::string& auth);

/// True when a payload (a host dict) says the request was refused for rate limiting: a
/// "status_code" equal to 429, or "Rate Limited" in the text of its "message".
bool is_rate_limited(const host::Object& payload);

/// `http_get_json` repeated while the answer is rate limited, at most `max_attempts` requests
/// in all, sleeping 2.0 s, then 1.8 times longer each time (at most 120 s) in between. Returns
/// the first answer that is not rate limited, or the last one. With no attempt at all it raises
/// the host's UnboundLocalError.
host::Object with_retries(const std::string& path, const host::Object& params,
                          const std::string& auth, std::int64_t max_attempts);

/// The latest row of every subnet: the listing's "data" value as received when it is set,
/// otherwise the record {"error": "no_subnet_rows", "response": <the answer>}.
host::Object fetch_all_subnets_latest(const std::string& auth);

// Operation bodies.
host::Object api_base(const host::Args& args);                  // ()
host::Object request_headers(const host::Args& args);           // (auth)
host::Object taostats_auth(const host::Args& args);             // ()
host::Object http_get_json(const host::Args& args);             // (path, params, auth)
host::Object is_rate_limited(const host::Args& args);           // (payload)
host::Object with_retries(const host::Args& args);              // (path, params, auth, *, max_retries)
host::Object fetch_all_subnets_latest(const host::Args& args);  // (auth)

}  // namespace emberscope::taostats
