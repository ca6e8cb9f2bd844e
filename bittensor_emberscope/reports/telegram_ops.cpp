// Host-facing Telegram delivery.
#include "reports/telegram_ops.hpp"

#include <utility>
#include <vector>

#include "common/text.hpp"
#include "host/http.hpp"
#include "host/json.hpp"
#include "host/module.hpp"
#include "host/services.hpp"
#include "reports/chunking.hpp"
#include "reports/telegram_text.hpp"
#include "taostats/client_ops.hpp"

namespace emberscope::reports {
namespace {

host::Object send_message_request(const std::string& text, const std::string& token,
                                  const std::string& chat_id) {
    const std::optional<std::string> endpoint = host::environment("TELEGRAM_API_BASE");
    const std::string url =
        send_message_url(endpoint ? *endpoint : std::string(kDefaultTelegramBase), token);

    host::Object fields = host::new_map();
    fields.set("chat_id", host::text(chat_id));
    fields.set("text", host::text(text));
    fields.set("disable_web_page_preview", host::text("true"));
    const host::Object form = host::global("urllib").attr("parse").attr("urlencode").call({fields});
    const host::Object body = form.attr("encode").call({host::text("utf-8")});

    host::Object headers = host::new_map();
    headers.set("Content-Type", host::text("application/x-www-form-urlencoded"));
    return host::http_request(url, body, headers, "POST");
}

// The reason of an error status: the body's "description", an excerpt of a JSON body without
// one, a body that is not JSON, or the HTTPError's own text when there is no body.
SendResult refusal(const host::HttpOutcome& outcome) {
    const host::Object& http_error = outcome.http_error;
    if (outcome.error_over_limit) return {false, host::over_limit_text(kTelegramBodyLimit)};
    const std::optional<host::Object>& data = outcome.error_body;
    const host::Object body = data ? host::decode_utf8(*data) : host::text("");
    const std::string body_text = body.text();
    host::Object parsed;
    try {
        parsed = host::json_loads(body);
    } catch (const host::Error& e) {
        if (!host::is_json_decode_error(e)) throw;
        return {false, body_text.empty() ? http_error.str() : body_text};
    }
    // A JSON value that is not an object has no "get": the host's AttributeError is raised.
    const host::Object description = parsed.attr("get").call({host::text("description")});
    if (description.truthy()) return {false, description.str()};
    return {false, text::first_code_points(body_text, kErrorBodyExcerptLength)};
}

SendResult post(const std::string& text, const std::string& token, const std::string& chat_id) {
    const host::Object request = send_message_request(text, token, chat_id);
    host::HttpOutcome outcome;
    try {
        host::ExchangeOptions options;
        options.timeout_seconds = kTelegramTimeoutSeconds;
        options.body_limit = kTelegramBodyLimit;
        options.error_body_limit = kTelegramBodyLimit;
        options.follow_redirects = false;  // a redirected POST would arrive as a GET, without text
        outcome = host::http_exchange(request, options);
    } catch (const host::Error& e) {
        if (!host::is_os_error(e)) throw;
        return {false, host::message_of(e)};
    }
    if (!outcome.http_error.empty()) return refusal(outcome);
    if (outcome.over_limit) return {false, host::over_limit_text(kTelegramBodyLimit)};

    const host::Object answer = host::json_loads(host::decode_utf8(outcome.body));
    if (answer.attr("get").call({host::text("ok")}).truthy()) return {true, ""};
    return {false, answer.repr()};
}

host::Object to_host(const SendResult& result) {
    return host::tuple({host::boolean(result.ok), host::text(result.error)});
}

}  // namespace

SendResult send_burn_telegram(const std::string& text, const std::string& token,
                              const std::string& chat_id) {
    if (token.empty() || chat_id.empty()) return {false, std::string(kNotConfigured)};
    try {
        SendResult result = post(text, token, chat_id);
        if (!result.error.empty()) result.error = secrets::mask(result.error, taostats::known_secrets(token));
        return result;
    } catch (host::Error& e) {
        host::rethrow_masked(std::move(e), taostats::known_secrets(token));
    }
}

SendResult send_burn_telegram_messages(const std::string& text, const std::string& token,
                                       const std::string& chat_id) {
    const std::vector<std::string> parts = chunk_text(text, kMessageTextLimit);
    const std::size_t total = parts.size();
    for (std::size_t index = 1; index <= total; ++index) {
        SendResult result =
            send_burn_telegram(numbered_part(parts[index - 1], index, total), token, chat_id);
        if (!result.ok) return result;
        if (index < total) host::sleep(kPauseBetweenMessages);
    }
    return {true, ""};
}

host::Object send_burn_telegram_messages(const host::Args& args) {
    return to_host(send_burn_telegram_messages(args.text(0), args.text(1), args.text(2)));
}

host::Object send_burn_telegram(const host::Args& args) {
    return to_host(send_burn_telegram(args.text(0), args.text(1), args.text(2)));
}

}  // namespace emberscope::reports
