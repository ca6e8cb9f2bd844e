// Small text rules shared by the subsystems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace emberscope::text {

/// Appends `value` encoded as the host's urlencode encodes a form field's UTF-8 bytes: letters,
/// digits and "_.-~" as they are, a space as '+', every other byte as %XX (upper-case hex).
inline void append_form_encoded(std::string& out, std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.reserve(out.size() + value.size());
    for (const unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '.' || c == '-' || c == '~') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            const char escaped[3] = {'%', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escaped, 3);
        }
    }
}

/// A form's fields as the host's urlencode joins them: name=value pairs, each encoded as above,
/// separated by '&', in the given order.
inline std::string form_encoded(const std::vector<std::pair<std::string, std::string>>& form) {
    std::string body;
    for (const auto& [name, value] : form) {
        if (!body.empty()) body += '&';
        append_form_encoded(body, name);
        body += '=';
        append_form_encoded(body, value);
    }
    return body;
}

/// `c` in lower case when it is an ASCII capital, else `c` itself.
constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

/// Equality with ASCII letters compared without regard to case (header names, @usernames,
/// command words); other bytes compared as they are.
constexpr bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

/// Byte-for-byte equality; short texts (a netuid, a burn value) compared inline, without a call.
inline bool same(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return a == b;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

/// The character that the JSON escape `\e` stands for, for the eight one-letter escapes
/// (`"` `\` `/` b f n r t); 0 for any other letter (`\u` escapes are read by the caller).
inline char json_short_escape(char e) {
    switch (e) {
        case '"': return '"';
        case '\\': return '\\';
        case '/': return '/';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        default: return 0;
    }
}

/// `text` without any of the "/" characters at its end (an address without trailing slashes).
inline std::string without_trailing_slashes(std::string_view text) {
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    return std::string(text);
}

/// The first `count` code points of `text` (all of it when shorter).
inline std::string first_code_points(std::string_view text, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool starts_code_point = (static_cast<unsigned char>(text[i]) & 0xC0u) != 0x80u;
        if (starts_code_point && seen++ == count) return std::string(text.substr(0, i));
    }
    return std::string(text);
}

/// The text of an answer whose body was longer than `limit` bytes: "body longer than 64 MiB
/// (67108864 bytes)", or "body longer than N bytes" for a limit that is not whole MiB.
inline std::string over_limit_text(std::int64_t limit) {
    std::string out = "body longer than ";
    if (limit > 0 && limit % (std::int64_t{1} << 20) == 0)
        out += std::to_string(limit >> 20) + " MiB (" + std::to_string(limit) + " bytes)";
    else
        out += std::to_string(limit) + " bytes";
    return out;
}

}  // namespace emberscope::text
