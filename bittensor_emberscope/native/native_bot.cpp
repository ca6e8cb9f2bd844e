// The bot with its POSIX services.
#include "native/native_bot.hpp"

namespace emberscope::native {

NativeBot::NativeBot(bot::BotSettings settings, engine::ChatHolds& holds, bot::Answerer& answerer,
                     std::string chart_cache, std::function<void()> note_changed)
    : poll_services_(cancel_.fd()), answer_services_(cancel_.fd()),
      charts_(find_interpreter(program_dir()), std::move(chart_cache), cancel_.fd()),
      bot_(std::move(settings), poll_services_, answer_services_, holds, answerer, &charts_,
           bot::BotHooks{std::move(note_changed), [this] { cancel_.trigger(); }}) {}

}  // namespace emberscope::native
