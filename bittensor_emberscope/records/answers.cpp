// The bot's answers.
#include "records/answers.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "bot/commands.hpp"
#include "burns/numeric.hpp"
#include "records/health.hpp"
#include "records/history.hpp"
#include "records/mutes.hpp"
#include "records/status_file.hpp"
#include "records/values.hpp"
#include "records/views.hpp"

namespace emberscope::records {

namespace {

std::string ago(double seconds) {
    const long long s = seconds > 0 ? static_cast<long long>(seconds) : 0;
    if (s < 120) return std::to_string(s) + " s";
    if (s < 7200) return std::to_string(s / 60) + " min";
    if (s < 172800) return std::to_string(s / 3600) + " h";
    return std::to_string(s / 86400) + " d";
}

// A period asked for in hours, as asked: "24 h", or "30 min" below an hour.
std::string hours(double seconds) {
    return seconds >= 3600 ? general_form(seconds / 3600) + " h" : general_form(seconds / 60) + " min";
}

std::string days(double seconds) {
    const double n = seconds / 86400;
    return general_form(n) + " day" + (n == 1 ? "" : "s");
}

std::optional<StoredValues> stored(const std::string& state_path) {
    auto loaded = load_values(state_path);
    if (StoredValues* values = std::get_if<StoredValues>(&loaded)) return std::move(*values);
    return std::nullopt;
}

const std::string* stored_value(const StoredValues& values, std::string_view netuid) {
    for (const auto& [key, raw] : values.burns)
        if (key == netuid) return &raw;
    return nullptr;
}

// The changes with a readable time, of one subnet or of all.
std::vector<Change> timed_changes(const std::string& state_path, std::optional<std::string_view> netuid) {
    std::vector<Change> out;
    for (Change& c : read_history(state_path).changes)
        if ((!netuid || c.netuid == *netuid) && c.moment()) out.push_back(std::move(c));
    return out;
}

constexpr std::string_view kNoValues = "No values stored yet: the monitor's first cycle records them.";

std::string not_stored(std::string_view netuid, const StoredValues& values) {
    return "SN" + std::string(netuid) + " is not among the " + std::to_string(values.burns.size()) +
           " stored subnets" + (values.updated_at ? " (as of " + *values.updated_at + ")." : std::string("."));
}

std::string join(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
    return out;
}

}  // namespace

std::string Answers::help() const {
    std::vector<std::string> lines{"I answer, from what the monitor stored (no live lookup):"};
    for (const bot::CommandInfo& c : bot::command_table())
        lines.push_back("/" + std::string(c.name) + (c.arguments.empty() ? "" : " " + std::string(c.arguments)) +
                        ": " + std::string(c.description));
    return join(lines);
}

std::string Answers::burn(std::string_view netuid, const Clock& now) const {
    const std::optional<StoredValues> values = stored(state_path_);
    if (!values) return std::string(kNoValues);
    const std::string* raw = stored_value(*values, netuid);
    if (!raw) return not_stored(netuid, *values);
    std::vector<std::string> lines{"SN" + std::string(netuid) + " owner burn: " + shown_burn(*raw)};
    const std::vector<Change> changes = timed_changes(state_path_, netuid);
    if (!changes.empty()) {
        const Change& last = changes.back();
        lines.push_back("changed " + last.time_utc + " (" + ago(now.epoch - *last.moment()) + " ago)");
        const std::size_t shown = std::min(kLastChanges, changes.size());
        lines.push_back("last " + std::to_string(shown) + " change(s):");
        for (std::size_t i = changes.size() - shown; i < changes.size(); ++i)
            lines.push_back(changes[i].time_utc + "  " + shown_burn(changes[i].old_burn) + " → " +
                            shown_burn(changes[i].new_burn));
    } else {
        lines.push_back("no change recorded since the monitor began");
    }
    const Mutes mutes = read_mutes(state_path_, now.epoch);
    std::optional<double> muted;
    for (const auto& [key, until] : mutes)
        if (key == netuid) muted = until;
    if (!muted)
        for (const auto& [key, until] : mutes)
            if (key == kAllSubnets) muted = until;
    if (muted) lines.push_back("alerts muted until " + format_utc(*muted));
    if (values->updated_at) lines.push_back("values as of " + *values->updated_at);
    return join(lines);
}

std::string Answers::changes(double seconds, const Clock& now) const {
    const double since = now.epoch - seconds;
    std::vector<std::string> lines;
    for (const Change& c : timed_changes(state_path_, std::nullopt))
        if (*c.moment() >= since)
            lines.push_back(c.time_utc + "  SN" + c.netuid + "  " + shown_burn(c.old_burn) + " → " +
                            shown_burn(c.new_burn));
    const std::string period = hours(seconds);
    if (lines.empty()) return "No changes in the last " + period + ".";
    std::string head = std::to_string(lines.size()) + " change(s) in the last " + period + ":";
    // The newest that fit into one message.
    std::size_t size = length(head) + 200;
    std::size_t kept = 0;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const std::size_t n = length(*it);
        if (size + n + 1 > kMessageLimit) break;
        size += n + 1;
        ++kept;
    }
    if (kept < lines.size())
        head += "\n(the oldest " + std::to_string(lines.size() - kept) +
                " left out; `emberscope history` lists them all)";
    std::vector<std::string> out{head};
    out.insert(out.end(), lines.end() - static_cast<std::ptrdiff_t>(kept), lines.end());
    return join(out);
}

std::string Answers::status(const Clock& now) const {
    std::vector<std::string> lines;
    const std::optional<JsonValue> status = read_status(state_path_);
    if (!status) {
        lines.push_back("No cycle recorded yet.");
    } else {
        for (const auto& [label, text] : describe(*status, now)) lines.push_back(label + ": " + text);
        const Health verdict = assess(&*status, now);
        std::string text = "health: ";
        if (verdict.ok) text += "ok";
        else {
            text += "UNHEALTHY: ";
            for (std::size_t i = 0; i < verdict.problems.size(); ++i) text += (i ? "; " : "") + verdict.problems[i];
        }
        lines.push_back(text);
    }
    if (const Mutes mutes = read_mutes(state_path_, now.epoch); !mutes.empty())
        lines.push_back("muted: " + describe_mutes(mutes));
    if (const std::optional<StoredValues> values = stored(state_path_))
        lines.push_back("values: " + std::to_string(values->burns.size()) + " subnets" +
                        (values->updated_at ? " as of " + *values->updated_at : std::string()));
    return join(lines);
}

std::string Answers::mute(std::string_view target, double seconds, const Clock& now) const {
    const bool every = target == kAllSubnets;
    if (!every) {
        // A subnet that is not in the listing cannot change: muting it is a typing error.
        const std::optional<StoredValues> values = stored(state_path_);
        if (!values) return std::string(kNoValues);
        if (!stored_value(*values, target)) return not_stored(target, *values);
    }
    Mutes mutes = read_mutes(state_path_, now.epoch);
    const double until = std::floor(now.epoch) + seconds;
    std::erase_if(mutes, [&](const auto& m) { return m.first == target; });
    mutes.emplace_back(std::string(target), until);
    write_mutes(state_path_, mutes);
    return (every ? std::string("Every subnet") : "SN" + std::string(target)) + " muted until " + format_utc(until) +
           ": changes are still recorded, but not alerted. /unmute ends it sooner.";
}

std::string Answers::unmute(std::string_view target, const Clock& now) const {
    Mutes mutes = read_mutes(state_path_, now.epoch);
    if (target == kAllSubnets) {
        if (mutes.empty()) return "Nothing is muted.";
        write_mutes(state_path_, {});
        return "Every mute lifted: alerts for all subnets again.";
    }
    const auto it = std::find_if(mutes.begin(), mutes.end(), [&](const auto& m) { return m.first == target; });
    if (it == mutes.end()) {
        const bool all = std::any_of(mutes.begin(), mutes.end(), [](const auto& m) { return m.first == kAllSubnets; });
        return "SN" + std::string(target) + " was not muted" +
               (all ? " (every subnet is muted: /unmute all)" : "") + ".";
    }
    mutes.erase(it);
    write_mutes(state_path_, mutes);
    return "SN" + std::string(target) + " unmuted: its changes are alerted again.";
}

std::variant<ChartData, std::string> Answers::chart(std::string_view netuid, double seconds, const Clock& now) const {
    const std::optional<StoredValues> values = stored(state_path_);
    const std::string* current = values ? stored_value(*values, netuid) : nullptr;
    const std::vector<Change> changes = timed_changes(state_path_, netuid);
    if (!current && changes.empty()) return "No values stored for SN" + std::string(netuid) + ".";
    const double start = now.epoch - seconds;
    const Change* before = nullptr;  // the last change before the period
    std::vector<const Change*> inside;
    for (const Change& c : changes) {
        if (*c.moment() < start) before = &c;
        else inside.push_back(&c);
    }
    const std::string first = before ? before->new_burn : !inside.empty() ? inside.front()->old_burn : *current;
    const std::string last = current ? *current : changes.back().new_burn;
    std::vector<std::pair<double, std::string>> raw{{start, first}};
    for (const Change* c : inside) raw.emplace_back(*c->moment(), c->new_burn);
    raw.emplace_back(now.epoch, last);
    ChartData chart;
    for (const auto& [moment, text] : raw) {
        const std::optional<double> value = burns::parse_numeric_text(text);
        if (value && std::isfinite(*value)) chart.points.emplace_back(moment, *value);
    }
    if (chart.points.empty()) return "SN" + std::string(netuid) + "'s stored values are not numbers; nothing to draw.";
    std::string caption = chart_title(netuid, seconds) + ": now " + shown_burn(last);
    if (!changes.empty()) caption += " (since " + changes.back().time_utc + ")";
    chart.caption = first_code_points(caption, kCaptionLimit);
    return chart;
}

std::string chart_title(std::string_view netuid, double seconds) {
    return "SN" + std::string(netuid) + " owner burn, last " + days(seconds);
}

}  // namespace emberscope::records
