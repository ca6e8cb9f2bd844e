// The bot's poller.
#include "bot/poller.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "bot/updates.hpp"
#include "common/text.hpp"
#include "engine/json.hpp"

namespace emberscope::bot {
namespace {

using K = engine::Verdict::Kind;

// The menu Telegram shows, from the command table: [{"command": ..., "description": ...}].
std::string menu_json() {
    engine::JsonValue list;
    list.kind = engine::JsonValue::Kind::array;
    for (const CommandInfo& c : command_table()) {
        engine::JsonValue item = engine::JsonValue::make_object();
        item.set("command", engine::JsonValue::make_text(std::string(c.name)));
        item.set("description", engine::JsonValue::make_text(std::string(c.description)));
        list.items.push_back(std::move(item));
    }
    return engine::dump_json(list);
}

std::string whole_seconds(double seconds) { return std::to_string(static_cast<long long>(seconds)); }

}  // namespace

Poller::Poller(Context& context, Services& services)
    : context_(context), services_(services),
      api_(services, context.settings.token, context.settings.api_base),
      length_(context.settings.poll_seconds), ceiling_(context.settings.poll_seconds) {}

void Poller::say(const std::string& line) { services_.console(line + "\n"); }

std::string Poller::stamp() { return services_.utc_now("%Y-%m-%dT%H:%M:%SZ"); }

Poller::Next Poller::failed(const engine::Verdict& verdict, int status) {
    if (context_.stopping) return {};
    const bool conflict = status == 409;
    const std::string kind = conflict ? "conflict" : std::to_string(status);
    const double wait = conflict ? kConflictRetry : retry_;
    if (failing_ != kind) {
        if (conflict)
            say("[bot] not answering commands: " + verdict.error +
                " (another program reads this bot's updates, or a webhook is set); alerts continue; "
                "asking again every " + whole_seconds(kConflictRetry) + " s");
        else
            say("[bot] not answering commands: " + verdict.error + "; alerts continue; asking again later");
        context_.set_note("not answering: " + verdict.error + " (since " + stamp() + ")");
    }
    failing_ = kind;
    retry_ = std::min(retry_ * 2, kRetryLast);
    return {wait};
}

std::optional<Poller::Next> Poller::introduce() {
    engine::Verdict me = api_.call("getMe");
    if (me.kind != K::delivered) return failed(me, api_.last_status());
    const std::string name = me.result ? read_username(*me.result) : "";
    if (name.empty()) {
        engine::Verdict none;
        none.error = "getMe gave no user name";
        return failed(none, 0);
    }
    const engine::Verdict menu = api_.call("setMyCommands", {{"commands", menu_json()}});
    if (menu.kind != K::delivered) {
        if (context_.stopping) return Next{};  // closing cancelled the call: nothing went wrong
        say("[bot] the command menu was not set: " + menu.error);
    }
    context_.set_name(name);
    if (!failing_) context_.set_note("answering as @" + name);
    if (context_.settings.verbose) {
        const std::size_t users = context_.settings.access.users.size();
        say("[bot] answering commands as @" + name + " in " + std::to_string(context_.chats()) + " chat(s)" +
            (users ? " and from " + std::to_string(users) + " user(s)" : ""));
    }
    return std::nullopt;
}

Poller::Next Poller::step() {
    if (context_.name().empty())
        if (std::optional<Next> next = introduce()) return *next;
    const double length = length_;
    const Fields fields = {{"offset", std::to_string(context_.inbox.offset())},
                           {"timeout", whole_seconds(length)},
                           {"allowed_updates", "[\"message\"]"}};
    const double began = services_.monotonic_seconds();
    const engine::Verdict polled = api_.call("getUpdates", fields, length + kPollSlack);
    const double elapsed = services_.monotonic_seconds() - began;
    if (context_.stopping) return {};
    const int status = api_.last_status();
    if (polled.kind != K::delivered) {
        if (status == 0 && polled.kind == K::transient && elapsed >= kCutAfter && elapsed < length &&
            length > kShortestPoll) {
            // The connection went quiet for too long for something on the way: ask for less.
            ceiling_ = elapsed;
            length_ = std::max(kShortestPoll, std::floor(elapsed / 2));
            clean_ = since_cut_ = 0;
            say("[bot] a long poll was cut after " + whole_seconds(elapsed) + " s: polling " +
                whole_seconds(length_) + " s at a time");
            return {};
        }
        return failed(polled, status);
    }
    if (failing_) {
        say("[bot] answering commands again as @" + context_.name());
        context_.set_note("answering as @" + context_.name());
        failing_.reset();
        retry_ = kRetryFirst;
    }
    if (++since_cut_ >= kPollsBeforeForgettingCut) ceiling_ = context_.settings.poll_seconds;
    if (++clean_ >= kPollsBeforeLonger && length_ < context_.settings.poll_seconds) {
        length_ = std::min(context_.settings.poll_seconds, length_ * 2);
        if (ceiling_ < context_.settings.poll_seconds)
            length_ = std::min(length_, std::max(kShortestPoll, std::floor(ceiling_ * 0.8)));
        clean_ = 0;
    }

    const std::string name = context_.name();
    std::size_t fresh = 0;
    std::map<std::string, std::vector<std::string>> dropped;
    for (Update& update : read_updates(polled.result ? *polled.result : "null")) {
        if (!update.id) {
            // It cannot be confirmed, so it may come back with every poll: said and skipped once.
            if (unreadable_.size() < 256 && unreadable_.insert(update.fingerprint).second)
                say("[bot] an update without an update_id was skipped");
            continue;
        }
        if (context_.inbox.read(*update.id)) continue;
        ++fresh;
        const Parsed parsed = update.message ? parse_command(update.message->text, name) : Parsed{};
        if (parsed.kind == Parsed::Kind::ignored || !context_.allowed(*update.message)) {
            context_.inbox.skip(*update.id);
            continue;
        }
        Pending pending;
        pending.message = std::move(*update.message);
        pending.parsed = parsed;
        if (!context_.inbox.queue(pending))
            dropped[pending.message.chat_id].push_back(text::first_code_points(pending.message.text, 40));
    }
    for (const auto& [chat, texts] : dropped) {
        std::string list;
        for (const std::string& t : texts) list += (list.empty() ? "" : ", ") + t;
        say("[bot] chat " + chat + ": " + std::to_string(texts.size()) + " command(s) not answered (" + list +
            "): " + std::to_string(context_.settings.queue_per_chat) + " are waiting already");
    }
    context_.save_offset(services_);

    if (fresh == 0) {
        // Commands waiting for their answers come back at once with every poll: wait for one.
        if (context_.inbox.unanswered() > 0) return {kRepollWhileAnswering, true};
        if (elapsed < length / 2) {
            const double wait = quick_;
            quick_ = std::min(quick_ * 2, kQuickLast);
            return {wait};
        }
    }
    quick_ = kQuickFirst;
    return {};
}

}  // namespace emberscope::bot
