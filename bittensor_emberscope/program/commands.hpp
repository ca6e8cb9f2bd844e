// The commands of `emberscope`, each run from its invocation; their exit statuses.
#pragma once

#include <string>
#include <vector>

#include "program/command_line.hpp"
#include "program/console.hpp"

namespace emberscope::program {

/// The whole program: reads `args` (without the program's name), runs the command, and returns
/// the exit status (2 for a usage error, 1 when standard output failed).
int run_program(const std::vector<std::string>& args);

/// The terminal's width as the help texts use it: COLUMNS, else standard output's terminal,
/// else 80.
int terminal_columns();

}  // namespace emberscope::program
