// The command line of `emberscope`: one table of commands and options serves the parser (CLI11)
// and the help texts, so an option and its help never part.
#include "program/command_line.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <span>

#include "program/help_texts.hpp"

namespace emberscope::program {
namespace {

// Which value of the invocation an option sets.
using TextSlot = std::optional<std::string> MonitorFlags::*;

struct OptionInfo {
    std::string_view name;     ///< "--state-file"
    std::string_view metavar;  ///< "PATH"; empty for a flag
    std::string_view help;
    TextSlot slot = nullptr;   ///< a monitor flag's text, when it is one
};

// The settings every monitor command takes (flag, else environment variable, else default).
constexpr OptionInfo kStateFile{"--state-file", "PATH", help::kStateFile, &MonitorFlags::state_file};
constexpr OptionInfo kThreshold{"--threshold", "NUMBER", help::kThreshold, &MonitorFlags::threshold};
constexpr OptionInfo kInterval{"--interval-minutes", "MINUTES", help::kInterval,
                               &MonitorFlags::interval_minutes};
constexpr OptionInfo kOutboxAge{"--outbox-max-age-hours", "HOURS", help::kOutboxAge,
                                &MonitorFlags::outbox_max_age_hours};
constexpr OptionInfo kBudget{"--wait-budget-seconds", "SECONDS", help::kBudget,
                             &MonitorFlags::wait_budget_seconds};
constexpr OptionInfo kPauseFile{"--pause-file", "PATH", help::kPauseFile, &MonitorFlags::pause_file};
constexpr OptionInfo kChatId{"--chat-id", "ID", help::kChatId, &MonitorFlags::chat_id};
constexpr OptionInfo kConfig{"--config", "PATH", help::kConfig, &MonitorFlags::config};
constexpr OptionInfo kTokenFile{"--token-file", "PATH", help::kTokenFile, &MonitorFlags::token_file};
constexpr OptionInfo kKeyFile{"--taostats-key-file", "PATH", help::kKeyFile,
                              &MonitorFlags::taostats_key_file};

constexpr OptionInfo kMonitorOptions[] = {kStateFile, kThreshold, kInterval, kOutboxAge, kBudget,
                                          kPauseFile, kChatId,    kConfig,   kTokenFile, kKeyFile};

struct Group {
    std::string_view title;  ///< empty: the command's own options
    std::vector<OptionInfo> options;
};

struct CommandInfo {
    std::string_view name;  ///< "watch", "config check"
    std::string_view summary;
    std::string_view epilog;
    std::vector<Group> groups;
    bool listed = true;  ///< shown in the program's list of commands
};

constexpr std::string_view kSettingsTitle = "settings (flag, else environment variable, else default)";
constexpr std::string_view kSecretsTitle = "settings (flag, else environment variable)";

const std::vector<CommandInfo>& commands() {
    static const std::vector<CommandInfo> table = [] {
        const Group monitor{kSettingsTitle, {std::begin(kMonitorOptions), std::end(kMonitorOptions)}};
        std::vector<CommandInfo> t;
        t.push_back({"watch", help::kWatchSummary, help::kWatchEpilog,
                     {{"",
                       {{"--snapshot", "", help::kSnapshotFlag},
                        {"--no-snapshot", "", help::kNoSnapshotFlag},
                        {"--verbose", "", help::kVerbose},
                        {"--no-bot", "", help::kNoBot},
                        {"--bot-allow-user", "ID", help::kBotAllowUser},
                        {"--metrics-listen", "ADDRESS:PORT", help::kMetricsListen}}},
                      monitor}});
        t.push_back({"once", help::kOnceSummary, help::kOnceEpilog, {monitor}});
        t.push_back({"snapshot", help::kSnapshotSummary, help::kSnapshotEpilog, {monitor}});
        t.push_back({"test-send", help::kTestSendSummary, help::kTestSendEpilog,
                     {{kSecretsTitle,
                       {{"--chat-id", "ID", help::kTestSendChatId, &MonitorFlags::chat_id},
                        kTokenFile}}}});
        t.push_back({"status", help::kStatusSummary, help::kStatusEpilog,
                     {{"",
                       {{"--state-file", "PATH", help::kViewStateFile, &MonitorFlags::state_file},
                        {"--json", "", help::kJson}}}}});
        t.push_back({"history", help::kHistorySummary, help::kHistoryEpilog,
                     {{"",
                       {{"--state-file", "PATH", help::kViewStateFile, &MonitorFlags::state_file},
                        {"--netuid", "N", help::kNetuid},
                        {"--since", "DATE", help::kSince},
                        {"--json", "", help::kJson}}}}});
        t.push_back({"config", help::kConfigSummary, help::kConfigEpilog, {}});
        t.push_back({"config check", help::kConfigCheckSummary, help::kConfigEpilog,
                     {{kSettingsTitle,
                       {{"--config", "PATH", help::kConfigCheckFile, &MonitorFlags::config},
                        {"--threshold", "NUMBER", help::kConfigCheckThreshold,
                         &MonitorFlags::threshold},
                        {"--chat-id", "ID", help::kConfigCheckChatId, &MonitorFlags::chat_id}}}},
                     false});
        t.push_back({"demo", help::kDemoSummary, help::kDemoEpilog,
                     {{"", {{"--serve", "", help::kDemoServe}}}}});
        t.push_back({"chats", help::kChatsSummary, help::kChatsEpilog, {{kSecretsTitle, {kTokenFile}}}});
        return t;
    }();
    return table;
}

const CommandInfo* command_info(std::string_view name) {
    for (const CommandInfo& c : commands())
        if (c.name == name) return &c;
    return nullptr;
}

// Words of `text` laid in lines of at most `width` columns, each line after the first indented
// by `indent`.
std::string wrapped(std::string_view text, std::size_t first_column, std::size_t indent,
                    std::size_t width) {
    std::string out;
    std::size_t column = first_column;
    bool line_start = true;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && text[at] == ' ') ++at;
        std::size_t end = text.find(' ', at);
        if (end == std::string_view::npos) end = text.size();
        if (at == end) break;
        const std::string_view word = text.substr(at, end - at);
        if (!line_start && column + 1 + word.size() > width) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
            line_start = true;
        }
        if (!line_start) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        line_start = false;
        at = end;
    }
    return out;
}

std::string option_usage(const OptionInfo& o) {
    std::string s = "[" + std::string(o.name);
    if (!o.metavar.empty()) s += " " + std::string(o.metavar);
    return s + "]";
}

std::string usage_line(const CommandInfo& c, std::size_t width) {
    std::string head = "usage: " + std::string(kProgram) + " " + std::string(c.name);
    std::string words = "[-h]";
    for (const Group& g : c.groups)
        for (const OptionInfo& o : g.options) words += " " + option_usage(o);
    if (c.name == "config") words += " COMMAND ...";
    // Options stay whole on a line: their inner blank is not a place to break.
    std::string out = head;
    std::size_t column = head.size();
    const std::size_t indent = head.size() + 1;
    std::size_t at = 0;
    while (at < words.size()) {
        std::size_t end = words[at] == '[' ? words.find(']', at) + 1 : words.find(' ', at);
        if (end == std::string::npos || end == 0) end = words.size();
        const std::string word = words.substr(at, end - at);
        if (column + 1 + word.size() > width && column > indent) {
            out += "\n" + std::string(indent, ' ');
            column = indent - 1;
        }
        out += " " + word;
        column += 1 + word.size();
        at = end;
        while (at < words.size() && words[at] == ' ') ++at;
    }
    return out + "\n";
}

std::string option_lines(const OptionInfo& o, std::size_t width) {
    constexpr std::size_t kHelpColumn = 24;
    std::string head = "  " + std::string(o.name);
    if (!o.metavar.empty()) head += " " + std::string(o.metavar);
    std::string out = head;
    if (head.size() + 2 > kHelpColumn) {
        out += "\n" + std::string(kHelpColumn, ' ');
    } else {
        out += std::string(kHelpColumn - head.size(), ' ');
    }
    return out + wrapped(o.help, kHelpColumn, kHelpColumn, width) + "\n";
}

std::string command_help(const CommandInfo& c, std::size_t width) {
    std::string out = usage_line(c, width) + "\n" + wrapped(c.summary, 0, 0, width) + "\n\n";
    if (c.name == "config") {
        out += "commands:\n  COMMAND\n    check               " +
               wrapped(help::kConfigCheckSummary, 24, 24, width) + "\n\n";
    }
    out += "options:\n  -h, --help            show this help message and exit\n";
    for (const Group& g : c.groups) {
        if (g.title.empty()) {
            for (const OptionInfo& o : g.options) out += option_lines(o, width);
        }
    }
    for (const Group& g : c.groups) {
        if (g.title.empty()) continue;
        out += "\n" + std::string(g.title) + ":\n";
        for (const OptionInfo& o : g.options) out += option_lines(o, width);
    }
    return out + "\n" + std::string(c.epilog);
}

std::string program_usage() {
    return "usage: " + std::string(kProgram) + " [-h] COMMAND ...\n";
}

std::string program_help(std::size_t width) {
    std::string out = program_usage() + "\n" + std::string(help::kDescription) +
                      "\noptions:\n  -h, --help            show this help message and exit\n\n"
                      "commands:\n  COMMAND\n";
    for (const CommandInfo& c : commands()) {
        if (!c.listed) continue;
        std::string head = "    " + std::string(c.name);
        if (head.size() + 2 > 24) {
            out += head + "\n" + std::string(24, ' ');
        } else {
            out += head + std::string(24 - head.size(), ' ');
        }
        out += wrapped(c.summary, 24, 24, width) + "\n";
    }
    return out + "\n" + std::string(help::kEpilog);
}

bool is_help(std::string_view arg) { return arg == "-h" || arg == "--help"; }

// The parse of one command's options with CLI11.
std::variant<Invocation, std::string> parse_options(const CommandInfo& c,
                                                    std::span<const std::string> args) {
    CLI::App app;
    app.set_help_flag();
    app.allow_extras();
    Invocation inv;
    inv.command = std::string(c.name);
    std::string netuid_text;
    CLI::Option* netuid_option = nullptr;
    std::vector<std::pair<const OptionInfo*, CLI::Option*>> texts;
    std::vector<std::string> values(32);
    std::size_t next = 0;
    CLI::Option* snapshot_option = nullptr;
    CLI::Option* no_snapshot_option = nullptr;
    for (const Group& g : c.groups) {
        for (const OptionInfo& o : g.options) {
            const std::string name(o.name);
            if (o.metavar.empty()) {
                bool* flag = name == "--snapshot"      ? &inv.snapshot
                             : name == "--no-snapshot" ? &inv.no_snapshot
                             : name == "--verbose"     ? &inv.verbose
                             : name == "--no-bot"      ? &inv.no_bot
                             : name == "--json"        ? &inv.json
                                                       : &inv.serve;
                CLI::Option* added = app.add_flag(name, *flag);
                if (name == "--snapshot") snapshot_option = added;
                if (name == "--no-snapshot") no_snapshot_option = added;
                continue;
            }
            if (name == "--bot-allow-user") {
                app.add_option(name, inv.flags.bot_allow_user)->allow_extra_args(false);
                continue;
            }
            CLI::Option* added = app.add_option(name, values.at(next++))
                                     ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
            if (name == "--netuid") netuid_option = added;
            texts.emplace_back(&o, added);
        }
    }
    std::vector<const char*> argv{"emberscope"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
            for (const auto& [info, option] : texts) {
                if (message.find(std::string(info->name)) != std::string::npos)
                    return "argument " + std::string(info->name) + ": expected one argument";
            }
        }
        return message;
    }
    if (std::vector<std::string> rest = app.remaining(); !rest.empty()) {
        std::string joined;
        for (const std::string& r : rest) joined += (joined.empty() ? "" : " ") + r;
        return "unrecognized arguments: " + joined;
    }
    if (snapshot_option && no_snapshot_option && inv.snapshot && inv.no_snapshot)
        return "argument --no-snapshot: not allowed with argument --snapshot";
    for (const auto& [info, option] : texts) {
        if (option->count() == 0) continue;
        const std::string value = option->as<std::string>();
        if (info->slot) inv.flags.*(info->slot) = value;
        else if (info->name == "--metrics-listen") inv.flags.metrics_listen = value;
        else if (info->name == "--since") inv.since = value;
        else if (info->name == "--netuid") netuid_text = value;
    }
    if (netuid_option && netuid_option->count() > 0) {
        try {
            std::size_t used = 0;
            const long long n = std::stoll(netuid_text, &used, 10);
            if (used != netuid_text.size()) throw std::invalid_argument(netuid_text);
            inv.netuid = n;
        } catch (const std::exception&) {
            return "argument --netuid: invalid int value: '" + netuid_text + "'";
        }
    }
    return inv;
}

}  // namespace

std::string usage_error(const std::string& command, const std::vector<std::string>& problems) {
    const CommandInfo* c = command_info(command);
    std::string out = c ? usage_line(*c, 80) : program_usage();
    const std::string who = command.empty() ? std::string(kProgram)
                                            : std::string(kProgram) + " " + command;
    for (const std::string& p : problems) out += who + ": error: " + p + "\n";
    return out;
}

std::variant<Invocation, Shown> read_command_line(const std::vector<std::string>& args,
                                                  int terminal_columns) {
    const std::size_t width = static_cast<std::size_t>(std::max(terminal_columns, 40)) - 2;
    if (args.empty()) return Shown{usage_error("", {"the following arguments are required: COMMAND"}), 2};
    if (is_help(args[0])) return Shown{program_help(width), 0};
    std::string name = args[0];
    std::size_t first_option = 1;
    if (name == "config") {
        if (args.size() < 2) return Shown{usage_error("config", {"the following arguments are required: COMMAND"}), 2};
        if (is_help(args[1])) return Shown{command_help(*command_info("config"), width), 0};
        if (args[1] != "check")
            return Shown{usage_error("config", {"argument COMMAND: invalid choice: '" + args[1] +
                                                "' (choose from 'check')"}),
                         2};
        name = "config check";
        first_option = 2;
    }
    const CommandInfo* c = command_info(name);
    if (!c) {
        std::string choices;
        for (const CommandInfo& k : commands())
            if (k.listed) choices += (choices.empty() ? "'" : ", '") + std::string(k.name) + "'";
        return Shown{usage_error("", {"argument COMMAND: invalid choice: '" + name +
                                      "' (choose from " + choices + ")"}),
                     2};
    }
    const std::span<const std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(first_option),
                                            args.end());
    for (const std::string& a : rest) {
        if (a == "--") break;
        if (is_help(a)) return Shown{command_help(*c, width), 0};
    }
    auto parsed = parse_options(*c, rest);
    if (auto* problem = std::get_if<std::string>(&parsed))
        return Shown{usage_error(name, {*problem}), 2};
    return std::get<Invocation>(std::move(parsed));
}

}  // namespace emberscope::program
