// Charts drawn by a child process of the environment's interpreter (`python -m
// bittensor_emberscope.chart -`), so the plotting library never enters the program. The child
// writes the PNG to its standard output: no temporary file is left when either side is killed,
// and the child is killed when the thread that started it ends (PR_SET_PDEATHSIG).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bot/replies.hpp"

namespace emberscope::native {

/// Seconds a chart may take, and the largest picture read (Telegram's limit on a photo).
inline constexpr double kChartTimeout = 60.0;
inline constexpr std::size_t kMaxPicture = 10u << 20;

/// The folder of the running program (/proc/self/exe), "" when it cannot be read.
std::string program_dir();

/// The interpreter beside the program: `<dir>/python3`, else `<dir>/python`, when executable.
std::optional<std::string> find_interpreter(std::string_view dir);

/// The child's input: {"title": ..., "points": [[t, v], ...]}.
std::string chart_document(const bot::Chart& chart);

class ChartChild : public bot::ChartDrawer {
public:
    /// `interpreter`: nullopt when none was found (every chart is then unavailable);
    /// `cache_dir`: the plotting library's cache when MPLCONFIGDIR is not set ("" for none);
    /// `cancel_fd`: a descriptor whose readability kills a child under way (-1 for none).
    ChartChild(std::optional<std::string> interpreter, std::string cache_dir, int cancel_fd = -1,
               double timeout = kChartTimeout)
        : interpreter_(std::move(interpreter)), cache_dir_(std::move(cache_dir)),
          cancel_fd_(cancel_fd), timeout_(timeout) {}

    bot::Drawn draw(const bot::Chart& chart) override;

private:
    std::optional<std::string> interpreter_;
    std::string cache_dir_;
    int cancel_fd_;
    double timeout_;
};

/// Runs `argv` with `envp`, `input` on its standard input, until it ends, `timeout` passes or
/// `cancel_fd` becomes readable (then it is killed). Its standard output (at most `max_output`
/// bytes) and error; `failure` says what ended it otherwise ("" when it exited).
struct ChildRun {
    int exit_status = -1;
    std::string output;
    std::string error;
    std::string failure;
};
ChildRun run_child(const std::vector<std::string>& argv, const std::vector<std::string>& envp,
                   std::string_view input, double timeout, int cancel_fd, std::size_t max_output);

}  // namespace emberscope::native
