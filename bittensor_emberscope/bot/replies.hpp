// What the bot answers with, and who makes it: the answers (texts read from the files beside the
// state) and the chart drawer (a child process), behind interfaces the program implements.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bot/commands.hpp"

namespace emberscope::bot {

/// One message of a chat, as the bot read it from an update.
struct Message {
    std::int64_t update_id = 0;
    std::string chat_id;        ///< the chat's numeric id, as text
    std::string chat_username;  ///< the chat's public name without "@", or ""
    std::string user_id;        ///< the sender's numeric id, or "" (a channel post)
    std::optional<std::int64_t> thread_id;  ///< the forum topic it was asked in
    std::string text;
};

/// A chart to draw: a step line through `points` ([unix seconds, value], oldest first), sent as
/// the picture `filename` under `caption`.
struct Chart {
    std::string title;
    std::vector<std::array<double, 2>> points;
    std::string caption;
    std::string filename;  ///< "sn12.png"
};

/// An answer: a text, or a chart (then `text` is not sent).
struct Reply {
    std::string text;
    std::optional<Chart> chart;
};

/// Makes the answer to a command. Called on the bot's answering thread, never the loop's; it
/// may take its time. What it throws is said on the console and answered with an apology.
class Answerer {
public:
    virtual ~Answerer() = default;
    /// The answer to `command` (Kind::command, arguments valid) asked in `from`; nullopt to
    /// leave it unanswered.
    virtual std::optional<Reply> answer(const Parsed& command, const Message& from) = 0;
};

/// What drawing a chart gave: the PNG, or why there is none.
struct Drawn {
    enum class Kind {
        drawn,        ///< `png` holds the picture
        failed,       ///< `error` says why ("the chart could not be drawn: ...")
        unavailable,  ///< no interpreter to draw with
    };
    Kind kind = Kind::failed;
    std::string png;
    std::string error;
};

/// Draws charts (a child process of the environment's interpreter, in the program).
class ChartDrawer {
public:
    virtual ~ChartDrawer() = default;
    virtual Drawn draw(const Chart& chart) = 0;
};

/// The answer to /chart where no drawer is available.
inline constexpr std::string_view kChartsUnavailable =
    "Charts are unavailable here: no Python interpreter was found beside the emberscope program.";

}  // namespace emberscope::bot
