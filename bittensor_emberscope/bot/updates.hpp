// The updates of a getUpdates answer, as the bot reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bot/replies.hpp"

namespace emberscope::bot {

/// One update of the answer.
struct Update {
    /// Its update_id; nullopt when it has none that is a whole number (it cannot be confirmed).
    std::optional<std::int64_t> id;
    /// The text message it carries, when it is one (a "message" with a "text" and a chat id).
    std::optional<Message> message;
    /// A short fingerprint of the update's JSON text, to know it again when it has no id.
    std::uint64_t fingerprint = 0;
};

/// The updates in `result` (the "result" of getUpdates as JSON text). Anything that is not a
/// list (null, an object) reads as no update; an item that is not an object reads as an update
/// without an id.
std::vector<Update> read_updates(std::string_view result);

/// The bot's user name in the "result" of getMe; "" when there is none.
std::string read_username(std::string_view result);

}  // namespace emberscope::bot
