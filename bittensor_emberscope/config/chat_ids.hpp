// Telegram chat identifiers as an operator writes them: a group's or channel's id ("-100" and
// digits), a user's or a basic group's id (a number), or a public name ("@name").
#pragma once

#include <string>
#include <string_view>

namespace emberscope::config {

/// What a chat identifier looks like, for the message that refuses one.
inline constexpr std::string_view kChatIdShape =
    "a chat id is -100 followed by digits, a number, or @name of 4 to 32 letters, digits and "
    "underscores";

/// True for an optional '-' and 1 to 19 ASCII digits that fit in 64 bits, or '@' and 4 to 32
/// ASCII letters, digits and underscores (Telegram's public names; collectible ones have 4).
bool is_chat_id(std::string_view text);

/// The key two spellings of one chat share: a public name in lower case (Telegram does not tell
/// "@Chan" from "@chan"), anything else as it is.
std::string chat_key(std::string_view chat_id);

/// True when both identifiers name the same chat.
bool same_chat(std::string_view a, std::string_view b);

}  // namespace emberscope::config
