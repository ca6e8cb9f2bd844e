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

// A success body is decoded and parsed strictly (its errors raised), an error body may be any
// text; either, once parsed, is asked with its own "get", which a JSON value that is not an
// object lacks: the host's AttributeError is raised.
TelegramBody HostTelegramReader::read(std::string_view body, bool success) {
    const host::Object text = decoded(body);
    TelegramBody read;
    host::Object parsed;
    if (success) {
        parsed = host::json_loads(text);
    } else {
        try {
            parsed = host::json_loads(text);
        } catch (const host::Error& e) {
            if (!host::is_json_decode_error(e)) throw;
            read.form = TelegramBody::Form::not_json;
            return read;
        }
    }
    if (success) {
        read.ok = parsed.attr("get").call({host::text("ok")}).truthy();
        if (!read.ok) read.printed = parsed.repr();
    } else {
        const host::Object description = parsed.attr("get").call({host::text("description")});
        if (description.truthy()) read.description = description.str();
    }
    read.form = TelegramBody::Form::object;
    return read;
}

TelegramReader& host_telegram_reader() {
    static HostTelegramReader instance;
    return instance;
}

host::Object send_burn_telegram_messages(const host::Args& args) {
    const std::string_view text = args.text<kSendParams, "text">();
    const std::string_view token = args.text<kSendParams, "token">();
    const std::string_view chat_id = args.text<kSendParams, "chat_id">();
    return to_host(send_burn_telegram_messages(host::services(), host_telegram_reader(), text,
                                               token, chat_id));
}

host::Object send_burn_telegram(const host::Args& args) {
    const std::string_view text = args.text<kSendParams, "text">();
    const std::string_view token = args.text<kSendParams, "token">();
    const std::string_view chat_id = args.text<kSendParams, "chat_id">();
    return to_host(send_burn_telegram(host::services(), host_telegram_reader(), text, token, chat_id));
}

}  // namespace emberscope::reports
