// The bot's answering.
#include "bot/answering.hpp"

#include <exception>
#include <variant>

#include "common/text.hpp"

namespace emberscope::bot {
namespace {

using K = engine::Verdict::Kind;

}  // namespace

Answering::Answering(Context& context, Services& services, Answerer& answerer, ChartDrawer* charts)
    : context_(context), services_(services), answerer_(answerer), charts_(charts),
      api_(services, context.settings.token, context.settings.api_base) {}

std::optional<double> Answering::step() {
    auto next = context_.inbox.next(services_.monotonic_seconds(), context_.holds);
    if (std::holds_alternative<std::nullopt_t>(next)) return std::nullopt;
    if (const double* wait = std::get_if<double>(&next)) return *wait;
    Pending pending = std::move(std::get<Pending>(next));
    if (!pending.prepared) prepare(pending);
    if (!pending.prepared) return std::nullopt;  // closing ended it: left for a restart to answer
    if (pending.text.empty() && pending.png.empty()) {
        context_.inbox.done(pending.message.update_id);  // the answers left it unanswered
    } else {
        send(std::move(pending));
    }
    context_.save_offset(services_);
    return 0.0;
}

void Answering::prepare(Pending& pending) {
    pending.prepared = true;
    const std::string& name = pending.parsed.name;
    if (pending.parsed.kind == Parsed::Kind::usage) {
        pending.text = pending.parsed.usage;
        return;
    }
    std::optional<Reply> reply;
    try {
        reply = answerer_.answer(pending.parsed, pending.message);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (!services_.is_ordinary_error(error)) throw;
        say("[bot] /" + name + " failed: " + services_.error_message(error));
        pending.text = "Sorry, /" + name + " failed.";
        return;
    }
    if (!reply) return;
    if (!reply->chart) {
        pending.text = text::first_code_points(reply->text, kMessageLimit);
        return;
    }
    const Drawn drawn = charts_ ? charts_->draw(*reply->chart) : Drawn{Drawn::Kind::unavailable, "", ""};
    switch (drawn.kind) {
        case Drawn::Kind::drawn:
            pending.png = drawn.png;
            pending.filename = reply->chart->filename;
            pending.text = text::first_code_points(reply->chart->caption, kCaptionLimit);
            return;
        case Drawn::Kind::unavailable:
            pending.text = std::string(kChartsUnavailable);
            return;
        case Drawn::Kind::failed:
            if (context_.stopping) {  // closing ended the drawing
                pending.prepared = false;
                return;
            }
            say("[bot] /" + name + " failed: " + drawn.error);
            pending.text = "Sorry, /" + name + " failed: " + drawn.error;
            return;
    }
}

void Answering::send(Pending pending) {
    const std::string chat = context_.holds.chat_for(pending.message.chat_id);
    Fields fields = {{"chat_id", chat}, {pending.png.empty() ? "text" : "caption", pending.text}};
    if (pending.message.thread_id)
        fields.emplace_back("message_thread_id", std::to_string(*pending.message.thread_id));
    const engine::Verdict verdict = pending.png.empty()
                                        ? api_.call("sendMessage", fields)
                                        : api_.send_photo(fields, pending.filename, pending.png);
    const double now = services_.monotonic_seconds();
    const std::int64_t id = pending.message.update_id;
    switch (verdict.kind) {
        case K::delivered:
            context_.holds.sent(chat, now);
            context_.inbox.done(id);
            return;
        case K::flood:
            // Telegram's word holds the chat for every sender: the alerts wait too.
            context_.holds.hold(chat, now + verdict.retry_after);
            context_.holds.sent(chat, now);
            if (++pending.floods > kMaxFloods) {
                say("[bot] flood control: an answer to chat " + chat + " dropped");
                context_.inbox.done(id);
            } else {
                context_.inbox.put_back(std::move(pending));
            }
            return;
        case K::migrated:
            context_.holds.migrate(chat, verdict.new_chat_id);
            say("[bot] chat " + chat + " was upgraded to a supergroup, now " + verdict.new_chat_id +
                ": answering there");
            if (++pending.moves <= kMaxMoves) {
                context_.inbox.put_back(std::move(pending));
                return;
            }
            break;
        case K::transient:
            // Closing cut the exchange short: the command stays unconfirmed, a restart answers it.
            if (context_.stopping) return;
            break;
        case K::refused:
            break;
    }
    say("[bot] the answer to chat " + pending.message.chat_id + " was not delivered: " + verdict.error);
    context_.inbox.done(id);
}

}  // namespace emberscope::bot
