// Webhook bodies, signatures and answers.
#include "engine/webhook.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdlib>

#include "engine/failures.hpp"
#include "engine/json.hpp"

namespace emberscope::engine {
namespace {

constexpr std::string_view kService = "webhook: ";

JsonValue netuid_value(const std::string& netuid) {
    // Netuids are whole numbers; one that is not (never seen) stays a text rather than be lost.
    const bool digits = !netuid.empty() && netuid.size() < 10 &&
                        std::all_of(netuid.begin(), netuid.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? JsonValue::make_integer(std::strtoll(netuid.c_str(), nullptr, 10))
                  : JsonValue::make_text(netuid);
}

}  // namespace

std::string webhook_body(const Message& m) {
    JsonValue body = JsonValue::make_object();
    body.set("version", JsonValue::make_integer(kWebhookVersion));
    body.set("kind", JsonValue::make_text(m.event));
    body.set("time_utc", JsonValue::make_text(m.time_utc));
    body.set("title", JsonValue::make_text(m.text.substr(0, m.text.find('\n'))));
    body.set("text", JsonValue::make_text(m.text));
    JsonValue changes = JsonValue::make_array();
    for (const burns::BurnChange& c : m.changes) {
        JsonValue one = JsonValue::make_object();
        one.set("netuid", netuid_value(c.netuid));
        one.set("old", JsonValue::make_text(c.old_burn));
        one.set("new", JsonValue::make_text(c.new_burn));
        changes.items.push_back(std::move(one));
    }
    body.set("changes", std::move(changes));
    body.set("route", JsonValue::make_text(m.route));
    return dump_json(body);
}

std::string webhook_signature(std::string_view key, std::string_view body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest, &size);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "sha256=";
    for (unsigned int i = 0; i < size; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 0xF];
    }
    return out;
}

Outcome judge_webhook_answer(const HttpAnswer& a, const AnswerContext& c) {
    using K = Outcome::Kind;
    if (std::optional<Outcome> settled = settled_before_reading(a, c, kService)) return *settled;
    if (a.status == 429) {
        Outcome o = Outcome::of(K::held, "");
        o.retry_after = retry_after_header(a, c.now).value_or(kDefaultFloodWait);
        o.error = std::string(kService) + "rate limited (HTTP 429, retry after " +
                  seconds_text(o.retry_after) + ")";
        return o;
    }
    std::string error = std::string(kService) + status_text(a.status, a.reason);
    if (a.body_over_limit) error += ": answer over " + std::to_string(c.max_body) + " bytes";
    else if (const std::string quoted = excerpt(a.body, c.secrets); !quoted.empty()) error += ": " + quoted;
    return Outcome::of(a.status >= 500 ? K::transient : K::refused, error);
}

HttpRequest WebhookSender::request(std::string_view queued, const std::string&) const {
    HttpRequest r;
    r.method = "POST";
    r.url = url_;
    r.headers = {{"Content-Type", "application/json"}};
    if (!key_.empty()) r.headers.emplace_back(std::string(kSignatureHeader), webhook_signature(key_, queued));
    r.body = std::string(queued);
    r.timeout_seconds = kTelegramTimeout;
    r.max_body_bytes = kTelegramMaxBody;
    r.max_error_body_bytes = kTelegramMaxBody;
    r.redirects = Redirects::none;
    return r;
}

}  // namespace emberscope::engine
