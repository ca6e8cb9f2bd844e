// The Taostats client over the services: settings from the environment, one JSON GET, the
// retry loop, the listing.
//
// Decoded answers are the host's values (rows and records reach the caller unchanged): the
// client holds them as opaque Payloads and asks a Decoder the few questions it needs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/services.hpp"
#include "taostats/answer.hpp"
#include "taostats/listing_scan.hpp"
#include "taostats/settings.hpp"

namespace emberscope::taostats {

/// One decoded answer, owned by whoever decoded it.
class Payload {
public:
    virtual ~Payload() = default;
};
using PayloadPtr = std::unique_ptr<Payload>;

/// The questions the client asks of answers, answered by the host's JSON codec.
class Decoder {
public:
    virtual ~Decoder() = default;
    /// The body of a success decoded: an object, null, or the parse-error record of a body that
    /// is not JSON. Invalid UTF-8 and any other JSON value raise.
    virtual PayloadPtr success(const HttpAnswer& answer) = 0;
    /// The record of an error status: the body's own JSON object, or one made of the status and
    /// the body text (the reason phrase for an empty body); tagged with "http_status".
    virtual PayloadPtr refusal(const HttpAnswer& answer) = 0;
    /// True when the payload says the request was rate limited; raises for a payload that is
    /// not an object.
    virtual bool is_rate_limited(const Payload& payload) = 0;
    /// The listing out of its answer: the answer's "data" value when it is set, otherwise the
    /// record {"error": "no_subnet_rows", "response": <the answer>}.
    virtual PayloadPtr listing_of(PayloadPtr answer) = 0;
    /// A record of a failure (a refusal's, a parse error's, a listing's error record: what a
    /// server said, which may echo a secret) with every secret masked in every text inside it;
    /// any other payload as it is.
    virtual PayloadPtr masked(PayloadPtr payload, std::span<const secrets::Secret> secrets) = 0;
};

/// A listing answer of the plain shape, read without the host's values (listing_scan.hpp).
class ScannedPayload final : public Payload {
public:
    explicit ScannedPayload(ScannedListing listing) : listing(std::move(listing)) {}
    ScannedListing listing;
};

/// The scanned listing of a payload, or nullptr when it holds the host's values.
const ScannedListing* scanned(const Payload& payload);
ScannedListing* scanned(Payload& payload);

/// The decoder of a cycle that needs only the listing's burn map and its number of rows: a
/// success body of the plain shape is scanned (a ScannedPayload: a list of rows, never rate
/// limited, never a failure); every other answer, and every answer when `scan` is false, is
/// `inner`'s.
class MapOnlyDecoder final : public Decoder {
public:
    MapOnlyDecoder(Decoder& inner, bool scan) : inner_(inner), scan_(scan) {}
    PayloadPtr success(const HttpAnswer& answer) override;
    PayloadPtr refusal(const HttpAnswer& answer) override { return inner_.refusal(answer); }
    bool is_rate_limited(const Payload& payload) override;
    PayloadPtr listing_of(PayloadPtr answer) override;
    PayloadPtr masked(PayloadPtr payload, std::span<const secrets::Secret> secrets) override;

private:
    Decoder& inner_;
    bool scan_;
};

/// The API base address: TAOSTATS_API_BASE (the public origin when unset; an empty value is
/// kept) without its trailing "/" characters.
std::string api_base(Services& services);

/// The API key: TAOSTATS_API_KEY without surrounding white space; nullopt when unset or
/// nothing is left.
std::optional<std::string> api_key(Services& services);

/// The secrets masked in every text the module hands out: the bot token `token` and `auth` (the
/// key as passed to an operation) when not empty, and the key of the environment.
std::vector<secrets::Secret> known_secrets(Services& services, std::string_view token,
                                           std::string_view auth = {});

/// The four request headers in their order (Authorization, User-Agent, Accept,
/// Accept-Language); the user agent comes from TAOSTATS_USER_AGENT.
std::vector<Header> request_headers(Services& services, std::string_view auth);

/// The GET of base + `path` + ("?" + `query` when there is one) with the key `auth`: its
/// headers, time-out, body limits and redirect rule. Both the documented client and the command's
/// listing send it; the command adds its own deadline and its judgement of broken answers.
HttpRequest get_request(Services& services, std::string_view path, std::string_view query,
                        std::string_view auth);

/// One GET of base + `path` + ("?" + `query` when there is one), its Authorization kept to the
/// base's origin and its bodies read up to their limits. Transport failures are raised as the
/// host raised them; the key is masked in raised errors and in records of failures.
PayloadPtr get_json(Services& services, Decoder& decoder, std::string_view path,
                    std::string_view query, std::string_view auth);

/// `get_json` repeated while the answer's record says rate limited (kRetriedRequest), at most `attempts` requests in all,
/// sleeping between them as `policy` says. Returns the first answer that is not rate limited,
/// or the last one; null when there was no attempt at all.
PayloadPtr with_retries(Services& services, Decoder& decoder, std::string_view path,
                        std::string_view query, std::string_view auth, std::int64_t attempts,
                        const RetryPolicy& policy = kRetryPolicy);

/// The latest row of every subnet (see Decoder::listing_of), with the policy's attempts.
PayloadPtr fetch_all_subnets_latest(Services& services, Decoder& decoder, std::string_view auth);

/// The listing's query text.
std::string listing_query();

}  // namespace emberscope::taostats
