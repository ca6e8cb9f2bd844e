// The `status` and `history` views.
#include "records/views.hpp"

#include <algorithm>
#include <map>

#include "burns/numeric.hpp"
#include "burns/repr.hpp"
#include "engine/state.hpp"
#include "native/posix_files.hpp"
#include "records/files.hpp"
#include "records/health.hpp"
#include "records/history.hpp"
#include "records/mutes.hpp"
#include "records/status_file.hpp"
#include "records/values.hpp"

namespace emberscope::records {

namespace {

constexpr std::string_view kProgram = "emberscope";
constexpr engine::JsonLayout kJsonOutput{.indent = 2, .sort_keys = false, .ascii = false};

// Says so for each of `paths` that is there but not a regular file.
bool refuse_irregular(const std::vector<std::string>& paths, ViewOutput& view) {
    bool refused = false;
    for (const std::string& path : paths)
        if (const std::optional<std::string> problem = irregular(path)) {
            view.errors.push_back(*problem + "; remove it");
            refused = true;
        }
    if (refused) view.exit_status = 1;
    return refused;
}

JsonValue values_object(const burns::BurnMap& sorted) {
    JsonValue out = JsonValue::make_object();
    for (const auto& [key, raw] : sorted) out.set(key, JsonValue::make_text(raw));
    return out;
}

burns::BurnMap in_netuid_order(burns::BurnMap burns) {
    std::stable_sort(burns.begin(), burns.end(),
                     [](const auto& a, const auto& b) { return netuid_less(a.first, b.first); });
    return burns;
}

JsonValue optional_bool(std::optional<bool> flag) { return flag ? bool_value(*flag) : null_value(); }

}  // namespace

std::string shown_burn(std::string_view raw) {
    if (const std::optional<double> number = burns::parse_numeric_text(raw)) return burns::fixed_form(*number, kShownDecimals);
    return std::string(raw);
}

std::variant<StoredValues, std::string> load_values(std::string_view state_path) {
    const std::string path(state_path);
    const FileText file = native::read_text(path);
    switch (file.kind) {
        case FileText::Kind::missing:
            return "no state file at " + path + " yet; `" + std::string(kProgram) + " snapshot` or `" +
                   std::string(kProgram) + " once` writes it";
        case FileText::Kind::not_utf8:
            return "cannot read the state file " + path + ": not UTF-8 (" + file.text + ")";
        case FileText::Kind::unreadable:
            if (file.text.starts_with("[Errno ")) return file.text;
            return "cannot read the state file " + path + ": " + file.text;
        case FileText::Kind::text: break;
    }
    auto read = engine::read_state_document(file.text);
    if (const std::string* reason = std::get_if<std::string>(&read))
        return "cannot read the state file " + path + ": " + *reason;
    engine::StateDocument& state = std::get<engine::StateDocument>(read);
    return StoredValues{std::move(state.burns), std::move(state.updated_at)};
}

ViewOutput status_view(std::string_view state_path, bool json, const Clock& now) {
    ViewOutput view;
    const std::string path(state_path);
    if (refuse_irregular({status_path(path), lock_path(path), mutes_path(path)}, view)) return view;
    auto loaded = load_values(path);
    const std::optional<JsonValue> status = read_status(path);
    const std::string* problem = std::get_if<std::string>(&loaded);
    if (problem && (!status || !problem->starts_with("no state file"))) {
        view.errors.push_back(*problem);
        view.exit_status = 1;
        return view;
    }
    const JsonValue* status_ptr = status ? &*status : nullptr;
    const std::optional<bool> alive = watch_alive(path, status_ptr);
    std::optional<Health> verdict;
    if (status) verdict = assess(status_ptr, now, alive);
    view.exit_status = verdict && !verdict->ok ? 3 : 0;
    const StoredValues* values = std::get_if<StoredValues>(&loaded);
    const burns::BurnMap sorted = values ? in_netuid_order(values->burns) : burns::BurnMap{};
    if (json) {
        JsonValue document = JsonValue::make_object();
        document.set("state_file", JsonValue::make_text(path));
        document.set("status_file", JsonValue::make_text(status_path(path)));
        document.set("healthy", verdict ? bool_value(verdict->ok) : null_value());
        JsonValue problems = list_value();
        if (verdict)
            for (const std::string& p : verdict->problems) problems.items.push_back(JsonValue::make_text(p));
        document.set("problems", std::move(problems));
        document.set("watch_alive", optional_bool(alive));
        document.set("status", status ? *status : null_value());
        document.set("updated_at_utc", values ? text_or_null(values->updated_at) : null_value());
        document.set("owner_burn_rate", values_object(sorted));
        view.out = engine::dump_json(document, kJsonOutput) + "\n";
        return view;
    }
    std::vector<std::string> lines{"state file  " + path};
    if (status) {
        for (const auto& [label, text] : describe(*status, now, alive)) lines.push_back(align_left(label, 11) + " " + text);
        std::string verdict_text = "ok";
        if (!verdict->ok) {
            verdict_text = "UNHEALTHY: ";
            for (std::size_t i = 0; i < verdict->problems.size(); ++i)
                verdict_text += (i ? "; " : "") + verdict->problems[i];
        }
        lines.push_back("health      " + verdict_text);
    }
    if (const Mutes mutes = read_mutes(path, now.epoch); !mutes.empty())
        lines.push_back(align_left("muted", 11) + " " + describe_mutes(mutes));
    if (!values) {
        lines.push_back("values      none stored yet");
    } else {
        lines.push_back("updated     " + values->updated_at.value_or("(unknown)") + " UTC");
        lines.push_back("subnets     " + std::to_string(sorted.size()));
        lines.push_back("");
        std::size_t width = 6;
        for (const auto& [key, raw] : sorted) width = std::max(width, length(key));
        lines.push_back(align_right("netuid", width) + "  " + align_right("owner burn", 10) + "  stored text");
        for (const auto& [key, raw] : sorted)
            lines.push_back(align_right(key, width) + "  " + align_right(shown_burn(raw), 10) + "  " + raw);
    }
    for (const std::string& line : lines) view.out += line + "\n";
    return view;
}

std::variant<double, std::string> parse_since(std::string_view text) {
    if (const std::optional<double> at = parse_utc(text)) return *at;
    return "--since: " + burns::repr(text) +
           " is not a date (YYYY-MM-DD) or a UTC time (YYYY-MM-DDTHH:MM:SSZ)";
}

ViewOutput history_view(std::string_view state_path, const std::optional<std::string>& netuid,
                        std::optional<double> since, bool json) {
    ViewOutput view;
    const std::string path(state_path);
    if (refuse_irregular({rotated_history_path(path), history_path(path)}, view)) return view;
    History history = read_history(path);
    if (history.unreadable)
        view.errors.push_back(std::to_string(history.unreadable) + " unreadable line(s) in " + history_path(path) +
                              " skipped");
    std::vector<Change> changes;
    for (Change& c : history.changes) {
        if (netuid && c.netuid != *netuid) continue;
        if (since && c.moment().value_or(*since) < *since) continue;
        changes.push_back(std::move(c));
    }
    // Each subnet's values: the first change's old one, then every new one.
    std::vector<std::pair<std::string, std::vector<std::string>>> trends;
    for (const Change& c : changes) {
        auto it = std::find_if(trends.begin(), trends.end(), [&](const auto& t) { return t.first == c.netuid; });
        if (it == trends.end()) {
            trends.push_back({c.netuid, {c.old_burn}});
            it = trends.end() - 1;
        }
        it->second.push_back(c.new_burn);
    }
    std::stable_sort(trends.begin(), trends.end(),
                     [](const auto& a, const auto& b) { return netuid_less(a.first, b.first); });
    if (json) {
        JsonValue document = JsonValue::make_object();
        document.set("history_file", JsonValue::make_text(history_path(path)));
        JsonValue list = list_value();
        for (const Change& c : changes) {
            JsonValue entry = JsonValue::make_object();
            entry.set("time_utc", JsonValue::make_text(c.time_utc));
            entry.set("netuid", JsonValue::make_text(c.netuid));
            entry.set("old", JsonValue::make_text(c.old_burn));
            entry.set("new", JsonValue::make_text(c.new_burn));
            list.items.push_back(std::move(entry));
        }
        document.set("changes", std::move(list));
        JsonValue subnets = JsonValue::make_object();
        for (const auto& [key, values] : trends) {
            JsonValue entry = JsonValue::make_object();
            JsonValue texts = list_value();
            for (const std::string& v : values) texts.items.push_back(JsonValue::make_text(v));
            entry.set("values", std::move(texts));
            entry.set("sparkline", JsonValue::make_text(sparkline(values)));
            subnets.set(key, std::move(entry));
        }
        document.set("subnets", std::move(subnets));
        view.out = engine::dump_json(document, kJsonOutput) + "\n";
        return view;
    }
    if (changes.empty()) {
        view.out = "no changes recorded in " + history_path(path) +
                   (netuid || since ? " for that selection" : "") + "\n";
        return view;
    }
    std::size_t width = 6;
    for (const Change& c : changes) width = std::max(width, length(c.netuid));
    std::vector<std::string> lines{align_left("time (UTC)", 20) + "  " + align_right("netuid", width) + "  " +
                                   align_right("old", 10) + "     " + align_right("new", 10)};
    for (const Change& c : changes)
        lines.push_back(align_left(c.time_utc, 20) + "  " + align_right(c.netuid, width) + "  " +
                        align_right(shown_burn(c.old_burn), 10) + "  →  " + align_right(shown_burn(c.new_burn), 10));
    lines.push_back("");
    lines.push_back(align_right("netuid", width) + "  " + align_right("changes", 7) + "  " + align_right("first", 10) +
                    "     " + align_right("last", 10) + "  trend");
    for (const auto& [key, values] : trends)
        lines.push_back(align_right(key, width) + "  " + align_right(std::to_string(values.size() - 1), 7) + "  " +
                        align_right(shown_burn(values.front()), 10) + "  →  " +
                        align_right(shown_burn(values.back()), 10) + "  " + sparkline(values));
    for (const std::string& line : lines) view.out += line + "\n";
    return view;
}

}  // namespace emberscope::records
