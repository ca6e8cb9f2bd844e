// The bot's commands.
#include "bot/commands.hpp"

#include "common/text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <vector>

namespace emberscope::bot {
namespace {

constexpr std::array kCommands = {
    CommandInfo{"burn", "N", "SN N's owner burn now, when it last changed, its last changes"},
    CommandInfo{"chart", "N [days]", "a chart of SN N's owner burn (default 30 days)"},
    CommandInfo{"changes", "[hours]", "every change in the period (default 24 hours)"},
    CommandInfo{"status", "", "is the monitor alive: last cycle, outbox, next cycle"},
    CommandInfo{"mute", "N|all DURATION", "hold alerts for SN N (or all) e.g. 12h, 3d"},
    CommandInfo{"unmute", "N|all", "alerts for SN N (or all) again"},
    CommandInfo{"help", "", "what each command answers"},
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && blank(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !blank(text[i])) ++i;
        if (i > start) out.push_back(text.substr(start, i - start));
    }
    return out;
}

// A positive finite number written with ASCII digits and at most one point.
std::optional<double> positive_number(std::string_view text) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    bool point = false, digit = false;
    for (char c : text) {
        if (c == '.' && !point) point = true;
        else if (c >= '0' && c <= '9') digit = true;
        else return std::nullopt;
    }
    if (!digit) return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (!std::isfinite(value) || value <= 0) return std::nullopt;
    return value;
}

bool known(std::string_view name) {
    for (const auto& c : kCommands)
        if (c.name == name) return true;
    return false;
}

Parsed usage(std::string_view name) {
    Parsed p;
    p.kind = Parsed::Kind::usage;
    p.name = std::string(name);
    p.usage = usage_line(name);
    return p;
}

Parsed command(std::string_view name) {
    Parsed p;
    p.kind = Parsed::Kind::command;
    p.name = std::string(name);
    return p;
}

}  // namespace

std::span<const CommandInfo> command_table() { return kCommands; }

std::string usage_line(std::string_view name) {
    for (const auto& c : kCommands) {
        if (c.name != name) continue;
        std::string line = "usage: /" + std::string(c.name);
        if (!c.arguments.empty()) line += " " + std::string(c.arguments);
        return line + "  (" + std::string(c.description) + ")";
    }
    return "unknown command; /help lists what I answer";
}

std::optional<std::string> parse_netuid(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + unsigned(c - '0');
    }
    if (value > 65535) return std::nullopt;
    return std::to_string(value);
}

std::optional<double> parse_duration(std::string_view text) {
    if (text.size() < 2) return std::nullopt;
    double unit = 0;
    switch (text::ascii_lower(text.back())) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        case 'w': unit = 7 * 86400; break;
        default: return std::nullopt;
    }
    const std::optional<double> number = positive_number(text.substr(0, text.size() - 1));
    if (!number) return std::nullopt;
    const double seconds = *number * unit;
    if (seconds < 1 || seconds > kMaxMuteSeconds) return std::nullopt;
    return seconds;
}

Parsed parse_command(std::string_view text, std::string_view bot_name) {
    const std::vector<std::string_view> w = words(text);
    if (w.empty() || w[0].size() < 2 || w[0][0] != '/') return {};
    std::string_view head = w[0].substr(1);
    bool addressed = false;
    if (const std::size_t at = head.find('@'); at != std::string_view::npos) {
        if (!text::same_ignoring_case(head.substr(at + 1), bot_name)) return {};
        addressed = true;
        head = head.substr(0, at);
    }
    std::string name;
    for (char c : head) name += text::ascii_lower(c);
    if (name == "start") name = "help";
    if (!known(name)) return addressed ? usage(name) : Parsed{};
    const std::span<const std::string_view> rest(w.data() + 1, w.size() - 1);

    if (name == "status" || name == "help")
        return rest.empty() ? command(name) : usage(name);
    if (name == "burn" || name == "chart") {
        const std::size_t most = name == "burn" ? 1 : 2;
        if (rest.empty() || rest.size() > most) return usage(name);
        std::optional<std::string> netuid = parse_netuid(rest[0]);
        if (!netuid) return usage(name);
        Parsed p = command(name);
        p.netuid = *netuid;
        if (name == "chart") {
            double days = kDefaultChartDays;
            if (rest.size() == 2) {
                std::optional<double> given = positive_number(rest[1]);
                if (!given || *given > kMaxChartDays) return usage(name);
                days = *given;
            }
            p.period_seconds = days * 86400;
        }
        return p;
    }
    if (name == "changes") {
        if (rest.size() > 1) return usage(name);
        double hours = kDefaultChangesHours;
        if (rest.size() == 1) {
            std::optional<double> given = positive_number(rest[0]);
            if (!given || *given > kMaxChangesHours) return usage(name);
            hours = *given;
        }
        Parsed p = command(name);
        p.period_seconds = hours * 3600;
        return p;
    }
    // mute, unmute
    const std::size_t count = name == "mute" ? 2 : 1;
    if (rest.size() != count) return usage(name);
    std::optional<std::string> target =
        text::same_ignoring_case(rest[0], "all") ? std::optional<std::string>("all") : parse_netuid(rest[0]);
    if (!target) return usage(name);
    Parsed p = command(name);
    p.netuid = *target;
    if (name == "mute") {
        std::optional<double> seconds = parse_duration(rest[1]);
        if (!seconds) return usage(name);
        p.period_seconds = *seconds;
    }
    return p;
}

}  // namespace emberscope::bot
