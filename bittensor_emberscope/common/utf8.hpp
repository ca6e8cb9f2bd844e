// UTF-8 helpers shared by the pure core.
//
// Texts cross the host boundary as UTF-8 with lone surrogates kept as their three-byte forms
// (what the host's "surrogatepass" error handler writes), so every host string round-trips
// exactly. These helpers treat such a sequence as one code point like any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/words.hpp"

namespace emberscope::utf8 {

/// Decodes the code point starting at `pos` and advances `pos` past it. Assumes well-formed
/// input (as produced by the host); a stray byte is returned as itself and skipped alone.
inline char32_t next(std::string_view text, std::size_t& pos) {
    const auto b0 = static_cast<unsigned char>(text[pos]);
    auto cont = [&](std::size_t i) -> char32_t {
        return static_cast<unsigned char>(text[pos + i]) & 0x3Fu;
    };
    if (b0 < 0x80) {
        pos += 1;
        return b0;
    }
    // A lead byte whose sequence is cut short by the end of the text is a stray byte too.
    const std::size_t size = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 1;
    if (size == 4 && pos + 3 < text.size()) {
        char32_t cp = ((b0 & 0x07u) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
        pos += 4;
        return cp;
    }
    if (size == 3 && pos + 2 < text.size()) {
        char32_t cp = ((b0 & 0x0Fu) << 12) | (cont(1) << 6) | cont(2);
        pos += 3;
        return cp;
    }
    if (size == 2 && pos + 1 < text.size()) {
        char32_t cp = ((b0 & 0x1Fu) << 6) | cont(1);
        pos += 2;
        return cp;
    }
    pos += 1;
    return b0;
}

/// The length of the multi-byte character at `p` when it is well-formed by the host's strict
/// rules (no overlong form, no surrogate, nothing past U+10FFFF, not cut short by `end`), else 0.
inline std::size_t strict_sequence_length(const unsigned char* p, const unsigned char* end) {
    const unsigned c = p[0];
    // The second byte's range carries the overlong, surrogate and U+10FFFF rules.
    auto in = [&](std::size_t k, unsigned lo, unsigned hi) {
        return static_cast<std::size_t>(end - p) > k && p[k] >= lo && p[k] <= hi;
    };
    if (c >= 0xC2 && c <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return in(1, lo, hi) && in(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return in(1, lo, hi) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

/// True when `bytes` is UTF-8 as the host's strict decoder accepts it. ASCII goes a word at a
/// time: four words per step while none has a high bit, then one.
inline bool is_strict(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p < end) {
        while (end - p >= 32 &&
               words::bytes_high(words::at(p) | words::at(p + 8) | words::at(p + 16) | words::at(p + 24)) == 0)
            p += 32;
        for (; end - p >= 8; p += 8) {
            if (const std::uint64_t high = words::bytes_high(words::at(p))) {
                p += words::first_marked(high);
                break;
            }
        }
        while (p < end && *p < 0x80) ++p;
        if (p == end) break;
        const std::size_t n = strict_sequence_length(p, end);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

/// Number of code points in `text` (not bytes, not UTF-16 units).
inline std::size_t length(std::string_view text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0u) != 0x80u;
    return n;
}

/// Appends the UTF-8 form of `cp` (surrogates included) to `out`.
inline void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace emberscope::utf8
