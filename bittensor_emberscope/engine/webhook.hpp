// Webhooks of the operator's own as a destination: one JSON document per message, in a
// versioned form, optionally signed with a key both sides hold.
//
// The body (keys in this order, one line):
//   {"version": 1, "kind": "alert", "time_utc": "2026-12-08T00:00:00Z",
//    "title": "<the text's first line>", "text": "<the whole text as Telegram shows it>",
//    "changes": [{"netuid": 12, "old": "0.18", "new": "0.25"}], "route": "webhook:<file>"}
// "kind" is "alert", "startup", "digest", "stale", "recovered" or "test"; "changes" lists the
// subnets' raw values as Taostats gave them (empty for other kinds). With a key, the header
// X-Emberscope-Signature is "sha256=" and the lower-case hex HMAC-SHA256 of the body's bytes.
#pragma once

#include <string>
#include <string_view>

#include "engine/destination.hpp"

namespace emberscope::engine {

inline constexpr int kWebhookVersion = 1;
inline constexpr std::string_view kSignatureHeader = "X-Emberscope-Signature";

/// The body of `message` as described above.
std::string webhook_body(const Message& message);

/// "sha256=" and the hex HMAC-SHA256 of `body` under `key`.
std::string webhook_signature(std::string_view key, std::string_view body);

/// 2xx delivered; 429 held (Retry-After, else kDefaultFloodWait); 5xx and transport failures
/// transient; any other status refused.
Outcome judge_webhook_answer(const HttpAnswer& answer, const AnswerContext& context);

class WebhookSender : public Sender {
public:
    WebhookSender(std::string url, std::string key) : url_(std::move(url)), key_(std::move(key)) {}
    std::string_view service() const override { return "webhook"; }
    HttpRequest request(std::string_view queued, const std::string& chat) const override;
    Outcome judge(const HttpAnswer& answer, const AnswerContext& context) const override {
        return judge_webhook_answer(answer, context);
    }

private:
    std::string url_;
    std::string key_;
};

}  // namespace emberscope::engine
