// The host's repr() of a text.
#include "burns/repr.hpp"

#include "burns/unicode_tables.hpp"
#include "common/utf8.hpp"

namespace emberscope::burns {

void append_repr(std::string& out, std::string_view text) {
    const bool has_single = text.find('\'') != std::string_view::npos;
    const bool has_double = text.find('"') != std::string_view::npos;
    const char quote = has_single && !has_double ? '"' : '\'';
    static constexpr char kHex[] = "0123456789abcdef";
    out += quote;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = utf8::next(text, pos);
        if (cp == static_cast<char32_t>(quote) || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (!burns::is_printable(cp)) {
            // The host's escape: \xhh below 0x100, \uhhhh below 0x10000, else \Uhhhhhhhh.
            const int digits = cp < 0x100 ? 2 : cp < 0x10000 ? 4 : 8;
            out += digits == 2 ? "\\x" : digits == 4 ? "\\u" : "\\U";
            for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
        } else {
            utf8::append(out, cp);
        }
    }
    out += quote;
}

std::string repr(std::string_view text) {
    std::string out;
    append_repr(out, text);
    return out;
}

}  // namespace emberscope::burns
