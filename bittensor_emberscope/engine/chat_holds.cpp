// The chats' holds.
#include "engine/chat_holds.hpp"

#include <algorithm>

namespace emberscope::engine {

std::string ChatHolds::resolve(std::string_view chat) const {
    std::string at(chat);
    // Moves never form a cycle (migrate refuses one), so this ends within moves_.size() steps.
    for (std::size_t steps = 0; steps <= moves_.size(); ++steps) {
        auto next = moves_.find(at);
        if (next == moves_.end()) break;
        at = next->second;
    }
    return at;
}

void ChatHolds::hold(std::string_view chat, double until) {
    std::lock_guard lock(mutex_);
    const std::string key = resolve(chat);
    auto it = chats_.find(key);
    if (it == chats_.end()) {
        if (chats_.size() >= kMaxChats) {
            // A flood of chats: forget the ones with nothing left to remember first.
            std::erase_if(chats_, [&](const auto& entry) {
                return entry.second.held_until < until && !entry.second.last_sent;
            });
        }
        it = chats_.emplace(key, Chat{}).first;
    }
    it->second.held_until = std::max(it->second.held_until, until);
}

std::optional<double> ChatHolds::held_until(std::string_view chat, double now) const {
    std::lock_guard lock(mutex_);
    auto it = chats_.find(resolve(chat));
    if (it == chats_.end() || it->second.held_until <= now) return std::nullopt;
    return it->second.held_until;
}

void ChatHolds::sent(std::string_view chat, double now) {
    std::lock_guard lock(mutex_);
    const std::string key = resolve(chat);
    if (chats_.size() >= kMaxChats && !chats_.contains(key))
        std::erase_if(chats_, [&](const auto& entry) {
            return entry.second.held_until <= now &&
                   (!entry.second.last_sent || *entry.second.last_sent + gap_ <= now);
        });
    chats_[key].last_sent = now;
}

double ChatHolds::ready_at(std::string_view chat, double now) const {
    std::lock_guard lock(mutex_);
    auto it = chats_.find(resolve(chat));
    if (it == chats_.end()) return now;
    double ready = std::max(now, it->second.held_until);
    // A last message "in the future" means the clock went back: no gap is owed on its account.
    if (it->second.last_sent && *it->second.last_sent <= now)
        ready = std::max(ready, *it->second.last_sent + gap_);
    return ready;
}

void ChatHolds::migrate(std::string_view from, std::string_view to) {
    std::lock_guard lock(mutex_);
    // A move onto an id the chat already had would make a cycle: the chat stays where it is.
    for (std::string at(to);;) {
        if (at == from) return;
        auto next = moves_.find(at);
        if (next == moves_.end()) break;
        at = next->second;
    }
    const std::string old_key = resolve(from);
    moves_.insert_or_assign(std::string(from), std::string(to));
    const std::string new_key = resolve(to);
    if (old_key == new_key) return;
    // What was owed to the old id is owed to the new one: the same chat for Telegram.
    if (auto old = chats_.find(old_key); old != chats_.end()) {
        Chat moved = old->second;
        chats_.erase(old);
        Chat& target = chats_[new_key];
        target.held_until = std::max(target.held_until, moved.held_until);
        if (moved.last_sent && (!target.last_sent || *target.last_sent < *moved.last_sent))
            target.last_sent = moved.last_sent;
    }
}

std::string ChatHolds::chat_for(std::string_view chat) const {
    std::lock_guard lock(mutex_);
    return resolve(chat);
}

std::vector<std::pair<std::string, std::string>> ChatHolds::migrations() const {
    std::lock_guard lock(mutex_);
    return {moves_.begin(), moves_.end()};
}

std::vector<std::pair<std::string, double>> ChatHolds::holds(double now) const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, double>> out;
    for (const auto& [chat, state] : chats_)
        if (state.held_until > now) out.emplace_back(chat, state.held_until);
    return out;
}

void take_outbox_holds(ChatHolds& holds, const Outbox& outbox, double epoch, double monotonic) {
    for (const auto& [from, to] : outbox.migrations) holds.migrate(from, to);
    for (const auto& [chat, until] : outbox.chat_not_before)
        if (until > epoch) holds.hold(chat, monotonic + (until - epoch));
}

}  // namespace emberscope::engine
