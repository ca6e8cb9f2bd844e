// Text rules of the Telegram delivery.
#include "reports/telegram_text.hpp"

#include "common/text.hpp"

namespace emberscope::reports {

std::string send_message_url(std::string_view endpoint, std::string_view token) {
    std::string url = text::without_trailing_slashes(endpoint);
    url += "/bot";
    url += token;
    url += "/sendMessage";
    return url;
}

std::string numbered_part(std::string_view part, std::size_t index, std::size_t total) {
    if (total < 2) return std::string(part);
    return "(" + std::to_string(index) + "/" + std::to_string(total) + ")\n" + std::string(part);
}

std::string mask_token(std::string_view text, std::string_view token) {
    if (token.empty()) return std::string(text);
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(token, from)) != std::string_view::npos;
         from = at + token.size()) {
        out += text.substr(from, at - from);
        out += kTokenMask;
    }
    out += text.substr(from);
    return out;
}

}  // namespace emberscope::reports
