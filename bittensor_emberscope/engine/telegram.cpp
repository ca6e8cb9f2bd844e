// Telegram requests and answers.
#include "engine/telegram.hpp"

#include <cmath>
#include <cstdlib>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "engine/failures.hpp"
#include "engine/json.hpp"
#include "reports/telegram_text.hpp"

namespace emberscope::engine {
namespace {

constexpr std::string_view kService = kTelegramService;

using reports::TelegramBody;

std::optional<double> seconds_of(const JsonValue* v) {
    if (!v) return std::nullopt;
    if (v->kind == JsonValue::Kind::integer) return std::strtod(v->text.c_str(), nullptr);
    if (v->kind == JsonValue::Kind::real && std::isfinite(v->real)) return v->real;
    return std::nullopt;
}

// Bodies read by the engine's own JSON parser: whatever comes, a body is described, never raised.
class EngineReader final : public reports::TelegramReader {
public:
    TelegramBody read(std::string_view body, bool success) override {
        TelegramBody read;
        if (!is_utf8(body)) {
            read.form = TelegramBody::Form::not_json;
            read.decode_error = "answer is not UTF-8";
            return read;
        }
        auto parsed = parse_json(body);
        if (auto* error = std::get_if<JsonError>(&parsed)) {
            read.form = TelegramBody::Form::not_json;
            read.decode_error = std::move(error->message);
            return read;
        }
        const JsonValue& value = std::get<JsonValue>(parsed);
        if (!value.is_object()) {
            read.form = TelegramBody::Form::not_object;
            return read;
        }
        read.form = TelegramBody::Form::object;
        const JsonValue* ok = value.get("ok");
        read.ok = ok && ok->truthy();
        if (read.ok) {
            if (const JsonValue* result = value.get("result")) read.result = dump_json(*result);
        } else if (success) {
            read.printed = host_str(value);
        }
        const JsonValue* description = value.get("description");
        if (description && description->truthy()) read.description = host_str(*description);
        if (const JsonValue* parameters = value.get("parameters")) {
            read.retry_after = seconds_of(parameters->get("retry_after"));
            const JsonValue* to = parameters->get("migrate_to_chat_id");
            if (to && (to->kind == JsonValue::Kind::integer ||
                       (to->kind == JsonValue::Kind::text && !to->text.empty())))
                read.migrate_to_chat_id = to->text;
        }
        return read;
    }
};

// The cause of an error status: Telegram's "description" (which begins with the status's own
// words), else the status line and an excerpt of whatever body came; a wrong token is named.
std::string refusal_text(const HttpAnswer& a, const TelegramBody& body, const AnswerContext& c) {
    std::string out(kService);
    if (body.description) {
        out += "HTTP " + std::to_string(a.status) + " " + excerpt(*body.description, c.secrets);
    } else {
        out += status_text(a.status, a.reason);
        if (a.body_over_limit)
            out += ": answer over " + std::to_string(c.max_body) + " bytes";
        else if (const std::string quoted = excerpt(a.body, c.secrets); !quoted.empty())
            out += ": " + quoted;
    }
    if (a.status == 401 || a.status == 404) out += " (check TELEGRAM_BOT_TOKEN)";
    return out;
}

// The cause of a success status whose answer says nothing usable.
std::string unreadable_text(const HttpAnswer& a, const TelegramBody& body, const AnswerContext& c) {
    std::string out = std::string(kService) + "unreadable answer to " + status_text(a.status, a.reason) + " (";
    if (body.form == TelegramBody::Form::not_object) return out + "not a JSON object)";
    if (a.body_over_limit) return out + "answer over " + std::to_string(c.max_body) + " bytes)";
    out += excerpt(body.decode_error, c.secrets) + ")";
    if (!a.body.empty()) out += ": " + excerpt(a.body, c.secrets);
    return out;
}

std::string error_text(const HttpAnswer& a, const reports::TelegramVerdict& judged,
                       const AnswerContext& c) {
    if (a.failure)
        return std::string(kService) + transport_text(*a.failure, c.deadline_seconds, c.endpoint, c.secrets);
    if (judged.kind == Verdict::Kind::delivered) return "";
    if (a.ok()) {
        if (judged.body.form != TelegramBody::Form::object) return unreadable_text(a, judged.body, c);
        return std::string(kService) + "refused: " + excerpt(judged.body.printed.value_or(""), c.secrets);
    }
    return refusal_text(a, judged.body, c);
}

}  // namespace

std::string_view kind_name(Verdict::Kind kind) {
    switch (kind) {
        case Verdict::Kind::delivered: return "delivered";
        case Verdict::Kind::flood: return "flood";
        case Verdict::Kind::migrated: return "migrated";
        case Verdict::Kind::transient: return "transient";
        case Verdict::Kind::refused: break;
    }
    return "refused";
}

Verdict judge_answer(const HttpAnswer& a, const AnswerContext& c) {
    EngineReader reader;
    reports::TelegramVerdict judged = reports::judge_telegram_answer(a, reader, reports::kSendUntilDelivered);
    Verdict v;
    v.kind = judged.kind;
    v.error = error_text(a, judged, c);
    if (v.kind == Verdict::Kind::delivered) v.result = std::move(judged.body.result);
    if (v.kind == Verdict::Kind::flood) {
        std::optional<double> after = judged.body.retry_after;
        if (!after) after = retry_after_header(a, c.now);
        v.retry_after = after && *after >= 0 ? *after : kDefaultFloodWait;
        v.error = telegram_rate_limited_text(v.retry_after);
    }
    if (v.kind == Verdict::Kind::migrated) v.new_chat_id = std::move(*judged.body.migrate_to_chat_id);
    return v;
}

std::string telegram_rate_limited_text(double retry_after) {
    return std::string(kService) + "rate limited (HTTP 429, retry after " + seconds_text(retry_after) + ")";
}

std::string send_message_body(std::string_view chat_id, std::string_view text, bool silent,
                              std::optional<std::int64_t> thread_id) {
    std::string body = "chat_id=";
    text::append_form_encoded(body, chat_id);
    body += "&text=";
    text::append_form_encoded(body, text);
    body += "&disable_web_page_preview=true";
    if (silent) body += "&disable_notification=true";
    if (thread_id) body += "&message_thread_id=" + std::to_string(*thread_id);
    return body;
}

std::string fit_message(std::string_view text) {
    if (utf8::length(text) <= kTelegramMaxMessage) return std::string(text);
    return text::first_code_points(text, kTelegramMaxMessage - utf8::length(kCutMarker)) +
           std::string(kCutMarker);
}

}  // namespace emberscope::engine
