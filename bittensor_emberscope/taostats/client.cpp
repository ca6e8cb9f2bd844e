// The Taostats client over the services.
#include "taostats/client.hpp"

#include <stdexcept>

#include "common/text.hpp"

namespace emberscope::taostats {

const ScannedListing* scanned(const Payload& payload) {
    const auto* held = dynamic_cast<const ScannedPayload*>(&payload);
    return held ? &held->listing : nullptr;
}

ScannedListing* scanned(Payload& payload) {
    auto* held = dynamic_cast<ScannedPayload*>(&payload);
    return held ? &held->listing : nullptr;
}

PayloadPtr MapOnlyDecoder::success(const HttpAnswer& answer) {
    if (scan_ && !answer.body_over_limit) {
        if (std::optional<ScannedListing> listing = scan_listing(answer.body))
            return std::make_unique<ScannedPayload>(std::move(*listing));
    }
    return inner_.success(answer);
}

bool MapOnlyDecoder::is_rate_limited(const Payload& payload) {
    return !scanned(payload) && inner_.is_rate_limited(payload);
}

PayloadPtr MapOnlyDecoder::listing_of(PayloadPtr answer) {
    if (scanned(*answer)) return answer;
    return inner_.listing_of(std::move(answer));
}

PayloadPtr MapOnlyDecoder::masked(PayloadPtr payload, std::span<const secrets::Secret> secrets) {
    if (scanned(*payload)) return payload;
    return inner_.masked(std::move(payload), secrets);
}

std::string api_base(Services& services) {
    const std::optional<std::string> base = services.environment("TAOSTATS_API_BASE");
    return text::without_trailing_slashes(base ? *base : std::string(kDefaultApiBase));
}

std::optional<std::string> api_key(Services& services) {
    std::string key = strip_white_space(services.environment("TAOSTATS_API_KEY").value_or(""));
    if (key.empty()) return std::nullopt;
    return key;
}

std::vector<secrets::Secret> known_secrets(Services& services, std::string_view token,
                                           std::string_view auth) {
    std::vector<secrets::Secret> out;
    if (!token.empty()) out.push_back({std::string(token), secrets::kTokenMask});
    if (!auth.empty()) out.push_back({std::string(auth), secrets::kTaostatsKeyMask});
    std::optional<std::string> key = api_key(services);
    if (key && *key != auth) out.push_back({std::move(*key), secrets::kTaostatsKeyMask});
    return out;
}

std::vector<Header> request_headers(Services& services, std::string_view auth) {
    const std::optional<std::string> agent = services.environment("TAOSTATS_USER_AGENT");
    return {{"Authorization", std::string(auth)},
            {"User-Agent", agent ? *agent : std::string(kDefaultUserAgent)},
            {"Accept", std::string(kAccept)},
            {"Accept-Language", std::string(kAcceptLanguage)}};
}

HttpRequest get_request(Services& services, std::string_view path, std::string_view query,
                        std::string_view auth) {
    HttpRequest request;
    request.url = api_base(services);
    request.url += path;
    if (!query.empty()) request.url.append("?").append(query);
    request.headers = request_headers(services, auth);
    request.timeout_seconds = kRequestTimeoutSeconds;
    request.max_body_bytes = kSuccessBodyLimit;
    request.max_error_body_bytes = kErrorBodyLimit;
    request.redirects = Redirects::keep_credentials_on_origin;
    return request;
}

namespace {

// The documented client's reader: answers decoded by the decoder, records of failures masked,
// rate limits asked of the decoded value.
class DecoderReader final : public AnswerReader {
public:
    DecoderReader(Services& services, Decoder& decoder, std::string_view auth)
        : services_(services), decoder_(decoder), auth_(auth) {}
    void read(const HttpAnswer& answer) override {
        PayloadPtr decoded = answer.ok() ? decoder_.success(answer) : decoder_.refusal(answer);
        payload = decoder_.masked(std::move(decoded), known_secrets(services_, {}, auth_));
    }
    bool says_rate_limited() override { return decoder_.is_rate_limited(*payload); }
    PayloadPtr payload;

private:
    Services& services_;
    Decoder& decoder_;
    std::string_view auth_;
};

struct Judged {
    AnswerKind kind;
    PayloadPtr payload;
};

// One GET judged under `policy`. A failed exchange is raised as the host raised it; whatever
// is raised goes out with the key masked.
Judged exchange(Services& services, Decoder& decoder, std::string_view path,
                std::string_view query, std::string_view auth, const AnswerPolicy& policy) {
    const HttpRequest request = get_request(services, path, query, auth);
    try {
        const HttpAnswer answer = services.http(request);
        DecoderReader reader(services, decoder, auth);
        const AnswerKind kind = judge_taostats_answer(answer, reader, policy);
        if (kind == AnswerKind::transport) {
            if (answer.failure->original) std::rethrow_exception(answer.failure->original);
            throw std::runtime_error(answer.failure->message);
        }
        return {kind, std::move(reader.payload)};
    } catch (...) {
        services.rethrow_masked(std::current_exception(), known_secrets(services, {}, auth));
        throw;  // not reached: the error goes out masked
    }
}

}  // namespace

PayloadPtr get_json(Services& services, Decoder& decoder, std::string_view path,
                    std::string_view query, std::string_view auth) {
    return exchange(services, decoder, path, query, auth, kSingleRequest).payload;
}

PayloadPtr with_retries(Services& services, Decoder& decoder, std::string_view path,
                        std::string_view query, std::string_view auth, std::int64_t attempts,
                        const RetryPolicy& policy) {
    double delay = policy.first_delay;
    for (std::int64_t attempt = 0; attempt < attempts; ++attempt) {
        Judged answer = exchange(services, decoder, path, query, auth, kRetriedRequest);
        if (answer.kind != AnswerKind::rate_limited || attempt == attempts - 1)
            return std::move(answer.payload);
        services.sleep(delay);
        delay = policy.next_delay(delay);
    }
    return nullptr;
}

std::string listing_query() {
    return query_text({{"limit", std::to_string(kListingLimit)}, {"order", std::string(kListingOrder)}});
}

PayloadPtr fetch_all_subnets_latest(Services& services, Decoder& decoder, std::string_view auth) {
    PayloadPtr answer = with_retries(services, decoder, kListingPath, listing_query(), auth,
                                     kRetryPolicy.attempts);
    return decoder.masked(decoder.listing_of(std::move(answer)), known_secrets(services, {}, auth));
}

}  // namespace emberscope::taostats
