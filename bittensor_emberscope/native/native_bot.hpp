// The bot of `watch` with its POSIX services, ready to run beside the loop: a libcurl handle for
// each of its threads, one cancel pipe that ends their exchanges and the chart under way when it
// closes, and charts drawn by the interpreter beside the program.
#pragma once

#include <functional>
#include <string>

#include "bot/bot.hpp"
#include "native/bot_services.hpp"
#include "native/chart_child.hpp"

namespace emberscope::native {

class NativeBot {
public:
    /// `chart_cache`: the plotting library's cache folder ("<state dir>/chart-cache");
    /// `note_changed`: see bot::BotHooks.
    NativeBot(bot::BotSettings settings, engine::ChatHolds& holds, bot::Answerer& answerer,
              std::string chart_cache, std::function<void()> note_changed);
    ~NativeBot() { close(); }

    /// Starts polling and answering (reads the offset file first).
    void start() { bot_.start(); }
    /// Ends both threads within a moment, whatever they were doing.
    void close() { bot_.close(); }
    bot::Bot& bot() { return bot_; }

private:
    CancelPipe cancel_;
    CancellableServices poll_services_;
    CancellableServices answer_services_;
    ChartChild charts_;
    bot::Bot bot_;
};

}  // namespace emberscope::native
