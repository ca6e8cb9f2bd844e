// The bot's per-chat cooldown.
#include "bot/cooldown.hpp"

namespace emberscope::bot {

bool Cooldown::admit(std::string_view chat, double now) {
    const std::string key(chat);
    if (auto it = last_.find(key); it != last_.end()) {
        if (now < it->second) it->second = now;  // the clock went back: start over from now
        if (now - it->second < gap_) return false;
        it->second = now;
        return true;
    }
    if (last_.size() >= max_chats_) {
        std::erase_if(last_, [&](const auto& entry) { return now - entry.second >= gap_; });
        if (last_.size() >= max_chats_) return false;  // a flood of chats: each waits its turn
    }
    last_.emplace(key, now);
    return true;
}

}  // namespace emberscope::bot
