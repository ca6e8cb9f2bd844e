// Host-facing Telegram delivery.
#include "host/reports_telegram_ops.hpp"

#include "host/error.hpp"
#include "host/host_services.hpp"
#include "host/http.hpp"
#include "host/json.hpp"

namespace emberscope::reports {
namespace {

host::Object decoded(std::string_view body) { return host::decode_utf8(host::bytes(body)); }

host::Object to_host(const SendResult& result) {
    return host::tuple({host::boolean(result.ok), host::text(result.error)});
}

}  // namespace

std::optional<std::string> HostTelegramAnswers::not_ok(std::string_view body) {
    const host::Object answer = host::json_loads(decoded(body));
    if (answer.attr("get").call({host::text("ok")}).truthy()) return std::nullopt;
    return answer.repr();
}

RefusalBody HostTelegramAnswers::refusal(std::string_view body) {
    const host::Object text = decoded(body);
    host::Object parsed;
    try {
        parsed = host::json_loads(text);
    } catch (const host::Error& e) {
        if (!host::is_json_decode_error(e)) throw;
        return {};
    }
    // A JSON value that is not an object has no "get": the host's AttributeError is raised.
    const host::Object description = parsed.attr("get").call({host::text("description")});
    RefusalBody read;
    read.is_json = true;
    if (description.truthy()) read.description = description.str();
    return read;
}

TelegramAnswers& host_telegram_answers() {
    static HostTelegramAnswers instance;
    return instance;
}

host::Object send_burn_telegram_messages(const host::Args& args) {
    const std::string_view text = args.text<kSendParams, "text">();
    const std::string_view token = args.text<kSendParams, "token">();
    const std::string_view chat_id = args.text<kSendParams, "chat_id">();
    return to_host(send_burn_telegram_messages(host::services(), host_telegram_answers(), text,
                                               token, chat_id));
}

host::Object send_burn_telegram(const host::Args& args) {
    const std::string_view text = args.text<kSendParams, "text">();
    const std::string_view token = args.text<kSendParams, "token">();
    const std::string_view chat_id = args.text<kSendParams, "chat_id">();
    return to_host(send_burn_telegram(host::services(), host_telegram_answers(), text, token, chat_id));
}

}  // namespace emberscope::reports
