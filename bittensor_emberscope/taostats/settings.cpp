// Text rules of the Taostats client.
#include "taostats/settings.hpp"

#include <algorithm>

#include "burns/unicode_tables.hpp"
#include "common/utf8.hpp"

namespace emberscope::taostats {

std::string strip_white_space(std::string_view text) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        if (!burns::is_space(utf8::next(text, pos))) {
            begin = std::min(begin, start);
            end = pos;
        }
    }
    return begin < end ? std::string(text.substr(begin, end - begin)) : std::string();
}

std::string query_text(const std::vector<std::pair<std::string, std::string>>& items) {
    std::string out;
    for (const auto& [key, value] : items) {
        if (!out.empty()) out += '&';
        out += key;
        out += '=';
        out += value;
    }
    return out;
}

}  // namespace emberscope::taostats
