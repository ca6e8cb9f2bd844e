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

Verdict verdict(Verdict::Kind kind, std::string error) {
    Verdict v;
    v.kind = kind;
    v.error = std::move(error);
    return v;
}

constexpr std::string_view kService = kTelegramService;

// The cause of an error status: Telegram's "description" (which begins with the status's own
// words), else the status line and an excerpt of whatever body came; a wrong token is named.
std::string refusal_text(const HttpAnswer& a, const JsonValue* object, const AnswerContext& c) {
    std::string out(kService);
    const JsonValue* description = object ? object->get("description") : nullptr;
    if (description && description->truthy()) {
        out += "HTTP " + std::to_string(a.status) + " " + excerpt(host_str(*description), c.secrets);
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

std::optional<double> seconds_of(const JsonValue* v) {
    if (!v) return std::nullopt;
    if (v->kind == JsonValue::Kind::integer) return std::strtod(v->text.c_str(), nullptr);
    if (v->kind == JsonValue::Kind::real && std::isfinite(v->real)) return v->real;
    return std::nullopt;
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
    using K = Verdict::Kind;
    if (a.failure)
        return verdict(K::transient, std::string(kService) + transport_text(*a.failure, c.deadline_seconds,
                                                                            c.endpoint, c.secrets));

    std::optional<JsonValue> parsed;
    std::string decode_error;
    if (a.body_over_limit) {
        decode_error = "answer over " + std::to_string(c.max_body) + " bytes";
    } else if (!is_utf8(a.body)) {
        decode_error = "answer is not UTF-8";
    } else {
        auto result = parse_json(a.body);
        if (auto* v = std::get_if<JsonValue>(&result)) parsed = std::move(*v);
        else decode_error = std::get<JsonError>(result).message;
    }

    if (a.status >= 200 && a.status < 300) {
        const std::string unreadable =
            std::string(kService) + "unreadable answer to " + status_text(a.status, a.reason) + " (";
        if (!parsed) {
            std::string error = unreadable + excerpt(decode_error, c.secrets) + ")";
            if (!a.body_over_limit && !a.body.empty()) error += ": " + excerpt(a.body, c.secrets);
            return verdict(K::transient, error);
        }
        if (!parsed->is_object())
            return verdict(K::transient, unreadable + "not a JSON object)");
        const JsonValue* ok = parsed->get("ok");
        if (ok && ok->truthy()) {
            Verdict v = verdict(K::delivered, "");
            if (const JsonValue* result = parsed->get("result")) v.result = dump_json(*result);
            return v;
        }
        return verdict(K::refused, std::string(kService) + "refused: " + excerpt(host_str(*parsed), c.secrets));
    }

    const JsonValue* object = parsed && parsed->is_object() ? &*parsed : nullptr;
    Verdict v = verdict(K::refused, refusal_text(a, object, c));
    const JsonValue* parameters = object ? object->get("parameters") : nullptr;
    if (a.status == 429) {
        v.kind = K::flood;
        std::optional<double> after = seconds_of(parameters ? parameters->get("retry_after") : nullptr);
        if (!after) after = retry_after_header(a, c.now);
        v.retry_after = after && *after >= 0 ? *after : kDefaultFloodWait;
        v.error = telegram_rate_limited_text(v.retry_after);
        return v;
    }
    if (a.status >= 500) {
        v.kind = K::transient;
        return v;
    }
    if (a.status == 400 && parameters) {
        const JsonValue* to = parameters->get("migrate_to_chat_id");
        if (to && (to->kind == JsonValue::Kind::integer ||
                   (to->kind == JsonValue::Kind::text && !to->text.empty()))) {
            v.kind = K::migrated;
            v.new_chat_id = to->text;
        }
    }
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
