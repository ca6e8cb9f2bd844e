// Telegram requests and answers.
#include "engine/telegram.hpp"

#include <cmath>
#include <cstdlib>

#include "common/text.hpp"
#include "common/utf8.hpp"
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

std::string http_error_text(const HttpAnswer& a) {
    return "HTTP Error " + std::to_string(a.status) + ": " + a.reason;
}

// The reason of an error status: "description", an excerpt of a JSON body without one, a body
// that is not JSON, or the status line's own text when there is no body.
std::string refusal_text(const HttpAnswer& a, const JsonValue* parsed) {
    if (parsed) {
        const JsonValue* description = parsed->get("description");
        if (description && description->truthy()) return host_str(*description);
        return text::first_code_points(a.body, reports::kErrorBodyExcerptLength);
    }
    if (a.body.empty() || !is_utf8(a.body)) return http_error_text(a);
    return a.body;
}

std::optional<double> seconds_of(const JsonValue* v) {
    if (!v) return std::nullopt;
    if (v->kind == JsonValue::Kind::integer) return std::strtod(v->text.c_str(), nullptr);
    if (v->kind == JsonValue::Kind::real && std::isfinite(v->real)) return v->real;
    return std::nullopt;
}

std::string python_type(const JsonValue& v) {
    switch (v.kind) {
        case JsonValue::Kind::null: return "NoneType";
        case JsonValue::Kind::boolean: return "bool";
        case JsonValue::Kind::integer: return "int";
        case JsonValue::Kind::real: return "float";
        case JsonValue::Kind::text: return "str";
        case JsonValue::Kind::array: return "list";
        case JsonValue::Kind::object: return "dict";
    }
    return "object";
}

}  // namespace

Verdict judge_answer(const HttpAnswer& a) {
    using K = Verdict::Kind;
    if (a.failure) return verdict(K::transient, a.failure->message);

    std::optional<JsonValue> parsed;
    std::string decode_error;
    if (a.body_over_limit) {
        decode_error = "answer over " + std::to_string(kTelegramMaxBody) + " bytes";
    } else if (!is_utf8(a.body)) {
        decode_error = "answer is not UTF-8";
    } else {
        auto result = parse_json(a.body);
        if (auto* v = std::get_if<JsonValue>(&result)) parsed = std::move(*v);
        else decode_error = std::get<JsonError>(result).message;
    }

    if (a.status >= 200 && a.status < 300) {
        if (!parsed) return verdict(K::transient, decode_error);
        if (!parsed->is_object())
            return verdict(K::transient, "'" + python_type(*parsed) + "' object has no attribute 'get'");
        const JsonValue* ok = parsed->get("ok");
        if (ok && ok->truthy()) return verdict(K::delivered, "");
        return verdict(K::refused, host_str(*parsed));
    }

    const JsonValue* object = parsed && parsed->is_object() ? &*parsed : nullptr;
    Verdict v = verdict(K::refused, refusal_text(a, parsed ? &*parsed : nullptr));
    const JsonValue* parameters = object ? object->get("parameters") : nullptr;
    if (a.status == 429) {
        v.kind = K::flood;
        std::optional<double> after = seconds_of(parameters ? parameters->get("retry_after") : nullptr);
        if (!after) {
            if (auto header = a.header("Retry-After")) {
                char* end = nullptr;
                const double h = std::strtod(header->c_str(), &end);
                if (end != header->c_str() && std::isfinite(h)) after = h;
            }
        }
        v.retry_after = after && *after >= 0 ? *after : kDefaultFloodWait;
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

std::string send_message_body(std::string_view chat_id, std::string_view text) {
    std::string body = "chat_id=";
    text::append_form_encoded(body, chat_id);
    body += "&text=";
    text::append_form_encoded(body, text);
    body += "&disable_web_page_preview=true";
    return body;
}

std::string fit_message(std::string_view text) {
    if (utf8::length(text) <= kTelegramMaxMessage) return std::string(text);
    return text::first_code_points(text, kTelegramMaxMessage - utf8::length(kCutMarker)) +
           std::string(kCutMarker);
}

}  // namespace emberscope::engine
