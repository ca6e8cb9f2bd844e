// Settings of the `emberscope` command: each flag with an environment variable behind it and a
// default, the secrets from the environment or from files, and the configuration file's routes,
// all checked before anything runs. Every setting at fault is named, not the first alone.
//
// The Taostats key and the bot token come from the environment or from a file named by a flag,
// never as a value on the command line, which every user of the machine can read.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.hpp"
#include "config/files.hpp"

namespace emberscope::config {

inline constexpr double kDefaultThreshold = 0.01;
inline constexpr double kDefaultIntervalMinutes = 5;
inline constexpr double kDefaultOutboxMaxAgeHours = 24;
/// The pause file's name beside the state file, when neither flag nor variable names one.
inline constexpr std::string_view kPauseFileName = "pause";

/// The flags as given on the command line; nullopt for a flag not given ("" is given).
struct Flags {
    std::optional<std::string> state_file;
    std::optional<std::string> threshold;
    std::optional<std::string> interval_minutes;
    std::optional<std::string> outbox_max_age_hours;
    std::optional<std::string> wait_budget_seconds;
    std::optional<std::string> pause_file;
    std::optional<std::string> chat_id;
    std::optional<std::string> config;
    std::optional<std::string> token_file;
    std::optional<std::string> taostats_key_file;
    std::optional<std::string> metrics_listen;
    std::vector<std::string> bot_allow_user;
};

/// The process's environment: a variable's value, nullopt when unset.
using Environment = std::function<std::optional<std::string>(std::string_view name)>;

/// The files a monitoring command keeps beside the state file (status, history, outbox, mutes,
/// bot offset, lock), named by their owner.
using SiblingFiles = std::function<std::vector<std::string>(std::string_view state_path)>;

/// What a command reads, and refuses to run without.
struct Needs {
    bool taostats_key = false;  ///< the Taostats key; TAOSTATS_API_BASE checked
    bool bot_token = false;     ///< the bot token; TELEGRAM_API_BASE checked
    bool chat = false;          ///< a chat: --chat-id, TELEGRAM_CHAT_ID or the file's routes
    bool routes = false;        ///< the thresholds and the configuration file
    bool state = false;         ///< the state file
    bool monitoring = false;    ///< interval, pause file, outbox age, wait budget, the files
                                ///< beside the state; the default state folder is created
};

/// watch, once and snapshot.
inline constexpr Needs kMonitorNeeds{true, true, true, true, true, true};
inline constexpr Needs kTestSendNeeds{.bot_token = true, .chat = true, .routes = true};
inline constexpr Needs kChatsNeeds{.bot_token = true};
inline constexpr Needs kConfigCheckNeeds{.routes = true};
/// status and history.
inline constexpr Needs kViewNeeds{.state = true};

/// A value with where it came from: the flag's name or the variable's.
struct Picked {
    std::string value;
    std::string origin;
};

/// Everything a command hands on. What its Needs leave out keeps its default.
struct Settings {
    std::string state_path;
    double threshold = kDefaultThreshold;  ///< the first route's
    double interval_minutes = kDefaultIntervalMinutes;
    std::string pause_path;                ///< "" when pausing is switched off
    std::string chat_id;                   ///< the first route's
    std::string token;                     ///< never shown
    std::string taostats_key;              ///< never shown
    double outbox_max_age_hours = kDefaultOutboxMaxAgeHours;
    std::optional<double> wait_budget_seconds;
    Config config;                         ///< the file's routes, else one to chat_id
    std::optional<Picked> metrics_listen;  ///< --metrics-listen, else EMBERSCOPE_METRICS_LISTEN
    /// --bot-allow-user's values, else EMBERSCOPE_BOT_ALLOW_USERS's (each comma-separated).
    std::vector<std::string> bot_allow_users;
    std::string bot_allow_users_origin;
};

/// The settings, or every fault found (each a line naming its flag, variable or file).
struct SettingsResult {
    std::optional<Settings> settings;
    std::vector<std::string> faults;
};

/// The services the settings are read through.
struct Sources {
    const Environment& environment;
    Files& files;
    SiblingFiles beside_state;  ///< may be empty: no file beside the state is looked at
};

/// Reads and checks every setting `needs` asks for.
SettingsResult read_settings(const Flags& flags, const Needs& needs, const Sources& sources);

/// The settings with the configuration file read again (SIGHUP), or why they were not: no file
/// is named, or it cannot be used. The previous settings stand in that case.
struct Reloaded {
    std::optional<Settings> settings;
    std::string reason;
};
Reloaded reload_settings(const Flags& flags, const Settings& previous, const Sources& sources);

/// $XDG_STATE_HOME/emberscope/state.json when XDG_STATE_HOME is an absolute path, else
/// ~/.local/state/emberscope/state.json.
std::string default_state_path(const Environment& environment, Files& files);

}  // namespace emberscope::config
