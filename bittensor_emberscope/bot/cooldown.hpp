// The bot's per-chat cooldown: at most one command a gap per chat; the ones in between are not
// answered (Telegram's own flood limits are about one message a second per chat).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace emberscope::bot {

inline constexpr double kCommandGap = 1.0;

class Cooldown {
public:
    /// `gap`: seconds between two commands answered in one chat; `max_chats`: chats remembered
    /// at most (the ones whose gap has passed are forgotten first).
    explicit Cooldown(double gap = kCommandGap, std::size_t max_chats = 1024)
        : gap_(gap), max_chats_(max_chats) {}

    /// True, and the chat's clock restarted, when the chat's last answered command is at least
    /// `gap` seconds before `now` (a monotonic time); false otherwise. A clock that went back
    /// counts as no time passed.
    bool admit(std::string_view chat, double now);

    std::size_t remembered() const { return last_.size(); }

private:
    double gap_;
    std::size_t max_chats_;
    std::unordered_map<std::string, double> last_;
};

}  // namespace emberscope::bot
