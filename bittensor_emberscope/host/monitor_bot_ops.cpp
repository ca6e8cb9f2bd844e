// Host-facing operations of the monitor module for the bot.
#include "host/monitor_bot_ops.hpp"

#include "bot/access.hpp"
#include "bot/commands.hpp"
#include "bot/cooldown.hpp"
#include "bot/offset.hpp"
#include "common/secrets.hpp"
#include "engine/failures.hpp"
#include "engine/telegram.hpp"
#include "host/command_services.hpp"
#include "host/error.hpp"
#include "host/host_services.hpp"
#include "native/curl_http.hpp"

#include <poll.h>

#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>

namespace emberscope::host {
namespace {

const char* kind_name(bot::Parsed::Kind kind) {
    switch (kind) {
        case bot::Parsed::Kind::command: return "command";
        case bot::Parsed::Kind::usage: return "usage";
        case bot::Parsed::Kind::ignored: break;
    }
    return "ignored";
}

std::vector<std::string> texts_of(const Object& list, const char* what) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        Object item = list.at(i);
        if (item.kind() != Kind::text)
            throw_type_error(std::string(what) + " must hold texts, not " + item.type_name());
        out.push_back(item.text());
    }
    return out;
}

// One cooldown for the process: the command runs one bot.
bot::Cooldown& cooldown() {
    static bot::Cooldown instance;
    return instance;
}

// The bytes a text of characters U+0000..U+00FF stands for, one a character; nullopt for a text
// with any other character.
std::optional<std::string> latin1_bytes(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// The calling thread's own handle: the bot's poller and the main thread's answers each keep
// their connection to Telegram, and neither waits on the other's (nor on a cycle's) handle.
native::CurlHttp& thread_http() {
    thread_local std::unique_ptr<native::CurlHttp> http;
    if (!http) http = std::make_unique<native::CurlHttp>();
    return *http;
}

}  // namespace

Object monitor_bot_exchange(const Args& args) {
    const std::optional<std::string> body = latin1_bytes(args.text<kBotExchangeParams, "body">());
    if (!body) throw_value_error("body must hold characters U+0000..U+00FF only (one a byte)");
    const double timeout = args.real<kBotExchangeParams, "timeout">();
    if (!(timeout > 0) || !std::isfinite(timeout)) throw_value_error("timeout must be a finite number > 0");
    const std::int64_t limit = args.whole<kBotExchangeParams, "body_limit">();
    if (limit < 0) throw_value_error("body_limit must be >= 0");
    HttpRequest request;
    request.method = "POST";
    request.url = std::string(args.text<kBotExchangeParams, "url">());
    request.body = *body;
    request.headers.emplace_back("Content-Type", std::string(args.text<kBotExchangeParams, "content_type">()));
    request.timeout_seconds = timeout;
    request.deadline_seconds = timeout;
    request.max_body_bytes = static_cast<std::size_t>(limit);
    request.max_error_body_bytes = static_cast<std::size_t>(limit);
    request.redirects = Redirects::none;
    request.protocol_errors_fail = true;
    const int cancel_fd = static_cast<int>(args.whole<kBotExchangeParams, "cancel_fd">());
    const secrets::Secret token{std::string(args.text<kBotExchangeParams, "token">()), secrets::kTokenMask};
    engine::AnswerContext context{{&token, 1}, engine::endpoint_of(services(), request.url), timeout, 0,
                                  request.max_body_bytes};

    native::CurlHttp& http = thread_http();
    HttpAnswer answer;
    without_lock([&] {
        try {
            http.set_wake_fd(cancel_fd);
            http.set_interruption_check([cancel_fd] {
                pollfd p{cancel_fd, POLLIN, 0};
                if (cancel_fd >= 0 && ::poll(&p, 1, 0) > 0) throw std::runtime_error("the exchange was cancelled");
            });
            answer = http.exchange(request);
        } catch (const std::exception& e) {  // the cancel pipe's check, or libcurl refusing
            answer.failure = TransportFailure{TransportFailure::Kind::os_error, e.what(), nullptr};
        }
    });
    context.now = services().epoch_seconds();
    engine::Verdict verdict;
    without_lock([&] { verdict = engine::judge_answer(answer, context); });  // a long answer parses a while

    using K = engine::Verdict::Kind;
    Object d = new_map();
    d.set("kind", text(engine::kind_name(verdict.kind)));
    d.set("status", integer(answer.failure ? 0 : answer.status));
    d.set("error", text(verdict.error));
    d.set("retry_after", verdict.kind == K::flood ? real(verdict.retry_after) : none());
    d.set("new_chat_id", verdict.kind == K::migrated ? text(verdict.new_chat_id) : none());
    d.set("result", verdict.result ? text(*verdict.result) : none());
    return d;
}

Object monitor_bot_commands(const Args&) {
    Object list = new_list();
    for (const bot::CommandInfo& c : bot::command_table())
        list.append(tuple({text(c.name), text(c.arguments), text(c.description)}));
    return list;
}

Object monitor_bot_parse(const Args& args) {
    const bot::Parsed p = bot::parse_command(args.text<kBotParseParams, "text">(),
                                             args.text<kBotParseParams, "bot_name">());
    Object d = new_map();
    d.set("kind", text(kind_name(p.kind)));
    d.set("name", text(p.name));
    d.set("netuid", text(p.netuid));
    d.set("period_seconds", real(p.period_seconds));
    d.set("usage", text(p.usage));
    return d;
}

Object monitor_bot_allowed(const Args& args) {
    const bot::AccessList access{texts_of(args.object<kBotAllowedParams, "chats">(), "chats"),
                                 texts_of(args.object<kBotAllowedParams, "users">(), "users")};
    const bot::Sender sender{std::string(args.text<kBotAllowedParams, "chat_id">()),
                             std::string(args.text<kBotAllowedParams, "chat_username">()),
                             std::string(args.text<kBotAllowedParams, "user_id">())};
    return boolean(bot::allowed(access, sender));
}

Object monitor_bot_user_ids(const Args& args) {
    std::string bad;
    auto ids = bot::parse_user_ids(args.text<kBotUserIdsParams, "text">(), &bad);
    if (!ids) throw_value_error("not a user id: '" + bad + "'");
    return text_list(*ids);
}

Object monitor_bot_admit(const Args& args) {
    return boolean(cooldown().admit(args.text<kBotAdmitParams, "chat_id">(),
                                    args.real<kBotAdmitParams, "now">()));
}

Object monitor_bot_load_offset(const Args& args) {
    return integer(bot::load_offset(services(), args.text<kBotLoadOffsetParams, "path">()));
}

Object monitor_bot_save_offset(const Args& args) {
    bot::save_offset(services(), args.text<kBotSaveOffsetParams, "path">(),
                     args.whole<kBotSaveOffsetParams, "offset">());
    return none();
}

}  // namespace emberscope::host
