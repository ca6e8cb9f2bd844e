// The bot's poller: getUpdates, one long poll after another, each command read queued in the
// inbox. Its failures are said once and waited out with a growing pause; an answer that comes
// at once with nothing makes it pause too (never a busy loop); a connection cut in the middle
// of a poll (a proxy that closes quiet connections) makes the next polls shorter, and they grow
// back once they go through.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "bot/context.hpp"
#include "bot/telegram_api.hpp"

namespace emberscope::bot {

/// Pauses after a failed poll: doubling from the first to the last.
inline constexpr double kRetryFirst = 5.0;
inline constexpr double kRetryLast = 300.0;
/// After a 409 (another poller, or a webhook), the pause before asking again.
inline constexpr double kConflictRetry = 60.0;
/// Pauses after a poll answered at once with nothing new: doubling from the first to the last.
inline constexpr double kQuickFirst = 1.0;
inline constexpr double kQuickLast = 60.0;
/// While commands wait for their answers, the polls (which Telegram answers at once with those
/// commands again) wait for one to be answered, this long at most.
inline constexpr double kRepollWhileAnswering = 5.0;
/// A poll that fails after this long was cut mid-way; the shortest poll, and how many polls
/// that go through before a cut poll's length doubles again.
inline constexpr double kCutAfter = 2.0;
inline constexpr double kShortestPoll = 5.0;
inline constexpr int kPollsBeforeLonger = 10;
/// Polls that go through before the length a cut showed is forgotten.
inline constexpr int kPollsBeforeForgettingCut = 100;
/// Seconds an exchange may take beyond the poll's own.
inline constexpr double kPollSlack = 15.0;

class Poller {
public:
    Poller(Context& context, Services& services);

    /// What to do after a step: wait `wait` seconds (0: poll again at once); with
    /// `until_progress`, the wait ends sooner when a command is answered.
    struct Next {
        double wait = 0;
        bool until_progress = false;
    };

    /// One poll (after introducing the bot, the first time): its updates read, commands queued,
    /// the others confirmed.
    Next step();

    /// The length of the next long poll, in seconds.
    double poll_length() const { return length_; }

private:
    /// getMe and setMyCommands; nullopt once the bot knows its name, else what to do next.
    std::optional<Next> introduce();
    Next failed(const engine::Verdict& verdict, int status);
    void say(const std::string& line);
    std::string stamp();

    Context& context_;
    Services& services_;
    TelegramApi api_;
    std::optional<std::string> failing_;  // the kind of the failure under way, said once
    double retry_ = kRetryFirst;
    double quick_ = kQuickFirst;
    double length_;
    double ceiling_;       // the longest poll since a cut showed where connections end
    int clean_ = 0;        // polls gone through since the length last changed
    int since_cut_ = 0;
    std::set<std::uint64_t> unreadable_;  // updates without an id already said
};

}  // namespace emberscope::bot
