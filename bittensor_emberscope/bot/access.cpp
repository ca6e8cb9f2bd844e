// Who the bot answers.
#include "bot/access.hpp"

#include "common/text.hpp"

namespace emberscope::bot {
namespace {

bool whole_number(std::string_view text) {
    if (!text.empty() && text[0] == '-') text.remove_prefix(1);
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

bool allowed(const AccessList& access, const Sender& sender) {
    for (const std::string& chat : access.chats) {
        if (chat.empty()) continue;
        if (chat[0] == '@') {
            if (!sender.chat_username.empty() &&
                text::same_ignoring_case(std::string_view(chat).substr(1), sender.chat_username))
                return true;
        } else if (chat == sender.chat_id) {
            return true;
        }
    }
    if (sender.user_id.empty()) return false;
    for (const std::string& user : access.users)
        if (user == sender.user_id) return true;
    return false;
}

std::optional<std::vector<std::string>> parse_user_ids(std::string_view text, std::string* bad) {
    std::vector<std::string> ids;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = trimmed(text.substr(0, comma));
        if (!item.empty()) {
            if (!whole_number(item)) {
                if (bad) *bad = std::string(item);
                return std::nullopt;
            }
            ids.emplace_back(item);
        }
        if (comma == std::string_view::npos) return ids;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace emberscope::bot
