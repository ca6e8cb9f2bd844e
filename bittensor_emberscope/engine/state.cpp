// The state file as the engine reads it.
#include "engine/state.hpp"

#include "engine/json.hpp"

namespace emberscope::engine {

std::variant<burns::BurnMap, std::string> read_state(std::string_view content) {
    if (!is_utf8(content)) return std::string("not UTF-8");
    auto parsed = parse_json(content);
    if (auto* e = std::get_if<JsonError>(&parsed)) return e->message;
    const JsonValue& doc = std::get<JsonValue>(parsed);
    if (!doc.is_object()) return std::string("the top level is not a JSON object");
    const JsonValue* burns = doc.get("owner_burn_rate");
    if (!burns || !burns->is_object()) return std::string("no \"owner_burn_rate\" object");
    burns::BurnMap map;
    map.reserve(burns->members.size());
    for (const auto& [key, value] : burns->members) map.emplace_back(key, host_str(value));
    return map;
}

std::string corrupt_path(std::string_view path, std::string_view stamp) {
    return std::string(path) + ".corrupt-" + std::string(stamp);
}

}  // namespace emberscope::engine
