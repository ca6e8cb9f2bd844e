// The bot's commands: what an operator may ask in the chat, read from a message's text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace emberscope::bot {

/// One command the bot answers: its name (without "/"), its arguments as shown in the usage
/// line, and the description registered with Telegram.
struct CommandInfo {
    std::string_view name;
    std::string_view arguments;
    std::string_view description;
};

/// Every command, in the order /help lists them and Telegram's menu shows them.
std::span<const CommandInfo> command_table();

/// The one-line usage answer for the command `name` ("usage: /burn N  (...)"); for a name not in
/// the table, the line naming /help.
std::string usage_line(std::string_view name);

/// Longest period /chart covers and /changes lists; longest mute.
inline constexpr double kMaxChartDays = 3650;
inline constexpr double kMaxChangesHours = 24 * 366;
inline constexpr double kMaxMuteSeconds = 366 * 86400.0;
inline constexpr double kDefaultChartDays = 30;
inline constexpr double kDefaultChangesHours = 24;

/// A message's text as the bot reads it.
struct Parsed {
    enum class Kind {
        ignored,  ///< not a command, or a command addressed to another bot
        command,  ///< a command with valid arguments: `name` and its fields
        usage,    ///< a command of ours with bad arguments: answer `usage`
    };
    Kind kind = Kind::ignored;
    std::string name;           ///< "burn", "chart", "changes", "status", "mute", "unmute", "help"
    std::string netuid;         ///< burn, chart: digits; mute, unmute: digits or "all"
    double period_seconds = 0;  ///< chart: days, changes: hours, mute: the duration; in seconds
    std::string usage;          ///< the one-line answer for Kind::usage
};

/// Reads a message text. A command is "/name" or "/name@bot" at the start, then arguments
/// separated by blanks. `bot_name` is the bot's own user name (without "@", any case): a command
/// addressed to another name is ignored. An unknown command is ignored unless it is addressed to
/// this bot by name (then the usage line names /help). "/start" reads as "/help".
Parsed parse_command(std::string_view text, std::string_view bot_name);

/// A subnet number: 1 to 5 ASCII digits without sign, at most 65535; its canonical digits
/// (no leading zeros), or nullopt.
std::optional<std::string> parse_netuid(std::string_view text);

/// A duration "90s", "30m", "12h", "7d", "2w" (a positive whole or decimal number and a unit),
/// in seconds; nullopt for anything else, zero, or more than kMaxMuteSeconds.
std::optional<double> parse_duration(std::string_view text);

}  // namespace emberscope::bot
