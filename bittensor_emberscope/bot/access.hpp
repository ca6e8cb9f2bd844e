// Who the bot answers: the configured chats, and users named by their ids.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emberscope::bot {

struct AccessList {
    /// Chats as configured: a numeric id ("-1001234567890") or a public name ("@channel").
    std::vector<std::string> chats;
    /// Numeric user ids, answered in any chat the bot shares with them (a private chat too).
    std::vector<std::string> users;
};

/// The sender of one message, as Telegram describes it.
struct Sender {
    std::string chat_id;        ///< the chat's numeric id, as text
    std::string chat_username;  ///< the chat's public name without "@", or ""
    std::string user_id;        ///< the sending user's numeric id, or "" (a channel post)
};

/// True when the message comes from a configured chat (by id, or by "@name" compared without
/// regard to case) or from a listed user. Empty ids never match.
bool allowed(const AccessList& access, const Sender& sender);

/// A comma-separated list of user ids ("123, 456"); blanks around ids and empty items are
/// ignored. nullopt, with the offending item in `bad`, when an item is not a whole number.
std::optional<std::vector<std::string>> parse_user_ids(std::string_view text, std::string* bad);

}  // namespace emberscope::bot
