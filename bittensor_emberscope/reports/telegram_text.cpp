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

}  // namespace emberscope::reports
