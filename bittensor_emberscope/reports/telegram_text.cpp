// Text rules of the Telegram delivery.
#include "reports/telegram_text.hpp"

namespace emberscope::reports {

std::string send_message_url(std::string_view endpoint, std::string_view token) {
    while (!endpoint.empty() && endpoint.back() == '/') endpoint.remove_suffix(1);
    std::string url(endpoint);
    url += "/bot";
    url += token;
    url += "/sendMessage";
    return url;
}

std::string numbered_part(std::string_view part, std::size_t index, std::size_t total) {
    if (total < 2) return std::string(part);
    return "(" + std::to_string(index) + "/" + std::to_string(total) + ")\n" + std::string(part);
}

std::string error_excerpt(std::string_view text, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool starts_code_point = (static_cast<unsigned char>(text[i]) & 0xC0u) != 0x80u;
        if (starts_code_point && seen++ == count) return std::string(text.substr(0, i));
    }
    return std::string(text);
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
