// Telegram delivery over the services.
#include "reports/delivery.hpp"

#include <exception>
#include <vector>

#include "common/text.hpp"
#include "reports/chunking.hpp"
#include "reports/telegram_text.hpp"
#include "taostats/client.hpp"

namespace emberscope::reports {
namespace {

HttpRequest message_request(Services& services, std::string_view text, std::string_view token,
                            std::string_view chat_id) {
    HttpRequest request = send_message_request(services, token);
    request.form = {{"chat_id", std::string(chat_id)},
                    {"text", std::string(text)},
                    {"disable_web_page_preview", "true"}};
    return request;
}

// The documented words of a failed delivery: the transport's own text; for an error status the
// body's "description", an excerpt of a JSON body without one, a body that is not JSON, or the
// status line's own text when there is no body; for a success answer without "ok" the answer in
// display notation.
std::string error_text(const HttpAnswer& answer, const TelegramBody& body) {
    if (answer.failure) return answer.failure->message;
    if (answer.body_over_limit) return text::over_limit_text(kTelegramBodyLimit);
    if (answer.ok()) return body.printed.value_or("");
    if (body.form != TelegramBody::Form::object) {
        if (!answer.body.empty()) return answer.body;
        return "HTTP Error " + std::to_string(answer.status) + ": " + answer.reason;
    }
    if (body.description) return *body.description;
    return text::first_code_points(answer.body, kErrorBodyExcerptLength);
}

SendResult post(Services& services, TelegramReader& reader, std::string_view text,
                std::string_view token, std::string_view chat_id) {
    const HttpAnswer answer = services.http(message_request(services, text, token, chat_id));
    const TelegramVerdict verdict = judge_telegram_answer(answer, reader, kSendOnce);
    if (verdict.kind == TelegramVerdict::Kind::delivered) return {true, ""};
    return {false, error_text(answer, verdict.body)};
}

}  // namespace

HttpRequest send_message_request(Services& services, std::string_view token) {
    const std::optional<std::string> endpoint = services.environment("TELEGRAM_API_BASE");
    HttpRequest request;
    request.method = "POST";
    request.url = send_message_url(endpoint ? *endpoint : std::string(kDefaultTelegramBase), token);
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    request.timeout_seconds = kTelegramTimeoutSeconds;
    request.max_body_bytes = kTelegramBodyLimit;
    request.max_error_body_bytes = kTelegramBodyLimit;
    request.redirects = Redirects::none;
    return request;
}

SendResult send_burn_telegram(Services& services, TelegramReader& reader, std::string_view text,
                              std::string_view token, std::string_view chat_id) {
    if (token.empty() || chat_id.empty()) return {false, std::string(kNotConfigured)};
    try {
        SendResult result = post(services, reader, text, token, chat_id);
        if (!result.error.empty())
            result.error = secrets::mask(result.error, taostats::known_secrets(services, token));
        return result;
    } catch (...) {
        services.rethrow_masked(std::current_exception(), taostats::known_secrets(services, token));
        throw;  // not reached: the error goes out masked
    }
}

SendResult send_burn_telegram_messages(Services& services, TelegramReader& reader,
                                       std::string_view text, std::string_view token,
                                       std::string_view chat_id) {
    const std::vector<std::string> parts = chunk_text(text, kMessageTextLimit);
    const std::size_t total = parts.size();
    for (std::size_t index = 1; index <= total; ++index) {
        SendResult result = send_burn_telegram(
            services, reader, numbered_part(parts[index - 1], index, total), token, chat_id);
        if (!result.ok) return result;
        if (index < total) services.sleep(kPauseBetweenMessages);
    }
    return {true, ""};
}

}  // namespace emberscope::reports
