// Discord webhook requests and answers.
#include "engine/discord.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "engine/failures.hpp"
#include "engine/json.hpp"
#include "reports/chunking.hpp"
#include "reports/telegram_text.hpp"

namespace emberscope::engine {
namespace {

constexpr std::string_view kService = "discord: ";
constexpr std::string_view kDiscordCut = "\n[... cut: over 2000 characters]";

// A number of seconds in a JSON member or a header ("0.75", "41"); nullopt when absent or not a
// finite number >= 0.
std::optional<double> seconds_in(const JsonValue* v) {
    if (!v) return std::nullopt;
    double s = 0;
    if (v->kind == JsonValue::Kind::integer) s = std::strtod(v->text.c_str(), nullptr);
    else if (v->kind == JsonValue::Kind::real) s = v->real;
    else return std::nullopt;
    if (!std::isfinite(s) || s < 0) return std::nullopt;
    return s;
}

std::optional<double> seconds_in(const std::optional<std::string>& header) {
    if (!header || header->empty()) return std::nullopt;
    char* end = nullptr;
    const double s = std::strtod(header->c_str(), &end);
    if (end == header->c_str() || *end != '\0' || !std::isfinite(s) || s < 0) return std::nullopt;
    return s;
}

// Discord's words for an error: "message" and "code" of its JSON body, else an excerpt.
std::string cause(const HttpAnswer& a, const std::optional<JsonValue>& body, const AnswerContext& c) {
    std::string out = std::string(kService) + status_text(a.status, a.reason);
    const JsonValue* message = body && body->is_object() ? body->get("message") : nullptr;
    if (message && message->is_text()) {
        out += ": " + excerpt(message->text, c.secrets);
        const JsonValue* code = body->get("code");
        if (code && code->kind == JsonValue::Kind::integer) out += " (code " + code->text + ")";
    } else if (a.body_over_limit) {
        out += ": answer over " + std::to_string(c.max_body) + " bytes";
    } else if (const std::string quoted = excerpt(a.body, c.secrets); !quoted.empty()) {
        out += ": " + quoted;
    }
    return out;
}

}  // namespace

std::string discord_url(std::string_view address, std::optional<std::int64_t> thread_id) {
    std::string url(address);
    url += url.find('?') == std::string::npos ? "?wait=true" : "&wait=true";
    if (thread_id) url += "&thread_id=" + std::to_string(*thread_id);
    return url;
}

std::string discord_body(std::string_view content, bool silent) {
    JsonValue body = JsonValue::make_object();
    body.set("content", JsonValue::make_text(std::string(content)));
    JsonValue mentions = JsonValue::make_object();
    mentions.set("parse", JsonValue::make_array());
    body.set("allowed_mentions", std::move(mentions));
    if (silent) body.set("flags", JsonValue::make_integer(kSuppressNotifications));
    return dump_json(body);
}

std::vector<std::string> discord_texts(std::string_view text) {
    const std::vector<std::string> parts =
        reports::chunk_text(text, kDiscordMaxContent - kDiscordPartNumberRoom);
    std::vector<std::string> out;
    out.reserve(parts.size());
    for (std::size_t i = 1; i <= parts.size(); ++i) {
        std::string part = reports::numbered_part(parts[i - 1], i, parts.size());
        // A single line longer than a message is cut, as Telegram's are.
        if (utf8::length(part) > static_cast<std::size_t>(kDiscordMaxContent))
            part = text::first_code_points(part, kDiscordMaxContent - utf8::length(kDiscordCut)) +
                   std::string(kDiscordCut);
        out.push_back(std::move(part));
    }
    return out;
}

Outcome judge_discord_answer(const HttpAnswer& a, const AnswerContext& c) {
    using K = Outcome::Kind;
    // A 2xx means the message was saved: even an answer that cannot be read is not posted again.
    if (std::optional<Outcome> settled = settled_before_reading(a, c, kService)) return *settled;

    std::optional<JsonValue> body;
    if (!a.body_over_limit && is_utf8(a.body)) {
        auto parsed = parse_json(a.body);
        if (auto* v = std::get_if<JsonValue>(&parsed)) body = std::move(*v);
    }
    const JsonValue* object = body && body->is_object() ? &*body : nullptr;
    if (a.status == 429) {
        Outcome o = Outcome::of(K::held, "");
        std::optional<double> after = seconds_in(object ? object->get("retry_after") : nullptr);
        if (!after) after = retry_after_header(a, c.now);
        if (!after) after = seconds_in(a.header("X-RateLimit-Reset-After"));
        o.retry_after = std::min(after.value_or(kDefaultFloodWait), kDiscordMaxWait);
        const std::optional<std::string> scope = a.header("X-RateLimit-Scope");
        o.shared = scope && text::same_ignoring_case(*scope, "shared");
        const JsonValue* global = object ? object->get("global") : nullptr;
        o.error = std::string(kService) + "rate limited (HTTP 429" +
                  (global && global->truthy() ? ", global" : o.shared ? ", shared" : "") +
                  ", retry after " + seconds_text(o.retry_after) + ")";
        return o;
    }
    std::string error = cause(a, body, c);
    if (a.status >= 500) return Outcome::of(K::transient, error);
    if (a.status == 404 || a.status == 401)
        return Outcome::of(K::gone, error + " (the webhook was deleted or its address is wrong)");
    return Outcome::of(K::refused, error);
}

HttpRequest DiscordSender::request(std::string_view queued, const std::string&) const {
    HttpRequest r;
    r.method = "POST";
    r.url = discord_url(address_, thread_id_);
    r.headers = {{"Content-Type", "application/json"}};
    r.body = discord_body(queued, silent_);
    r.timeout_seconds = kTelegramTimeout;
    r.max_body_bytes = kTelegramMaxBody;
    r.max_error_body_bytes = kTelegramMaxBody;
    r.redirects = Redirects::none;
    return r;
}

}  // namespace emberscope::engine
