// The state file as the engine reads it.
#include "engine/state.hpp"

#include "burns/state_text.hpp"
#include "engine/json.hpp"

namespace emberscope::engine {

std::variant<StateDocument, std::string> read_state_document(std::string_view content) {
    if (!is_utf8(content)) return std::string("not UTF-8");
    auto parsed = parse_json(content);
    if (auto* e = std::get_if<JsonError>(&parsed)) return e->message;
    const JsonValue& doc = std::get<JsonValue>(parsed);
    if (!doc.is_object()) return std::string("the top level is not a JSON object");
    const JsonValue* burns = doc.get(burns::kBurnsKey);
    if (!burns || !burns->is_object())
        return "no \"" + std::string(burns::kBurnsKey) + "\" object";
    StateDocument state;
    state.burns.reserve(burns->members.size());
    for (const auto& [key, value] : burns->members) state.burns.emplace_back(key, host_str(value));
    if (const JsonValue* stamp = doc.get(burns::kUpdatedAtKey); stamp && stamp->is_text())
        state.updated_at = stamp->text;
    return state;
}

std::variant<burns::BurnMap, std::string> read_state(std::string_view content) {
    auto read = read_state_document(content);
    if (auto* reason = std::get_if<std::string>(&read)) return std::move(*reason);
    return std::move(std::get<StateDocument>(read).burns);
}

std::string corrupt_path(std::string_view path, std::string_view stamp) {
    return std::string(path) + ".corrupt-" + std::string(stamp);
}

}  // namespace emberscope::engine
