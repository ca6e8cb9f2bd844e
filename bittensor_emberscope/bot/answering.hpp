// The bot's answering: the commands of the inbox, each answered once, one message a second per
// chat and never while Telegram holds the chat (the holds alerts share); an answer refused for
// flood control waits its turn again, one refused because the chat moved follows it.
#pragma once

#include <optional>
#include <string>

#include "bot/context.hpp"
#include "bot/replies.hpp"
#include "bot/telegram_api.hpp"

namespace emberscope::bot {

/// Longest text and caption Telegram takes, in code points.
inline constexpr std::size_t kMessageLimit = 4096;
inline constexpr std::size_t kCaptionLimit = 1024;
/// Flood-control answers one answer waits out before it is dropped, and chat moves it follows.
inline constexpr int kMaxFloods = 5;
inline constexpr int kMaxMoves = 3;

class Answering {
public:
    /// `charts` may be null: /chart then says charts are unavailable.
    Answering(Context& context, Services& services, Answerer& answerer, ChartDrawer* charts);

    /// Answers the command whose turn has come, if one has. Returns 0 when it answered one (call
    /// again), the seconds until the next one's turn, or nullopt when none waits.
    std::optional<double> step();

private:
    void prepare(Pending& pending);
    void send(Pending pending);
    void say(const std::string& line) { services_.console(line + "\n"); }

    Context& context_;
    Services& services_;
    Answerer& answerer_;
    ChartDrawer* charts_;
    TelegramApi api_;
};

}  // namespace emberscope::bot
