// The mutes file.
#include "records/mutes.hpp"

#include <algorithm>
#include <optional>

#include "burns/numeric.hpp"
#include "engine/json.hpp"
#include "native/posix_files.hpp"
#include "records/clock.hpp"
#include "records/files.hpp"
#include "records/values.hpp"

namespace emberscope::records {

bool netuid_less(std::string_view a, std::string_view b) {
    const std::optional<burns::DecimalInteger> x = burns::parse_integer_text(a);
    const std::optional<burns::DecimalInteger> y = burns::parse_integer_text(b);
    if (x && y) {
        if (const auto order = *x <=> *y; order != 0) return order < 0;
        return a < b;
    }
    if (x || y) return bool(x);
    return a < b;
}

Mutes read_mutes(std::string_view state_path, double now) {
    const std::optional<std::string> bytes = read_regular(mutes_path(state_path));
    if (!bytes || !engine::is_utf8(*bytes)) return {};
    auto parsed = engine::parse_json(*bytes);
    const JsonValue* document = std::get_if<JsonValue>(&parsed);
    const JsonValue* muted = document ? document->get("muted") : nullptr;
    if (!muted || !muted->is_object()) return {};
    Mutes out;
    for (const auto& [key, until_text] : muted->members) {
        const std::string* text = text_of(&until_text);
        const std::optional<double> until = text ? parse_utc(*text) : std::nullopt;
        if (until && *until > now) out.emplace_back(key, *until);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& a, const auto& b) { return netuid_less(a.first, b.first); });
    return out;
}

void write_mutes(std::string_view state_path, const Mutes& mutes) {
    if (mutes.empty()) {
        native::remove_path(mutes_path(state_path));
        return;
    }
    Mutes sorted = mutes;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return netuid_less(a.first, b.first); });
    JsonValue muted = JsonValue::make_object();
    for (const auto& [key, until] : sorted) muted.set(key, JsonValue::make_text(format_utc(until)));
    JsonValue document = JsonValue::make_object();
    document.set("muted", std::move(muted));
    native::replace_file_atomically(mutes_path(state_path),
                                    engine::dump_json(document, {.indent = 2}) + "\n");
}

std::vector<std::string> muted_netuids(std::string_view state_path, double now) {
    std::vector<std::string> out;
    for (const auto& [key, until] : read_mutes(state_path, now)) out.push_back(key);
    return out;
}

std::string describe_mutes(const Mutes& mutes) {
    std::string out;
    for (const auto& [key, until] : mutes) {
        if (!out.empty()) out += ", ";
        out += key == kAllSubnets ? std::string("every subnet") : "SN" + key;
        out += " until " + format_utc(until);
    }
    return out;
}

}  // namespace emberscope::records
