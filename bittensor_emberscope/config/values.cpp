// Small rules of the settings' values.
#include "config/values.hpp"

#include <cmath>

#include "burns/unicode_tables.hpp"
#include "common/utf8.hpp"
#include "config/config_file.hpp"

namespace emberscope::config {

std::string strip_white(std::string_view text) {
    std::size_t begin = 0, pos = 0, end = 0;
    bool seen = false;
    while (pos < text.size()) {
        const std::size_t at = pos;
        const bool space = burns::is_space(utf8::next(text, pos));
        if (!space && !seen) {
            begin = at;
            seen = true;
        }
        if (!space) end = pos;
    }
    return seen ? std::string(text.substr(begin, end - begin)) : std::string();
}

bool has_control(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t c = utf8::next(text, pos);
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
    }
    return false;
}

bool is_netuid(std::int64_t n) { return n >= 0 && n <= kNetuidMax; }

bool is_threshold(double value) { return std::isfinite(value) && value >= 0; }

}  // namespace emberscope::config
