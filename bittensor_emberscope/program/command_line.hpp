// The `emberscope` command line: its commands, their options and help texts, read with CLI11.
// What a command does lives beside it; this file only knows what was asked.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config/settings.hpp"

namespace emberscope::program {

inline constexpr std::string_view kProgram = "emberscope";

/// The settings' flags as given (the environment and the defaults stand behind them).
using MonitorFlags = config::Flags;

/// One command line, read.
struct Invocation {
    /// "watch", "once", "snapshot", "test-send", "status", "history", "config check", "demo",
    /// "chats".
    std::string command;
    MonitorFlags flags;
    // watch
    bool snapshot = false;
    bool no_snapshot = false;
    bool verbose = false;
    bool no_bot = false;
    // status, history
    bool json = false;
    std::optional<long long> netuid;
    std::optional<std::string> since;
    // demo
    bool serve = false;
};

/// What the command line asked for when it is not a command to run: a help text for standard
/// output (exit status 0), or a usage error for standard error (exit status 2).
struct Shown {
    std::string text;
    int exit_status = 0;
};

/// Reads `argv` (without the program's name). Abbreviations of options are not taken.
std::variant<Invocation, Shown> read_command_line(const std::vector<std::string>& args,
                                                  int terminal_columns = 80);

/// The usage error of `command` ("watch", "config check"): the command's usage line and
/// "emberscope COMMAND: error: " before each of `problems`, for standard error.
std::string usage_error(const std::string& command, const std::vector<std::string>& problems);

}  // namespace emberscope::program
