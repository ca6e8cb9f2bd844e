// Settings of the `emberscope` command: flag, else environment variable, else default.
#include "config/settings.hpp"

#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "burns/numeric.hpp"
#include "burns/repr.hpp"
#include "common/text.hpp"
#include "common/utf8.hpp"
#include "config/values.hpp"

namespace emberscope::config {
namespace {

constexpr std::size_t kMaxSecretBytes = std::size_t{1} << 20;

constexpr std::string_view kKeyMissing =
    "the Taostats API key (TAOSTATS_API_KEY, or a file named by --taostats-key-file or "
    "TAOSTATS_API_KEY_FILE)";
constexpr std::string_view kTokenMissing =
    "the Telegram bot token (TELEGRAM_BOT_TOKEN, or a file named by --token-file or "
    "TELEGRAM_BOT_TOKEN_FILE)";
constexpr std::string_view kChatMissing = "the Telegram chat (--chat-id or TELEGRAM_CHAT_ID)";

// A variable's value; one set to "" counts as unset.
std::optional<std::string> non_empty(const Environment& environment, std::string_view name) {
    std::optional<std::string> value = environment(name);
    if (value && value->empty()) return std::nullopt;
    return value;
}

// The flag's value, else the variable's, with where it came from.
std::optional<Picked> pick(const std::optional<std::string>& flag, std::string_view flag_name,
                           const Environment& environment, std::string_view variable) {
    if (flag) return Picked{*flag, std::string(flag_name)};
    if (auto value = non_empty(environment, variable)) return Picked{*value, std::string(variable)};
    return std::nullopt;
}

// What the checks of one command found, in the order they ran.
class Faults {
public:
    void add(std::string fault) { list_.push_back(std::move(fault)); }
    bool any() const { return !list_.empty(); }
    std::size_t count() const { return list_.size(); }
    std::vector<std::string> take() { return std::move(list_); }

private:
    std::vector<std::string> list_;
};

// A number from the flag, else the variable, else `fallback`; a fault unless `acceptable`.
template <class Acceptable>
std::optional<double> number_setting(const std::optional<std::string>& flag, std::string_view flag_name,
                                     std::string_view variable, std::optional<double> fallback,
                                     Acceptable acceptable, std::string_view complaint,
                                     const Environment& environment, Faults& faults) {
    const std::optional<Picked> picked = pick(flag, flag_name, environment, variable);
    if (!picked) return fallback;
    const std::string shown = burns::repr(picked->value);
    const std::optional<double> value = burns::parse_numeric_text(picked->value);
    if (!value) faults.add(fmt::format("{}: {} is not a number", picked->origin, shown));
    else if (!std::isfinite(*value)) faults.add(fmt::format("{}: {} is not a finite number", picked->origin, shown));
    else if (!acceptable(*value)) faults.add(fmt::format("{}: {} {}", picked->origin, shown, complaint));
    else return value;
    return fallback;
}

double threshold_setting(const Flags& flags, const Environment& environment, Faults& faults) {
    return *number_setting(flags.threshold, "--threshold", "EMBERSCOPE_THRESHOLD", kDefaultThreshold,
                           [](double v) { return v >= 0; },
                           "is negative; the threshold is a distance between two values", environment,
                           faults);
}

// A secret from a file (flag, then variable) or from a variable itself; "" when there is none
// or it is at fault. The faults never show the value.
std::string secret(const std::optional<std::string>& file_flag, std::string_view flag_name,
                   std::string_view file_variable, std::string_view value_variable,
                   std::string_view what, const Sources& sources, Faults& faults) {
    const std::optional<Picked> path = pick(file_flag, flag_name, sources.environment, file_variable);
    if (!path) {
        std::string value = strip_white(sources.environment(value_variable).value_or(""));
        if (!has_control(value)) return value;
        faults.add(fmt::format("{}: the {} holds a control character", value_variable, what));
        return "";
    }
    const std::string named = burns::repr(path->value);
    const FileBytes read = sources.files.read_regular(path->value, kMaxSecretBytes);
    if (read.outcome != FileBytes::Outcome::read) {
        faults.add(fmt::format("{}: cannot read the {} file {}: {}", path->origin, what, named, read.why()));
        return "";
    }
    if (!utf8::is_strict(read.bytes)) {
        faults.add(fmt::format("{}: the {} file {} is not UTF-8 text", path->origin, what, named));
        return "";
    }
    std::string value = strip_white(read.bytes);
    if (value.empty()) {
        faults.add(fmt::format("{}: the {} file {} is empty", path->origin, what, named));
        return "";
    }
    if (has_control(value)) {
        // A second line, a stray tab or escape: the value would reach a request line or a header.
        faults.add(fmt::format("{}: the {} file {} holds a control character", path->origin, what, named));
        return "";
    }
    return value;
}

// An API base the command would send nothing useful to (set but empty, or no http(s) address):
// every cycle would fail, or every alert.
void check_api_base(std::string_view name, const Environment& environment, Faults& faults) {
    const std::optional<std::string> value = environment(name);
    if (!value) return;
    std::string_view base = *value;
    while (base.ends_with('/')) base.remove_suffix(1);
    std::string lower(base.substr(0, 8));
    for (char& c : lower) c = text::ascii_lower(c);
    if (lower.starts_with("http://") || lower.starts_with("https://")) return;
    faults.add(fmt::format("{}: {} is not an http:// or https:// address (unset it for the public "
                           "service)", name, burns::repr(*value)));
}

struct StatePath {
    std::string path;
    bool is_default = false;
    bool at_fault = false;
};

StatePath state_path(const Flags& flags, const Sources& sources, Faults& faults) {
    const std::optional<Picked> picked =
        pick(flags.state_file, "--state-file", sources.environment, "EMBERSCOPE_STATE_FILE");
    Files& files = sources.files;
    const std::size_t before = faults.count();
    if (!picked) {
        std::string path = default_state_path(sources.environment, files);
        const FileKind kind = files.kind(path);
        if (kind != FileKind::missing && kind != FileKind::regular && kind != FileKind::directory)
            faults.add(fmt::format("the state file {} is not a regular file", burns::repr(path)));
        return {std::move(path), true, faults.count() != before};
    }
    const std::string& text = picked->value;
    std::string folder = folder_of(text);
    if (folder.empty()) folder = ".";
    const FileKind kind = files.kind(text);
    if (files.kind(folder) != FileKind::directory)
        faults.add(fmt::format("{}: the state directory {} does not exist", picked->origin, burns::repr(folder)));
    else if (kind == FileKind::directory)
        faults.add(fmt::format("{}: {} is a directory, not a file", picked->origin, burns::repr(text)));
    else if (kind != FileKind::missing && kind != FileKind::regular)
        // A pipe would block every save, a device or a socket would swallow the state.
        faults.add(fmt::format("{}: {} is not a regular file", picked->origin, burns::repr(text)));
    return {text, false, faults.count() != before};
}

std::string pause_path(const Flags& flags, const Environment& environment, std::string_view state) {
    if (flags.pause_file) return *flags.pause_file;
    if (std::optional<std::string> value = environment("EMBERSCOPE_PAUSE_FILE"))
        return *value;  // set but empty: pausing switched off
    return joined(folder_of(state), kPauseFileName);
}

// Each file beside the state that is there but is no regular file (a FIFO would block).
void check_own_files(const Settings& s, const Sources& sources, Faults& faults) {
    std::vector<std::string> paths;
    if (sources.beside_state) paths = sources.beside_state(s.state_path);
    paths.push_back(s.pause_path);
    std::string problems;
    for (const std::string& path : paths) {
        if (path.empty()) continue;
        const FileKind kind = sources.files.kind(path);
        if (kind == FileKind::missing || kind == FileKind::regular) continue;
        problems += fmt::format("{}{} is {}, not a regular file", problems.empty() ? "" : "; ", path,
                                kind_words(kind));
    }
    if (!problems.empty()) faults.add(problems + "; the command keeps only regular files there");
}

struct FileConfig {
    std::optional<Config> config;
    bool named = false;     // a file was named
    std::string error;
};

FileConfig file_config(const Flags& flags, double threshold, const std::optional<Picked>& chat,
                       const Sources& sources) {
    const std::optional<Picked> path = pick(flags.config, "--config", sources.environment, "EMBERSCOPE_CONFIG");
    if (!path) return {};
    std::optional<std::string> fallback;
    if (chat) fallback = chat->value;
    ConfigResult loaded = load_config(sources.files, path->value, threshold, fallback);
    return {std::move(loaded.config), true, std::move(loaded.error)};
}

void monitoring_settings(const Flags& flags, Settings& s, const Sources& sources, Faults& faults) {
    const Environment& environment = sources.environment;
    s.outbox_max_age_hours = *number_setting(
        flags.outbox_max_age_hours, "--outbox-max-age-hours", "EMBERSCOPE_OUTBOX_MAX_AGE_HOURS",
        kDefaultOutboxMaxAgeHours, [](double v) { return v > 0; }, "is not a positive number of hours",
        environment, faults);
    s.wait_budget_seconds = number_setting(
        flags.wait_budget_seconds, "--wait-budget-seconds", "EMBERSCOPE_WAIT_BUDGET_SECONDS",
        std::nullopt, [](double v) { return v >= 0; }, "is negative", environment, faults);
    s.metrics_listen = pick(flags.metrics_listen, "--metrics-listen", environment, "EMBERSCOPE_METRICS_LISTEN");
    if (!flags.bot_allow_user.empty()) {
        s.bot_allow_users = flags.bot_allow_user;
        s.bot_allow_users_origin = "--bot-allow-user";
    } else {
        s.bot_allow_users = {environment("EMBERSCOPE_BOT_ALLOW_USERS").value_or("")};
        s.bot_allow_users_origin = "EMBERSCOPE_BOT_ALLOW_USERS";
    }
}

}  // namespace

std::string default_state_path(const Environment& environment, Files& files) {
    const std::string base = environment("XDG_STATE_HOME").value_or("");
    std::string root = base;
    if (!base.starts_with('/')) {
        std::optional<std::string> home = environment("HOME");
        if (!home) home = files.password_home();
        std::string folder = home.value_or("~");
        while (folder.ends_with('/')) folder.pop_back();
        if (folder.empty()) folder = "/";
        root = joined(joined(folder, ".local"), "state");
    }
    return joined(joined(root, "emberscope"), "state.json");
}

SettingsResult read_settings(const Flags& flags, const Needs& needs, const Sources& sources) {
    const Environment& environment = sources.environment;
    Faults faults;
    Settings s;
    if (needs.routes) s.threshold = threshold_setting(flags, environment, faults);
    if (needs.monitoring)
        s.interval_minutes = *number_setting(
            flags.interval_minutes, "--interval-minutes", "EMBERSCOPE_INTERVAL_MINUTES",
            kDefaultIntervalMinutes, [](double v) { return v >= 1; },
            "is below the shortest interval, 1 minute", environment, faults);
    const std::size_t before_token = faults.count();
    if (needs.bot_token)
        s.token = secret(flags.token_file, "--token-file", "TELEGRAM_BOT_TOKEN_FILE",
                         "TELEGRAM_BOT_TOKEN", "bot token", sources, faults);
    const bool token_at_fault = faults.count() != before_token;
    const std::size_t before_key = faults.count();
    if (needs.taostats_key)
        s.taostats_key = secret(flags.taostats_key_file, "--taostats-key-file", "TAOSTATS_API_KEY_FILE",
                                "TAOSTATS_API_KEY", "Taostats key", sources, faults);
    const bool key_at_fault = faults.count() != before_key;

    const std::optional<Picked> chat = pick(flags.chat_id, "--chat-id", environment, "TELEGRAM_CHAT_ID");
    if (chat) s.chat_id = chat->value;
    FileConfig file;
    if (needs.routes) file = file_config(flags, s.threshold, chat, sources);
    if (!file.error.empty()) faults.add(file.error);
    if (file.config) {
        s.config = std::move(*file.config);
        s.chat_id = s.config.routes.front().chat_id;
        s.threshold = s.config.routes.front().threshold;
    }

    std::vector<std::string_view> missing;
    if (needs.taostats_key && s.taostats_key.empty() && !key_at_fault) missing.push_back(kKeyMissing);
    if (needs.bot_token && s.token.empty() && !token_at_fault) missing.push_back(kTokenMissing);
    if (needs.chat && s.chat_id.empty() && !file.named) missing.push_back(kChatMissing);
    if (!missing.empty()) faults.add(fmt::format("missing {}", fmt::join(missing, "; ")));
    if (needs.taostats_key) check_api_base("TAOSTATS_API_BASE", environment, faults);
    if (needs.bot_token) check_api_base("TELEGRAM_API_BASE", environment, faults);
    if (needs.routes && !file.named) {
        if (!s.chat_id.empty()) s.config = single_route(s.chat_id, s.threshold);
        else if (!needs.chat)
            faults.add("no configuration file (--config or EMBERSCOPE_CONFIG) and no chat (--chat-id "
                       "or TELEGRAM_CHAT_ID): there is no route");
    }

    StatePath state;
    if (needs.state || needs.monitoring) {
        state = state_path(flags, sources, faults);
        s.state_path = state.path;
    }
    if (needs.monitoring) {
        s.pause_path = pause_path(flags, environment, s.state_path);
        if (!state.at_fault) check_own_files(s, sources, faults);
        monitoring_settings(flags, s, sources, faults);
        // The default state folder is made only for a command that runs.
        if (state.is_default && !faults.any())
            if (std::optional<std::string> why = sources.files.make_folders(folder_of(s.state_path)))
                faults.add(fmt::format("cannot create the state directory {}: {}",
                                       burns::repr(folder_of(s.state_path)), *why));
    }
    if (faults.any()) return {std::nullopt, faults.take()};
    return {std::move(s), {}};
}

Reloaded reload_settings(const Flags& flags, const Settings& previous, const Sources& sources) {
    Faults faults;
    const double threshold = threshold_setting(flags, sources.environment, faults);
    const std::optional<Picked> chat = pick(flags.chat_id, "--chat-id", sources.environment, "TELEGRAM_CHAT_ID");
    FileConfig file = file_config(flags, threshold, chat, sources);
    if (!file.named) faults.add("no configuration file (--config or EMBERSCOPE_CONFIG)");
    if (!file.error.empty()) faults.add(file.error);
    if (faults.any()) return {std::nullopt, fmt::format("{}", fmt::join(faults.take(), "; "))};
    Settings s = previous;
    s.config = std::move(*file.config);
    s.chat_id = s.config.routes.front().chat_id;
    s.threshold = s.config.routes.front().threshold;
    return {std::move(s), ""};
}

}  // namespace emberscope::config
