// What the bot's poller and its answering share: the settings, who is answered, the bot's name,
// the note for the status file, the inbox and the chats' holds.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "bot/access.hpp"
#include "bot/inbox.hpp"
#include "common/services.hpp"
#include "engine/chat_holds.hpp"

namespace emberscope::bot {

/// Seconds one getUpdates waits for an update: the most Telegram honours, and under the 60 s a
/// proxy commonly allows a quiet connection.
inline constexpr double kPollSeconds = 50;

struct BotSettings {
    std::string token;
    std::string api_base;     ///< the Bot API origin (TELEGRAM_API_BASE's rule applied)
    std::string offset_path;  ///< the bot offset file beside the state
    AccessList access;
    double poll_seconds = kPollSeconds;
    bool verbose = false;     ///< say when the bot starts answering
    std::size_t queue_per_chat = kQueuePerChat;
};

class Context {
public:
    Context(BotSettings settings, engine::ChatHolds& holds, std::function<void()> note_changed)
        : settings(std::move(settings)), inbox(this->settings.queue_per_chat), holds(holds),
          note_changed_(std::move(note_changed)), access_(this->settings.access) {}

    const BotSettings settings;
    Inbox inbox;
    engine::ChatHolds& holds;

    /// True when the message comes from an allowed chat or user; a configured chat that moved
    /// (engine::ChatHolds::migrate) is allowed under its new id too.
    bool allowed(const Message& message) const;
    void set_access(AccessList access);
    std::size_t chats() const;

    std::string name() const;
    void set_name(std::string name);

    /// What the status file says of the bot; nullopt when it says nothing.
    std::optional<std::string> note() const;
    /// Sets the note; note_changed runs when it changed.
    void set_note(std::optional<std::string> note);

    /// Reads the offset file into the inbox.
    void restore_offset(Services& services);
    /// Writes the offset file when the inbox moved past what it holds. A failure is said once
    /// (until a write succeeds again).
    void save_offset(Services& services);

    std::atomic<bool> stopping{false};

private:
    std::function<void()> note_changed_;
    mutable std::mutex mutex_;
    AccessList access_;
    std::string name_;
    std::optional<std::string> note_;
    std::mutex save_mutex_;
    std::optional<OffsetRecord> saved_;
    bool save_failed_ = false;
};

}  // namespace emberscope::bot
