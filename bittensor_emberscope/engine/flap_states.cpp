// The routes' flap states in the outbox file.
#include "engine/flap_states.hpp"

#include <cmath>
#include <cstdlib>

namespace emberscope::engine {
namespace {

const std::string* text_in(const JsonValue& object, const char* key) {
    const JsonValue* v = object.get(key);
    return v && v->is_text() ? &v->text : nullptr;
}

}  // namespace

JsonValue flap_json(const std::vector<FlapEntry>& entries) {
    JsonValue list = JsonValue::make_array();
    for (const FlapEntry& e : entries) {
        const routes::FlapState& s = e.state;
        JsonValue o = JsonValue::make_object();
        o.set("chat_id", JsonValue::make_text(e.chat_id));
        if (e.thread_id) o.set("thread_id", JsonValue::make_integer(*e.thread_id));
        o.set("netuid", JsonValue::make_text(e.netuid));
        o.set("reference", JsonValue::make_text(s.reference));
        if (s.held) o.set("held", JsonValue::make_integer(s.held));
        if (!s.pending.empty()) o.set("pending", JsonValue::make_text(s.pending));
        if (s.cooldown_until > 0) o.set("cooldown_until", JsonValue::make_real(s.cooldown_until));
        if (s.deferred) o.set("deferred", JsonValue::make_boolean(true));
        if (!s.armed_above) o.set("armed_above", JsonValue::make_boolean(false));
        if (!s.armed_below) o.set("armed_below", JsonValue::make_boolean(false));
        list.items.push_back(std::move(o));
    }
    return list;
}

std::optional<std::string> read_flap(const JsonValue& value, std::vector<FlapEntry>& entries) {
    if (!value.is_array()) return "\"flap\" is not a list";
    for (const JsonValue& o : value.items) {
        const std::string* chat = text_in(o, "chat_id");
        const std::string* netuid = text_in(o, "netuid");
        const std::string* reference = text_in(o, "reference");
        if (!chat || !netuid || !reference) return "a flap state without its chat, netuid or reference";
        FlapEntry e{*chat, std::nullopt, *netuid, {}};
        e.state.reference = *reference;
        if (const JsonValue* thread = o.get("thread_id")) {
            if (thread->kind != JsonValue::Kind::integer || thread->text.size() > 18)
                return "a flap state whose \"thread_id\" is not a whole number";
            e.thread_id = std::stoll(thread->text);
        }
        if (const JsonValue* held = o.get("held"); held && held->kind == JsonValue::Kind::integer &&
                                                  held->text.size() < 6)
            e.state.held = std::atoi(held->text.c_str());
        if (const std::string* pending = text_in(o, "pending")) e.state.pending = *pending;
        if (const JsonValue* until = o.get("cooldown_until")) {
            const double at = until->kind == JsonValue::Kind::real      ? until->real
                              : until->kind == JsonValue::Kind::integer ? std::strtod(until->text.c_str(), nullptr)
                                                                         : 0;
            if (std::isfinite(at)) e.state.cooldown_until = at;
        }
        const auto is = [&](const char* key, bool when_absent) {
            const JsonValue* v = o.get(key);
            return v && v->kind == JsonValue::Kind::boolean ? v->flag : when_absent;
        };
        e.state.deferred = is("deferred", false);
        e.state.armed_above = is("armed_above", true);
        e.state.armed_below = is("armed_below", true);
        entries.push_back(std::move(e));
    }
    return std::nullopt;
}

}  // namespace emberscope::engine
