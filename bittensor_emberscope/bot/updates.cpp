// Reading getUpdates and getMe answers with simdjson.
#include "bot/updates.hpp"

#include <simdjson.h>

namespace emberscope::bot {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// FNV-1a: enough to know one update's text again, not a defence against anyone.
std::uint64_t fingerprint_of(std::string_view bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (const unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    return h;
}

std::optional<std::int64_t> whole(element e) {
    if (e.type() == element_type::INT64) return std::int64_t(e.get_int64().value_unsafe());
    return std::nullopt;
}

// A chat or user id as the bot compares it: the decimal digits of a whole number.
std::string id_text(simdjson::simdjson_result<element> e) {
    if (e.error()) return "";
    std::optional<std::int64_t> n = whole(e.value_unsafe());
    return n ? std::to_string(*n) : "";
}

std::string text_of(simdjson::simdjson_result<element> e) {
    if (e.error() || !e.value_unsafe().is_string()) return "";
    return std::string(e.value_unsafe().get_string().value_unsafe());
}

std::optional<Message> message_of(element update) {
    auto message = update["message"];
    if (message.error() || !message.value_unsafe().is_object()) return std::nullopt;
    element m = message.value_unsafe();
    auto text = m["text"];
    if (text.error() || !text.value_unsafe().is_string()) return std::nullopt;
    Message out;
    out.text = std::string(text.value_unsafe().get_string().value_unsafe());
    out.chat_id = id_text(m["chat"]["id"]);
    if (out.chat_id.empty()) return std::nullopt;
    out.chat_username = text_of(m["chat"]["username"]);
    out.user_id = id_text(m["from"]["id"]);
    if (auto thread = m["message_thread_id"]; !thread.error())
        out.thread_id = whole(thread.value_unsafe());
    return out;
}

}  // namespace

std::vector<Update> read_updates(std::string_view result) {
    simdjson::dom::parser parser;
    const simdjson::padded_string padded(result);
    simdjson::dom::array list;
    if (parser.parse(padded).get(list)) return {};  // not a list: no update
    std::vector<Update> out;
    for (element item : list) {
        Update update;
        update.fingerprint = fingerprint_of(simdjson::minify(item));
        if (item.is_object()) {
            if (auto id = item["update_id"]; !id.error()) update.id = whole(id.value_unsafe());
            update.message = message_of(item);
            if (update.message && update.id) update.message->update_id = *update.id;
        }
        out.push_back(std::move(update));
    }
    return out;
}

std::string read_username(std::string_view result) {
    simdjson::dom::parser parser;
    const simdjson::padded_string padded(result);
    element root;
    if (parser.parse(padded).get(root) || !root.is_object()) return "";
    return text_of(root["username"]);
}

}  // namespace emberscope::bot
