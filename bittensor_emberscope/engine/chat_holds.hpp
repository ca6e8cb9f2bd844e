// The chats' holds, shared by every sender of the process: the alerts of the cycle and the bot's
// answers. Telegram's flood control and its one-message-a-second rule are per chat, whoever
// sends, so a 429 on an answer holds the chat's alerts and the reverse. A chat Telegram moved
// (a group upgraded to a supergroup) is one chat under both ids.
//
// Times are readings of the monotonic clock (Services::monotonic_seconds); whoever keeps holds
// on disk converts them to wall-clock seconds at the boundary. Every member may be called from
// any thread; none blocks beyond a short lock.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/outbox.hpp"
#include "engine/telegram.hpp"

namespace emberscope::engine {

class ChatHolds {
public:
    /// `gap`: shortest time between two messages to one chat, in seconds.
    explicit ChatHolds(double gap = kChatGap) : gap_(gap) {}

    /// Records that `chat` takes nothing before `until`; an earlier hold never shortens a later one.
    void hold(std::string_view chat, double until);
    /// The end of `chat`'s hold when it lasts past `now`, else nullopt.
    std::optional<double> held_until(std::string_view chat, double now) const;
    /// Records that a message went to `chat` at `now`: the next waits one gap.
    void sent(std::string_view chat, double now);
    /// The first moment at or after `now` when a message may go to `chat`: after its hold and
    /// one gap after the last message sent to it.
    double ready_at(std::string_view chat, double now) const;

    /// Records that `from` lives on as `to`: holds and pacing of either are those of `to`.
    /// A move back to an id the chat had before is ignored (no cycle).
    void migrate(std::string_view from, std::string_view to);
    /// The chat that takes messages for `chat`: the end of its recorded moves, else `chat`.
    std::string chat_for(std::string_view chat) const;
    /// Every recorded move, old id -> new id, in the order of the old ids.
    std::vector<std::pair<std::string, std::string>> migrations() const;

    /// The holds lasting past `now` (chat -> end), for whoever keeps them on disk.
    std::vector<std::pair<std::string, double>> holds(double now) const;

private:
    std::string resolve(std::string_view chat) const;  // REQUIRES: mutex_ held

    struct Chat {
        double held_until = 0;
        std::optional<double> last_sent;
    };
    static constexpr std::size_t kMaxChats = 4096;

    double gap_;
    mutable std::mutex mutex_;
    std::map<std::string, Chat, std::less<>> chats_;
    std::map<std::string, std::string, std::less<>> moves_;
};

/// Takes in the chats' moves and the pauses still running that `outbox` records; its pauses
/// are wall-clock seconds, read at `epoch` when the monotonic clock says `monotonic`.
void take_outbox_holds(ChatHolds& holds, const Outbox& outbox, double epoch, double monotonic);

}  // namespace emberscope::engine
