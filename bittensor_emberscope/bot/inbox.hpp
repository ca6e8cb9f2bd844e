// The commands read and not yet answered, a queue per chat, and which updates are done: what the
// bot's poller fills and its answering takes from. The offset it gives confirms only updates
// answered or deliberately skipped, so a restart neither answers a command twice nor skips one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include "bot/commands.hpp"
#include "bot/offset.hpp"
#include "bot/replies.hpp"
#include "engine/chat_holds.hpp"

namespace emberscope::bot {

/// Commands waiting in one chat at most; past it, new ones are dropped (with one line).
inline constexpr std::size_t kQueuePerChat = 10;

/// One command waiting for its answer, and the answer once made (kept while Telegram holds the
/// chat, so a held answer is sent as it was made).
struct Pending {
    Message message;
    Parsed parsed;
    bool prepared = false;
    std::string text;      ///< the text, or the photo's caption
    std::string png;       ///< a chart's picture ("" for a text)
    std::string filename;  ///< the picture's name
    int floods = 0;        ///< flood-control answers met
    int moves = 0;         ///< migrations followed
    double not_before = 0; ///< monotonic second before which it is not sent
};

class Inbox {
public:
    explicit Inbox(std::size_t per_chat = kQueuePerChat) : per_chat_(per_chat) {}

    /// Starts from the offset file's record.
    void restore(const OffsetRecord& record);
    /// What the offset file should hold now.
    OffsetRecord record() const;
    /// The offset to ask getUpdates for: the first update not yet done.
    std::int64_t offset() const;

    /// Notes that update `id` was read; true when it was read before (done, or waiting for its
    /// answer).
    bool read(std::int64_t id);
    /// Marks update `id` done without an answer (not a command of ours, not an allowed chat).
    void skip(std::int64_t id);
    /// Queues a command; false when its chat has per_chat waiting already (then it counts as
    /// done, dropped).
    bool queue(Pending pending);
    /// Puts a command back at the head of its chat's queue (flood control, a migration).
    void put_back(Pending pending);
    /// Marks the command's update done.
    void done(std::int64_t id);

    /// The next command due at `now`, taken from its queue: the chat whose turn comes first
    /// (its hold and pacing in `holds`, under the chat that takes its messages). Otherwise the
    /// seconds until one is due, or nullopt when nothing waits.
    std::variant<Pending, double, std::nullopt_t> next(double now, const engine::ChatHolds& holds);

    /// Commands read and not yet done: waiting in a queue, or being answered.
    std::size_t unanswered() const;
    /// Counts updates marked done; changes whenever offset() may have.
    std::uint64_t progress() const;

    /// Wakes every wait for good.
    void stop();
    bool stopped() const;
    /// Counts commands queued or put back.
    std::uint64_t work() const;
    /// Waits up to `seconds` for work() to pass `since` (or stop).
    void wait_for_work(std::uint64_t since, double seconds);
    /// Waits `seconds`, less when stop() comes.
    void pause(double seconds);
    /// Waits up to `seconds` for progress() to pass `since` (or stop).
    void wait_for_progress(std::uint64_t since, double seconds);

private:
    // REQUIRES: mutex_ held, for each of these.
    void finish(std::int64_t id);
    std::int64_t first_not_done() const;

    std::size_t per_chat_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::int64_t next_ = 0;               // one past the highest update read (or the file's offset)
    std::set<std::int64_t> open_;         // read, not done
    std::set<std::int64_t> done_;         // done, past the first open one
    std::map<std::string, std::deque<Pending>> chats_;
    std::uint64_t progress_ = 0;
    std::uint64_t work_ = 0;
    bool stopped_ = false;
};

}  // namespace emberscope::bot
