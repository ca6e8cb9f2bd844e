// Text of the burn state file: JSON string escaping and the whole document, byte for byte.
#include "burns/state_text.hpp"

#include <algorithm>
#include <cstddef>

#include "common/utf8.hpp"

namespace emberscope::burns {

namespace {

void append_u_escape(std::string& out, char32_t unit) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    out += kHex[(unit >> 12) & 0xF];
    out += kHex[(unit >> 8) & 0xF];
    out += kHex[(unit >> 4) & 0xF];
    out += kHex[unit & 0xF];
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = utf8::next(text, pos);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\b': out += "\\b"; continue;
            case U'\f': out += "\\f"; continue;
            default: break;
        }
        if (cp >= 0x20 && cp <= 0x7E) {
            out += static_cast<char>(cp);
        } else if (cp < 0x10000) {
            // Lone surrogates land here too and keep their own value, as the host writes them.
            append_u_escape(out, cp);
        } else {
            const char32_t v = cp - 0x10000;
            append_u_escape(out, 0xD800 | (v >> 10));
            append_u_escape(out, 0xDC00 | (v & 0x3FF));
        }
    }
    out += '"';
}

std::string render_state_file(const std::vector<std::pair<std::string, std::string>>& entries,
                              std::string_view updated_at) {
    // Byte order of UTF-8 is code point order, surrogate forms included; keys are unique, so
    // values never take part in the comparison. The entries stay where they are: only pointers
    // to them are sorted.
    std::vector<const std::pair<std::string, std::string>*> burns;
    burns.reserve(entries.size());
    for (const auto& entry : entries) burns.push_back(&entry);
    std::sort(burns.begin(), burns.end(), [](const auto* a, const auto* b) {
        return std::string_view(a->first) < std::string_view(b->first);
    });

    // Plain ASCII texts (the usual case) fit exactly; escapes may grow the buffer once or twice.
    std::size_t estimate = 64 + updated_at.size();
    for (const auto* entry : burns) estimate += entry->first.size() + entry->second.size() + 12;
    std::string out;
    out.reserve(estimate);

    out += "{\n  ";
    append_json_string(out, kBurnsKey);
    out += ": {";
    if (!burns.empty()) {
        out += '\n';
        for (std::size_t i = 0; i < burns.size(); ++i) {
            out += "    ";
            append_json_string(out, burns[i]->first);
            out += ": ";
            append_json_string(out, burns[i]->second);
            out += i + 1 < burns.size() ? ",\n" : "\n";
        }
        out += "  ";
    }
    out += "},\n  ";
    append_json_string(out, kUpdatedAtKey);
    out += ": ";
    append_json_string(out, updated_at);
    out += "\n}\n";
    return out;
}

}  // namespace emberscope::burns
