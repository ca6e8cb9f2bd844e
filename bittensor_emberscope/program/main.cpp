// `emberscope`: the command line read, the command run, its exit status.
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "program/command_line.hpp"
#include "program/commands.hpp"
#include "program/console.hpp"

int main(int argc, char** argv) {
    using namespace emberscope::program;
    // A reader of standard output that goes away is an error of the write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    return run_program(args);
}
