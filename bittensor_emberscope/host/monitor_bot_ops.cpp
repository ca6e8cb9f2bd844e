// Host-facing operations of the monitor module for the bot.
#include "host/monitor_bot_ops.hpp"

#include "bot/access.hpp"
#include "bot/commands.hpp"
#include "bot/cooldown.hpp"
#include "bot/offset.hpp"
#include "host/error.hpp"
#include "host/host_services.hpp"

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

}  // namespace

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
