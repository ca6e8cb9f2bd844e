// The lexing of JSON text that the readers share: white space, literals, the number grammar,
// a string's plain runs and its escapes (\u with surrogate pairs), as the host's decoder reads
// them. Each reader builds its own structure on these; where readers differ (which bytes a
// string's plain run may hold, what a stray byte costs) the difference is a policy parameter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "common/words.hpp"

namespace emberscope::json_lexer {

/// True for JSON's four white-space bytes (space, tab, line feed, carriage return).
inline bool is_space(char c) {
    constexpr std::uint64_t kSpaces = (1ULL << ' ') | (1ULL << '\t') | (1ULL << '\n') | (1ULL << '\r');
    const auto b = static_cast<unsigned char>(c);
    return b <= ' ' && ((kSpaces >> b) & 1);
}

/// The first byte at or after `p` that is not white space, or `end`.
[[gnu::always_inline]] inline const char* skip_space(const char* p, const char* end) {
    while (p != end && is_space(*p)) ++p;
    return p;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

/// True when the bytes from `p` start with the literal `word`.
template <std::size_t N>
[[gnu::always_inline]] inline bool starts_with(const char* p, const char* end, const char (&word)[N]) {
    constexpr std::size_t kLength = N - 1;
    static_assert(kLength > 0);
    const auto left = static_cast<std::size_t>(end - p);
    if constexpr (kLength <= 8) {
        if (left >= 8) {
            // Eight bytes at once: the first kLength compared.
            std::uint64_t want = 0;
            for (std::size_t i = 0; i < kLength; ++i)
                want |= std::uint64_t{static_cast<unsigned char>(word[i])} << (8 * i);
            constexpr std::uint64_t kMask = ~std::uint64_t{0} >> (64 - 8 * kLength);
            return (words::at(p) & kMask) == want;
        }
    }
    return left >= kLength && std::memcmp(p, word, kLength) == 0;
}

/// The end of the number token at `p` by JSON's grammar (-?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?
/// [0-9]+)?, the longest prefix that fits), or nullptr when no number starts there. `integral`
/// tells whether the token has neither fraction nor exponent.
inline const char* number_end(const char* p, const char* end, bool& integral) {
    if (p != end && *p == '-') ++p;
    if (p == end) return nullptr;
    if (*p == '0') {
        ++p;
    } else if (*p >= '1' && *p <= '9') {
        while (p != end && is_digit(*p)) ++p;
    } else {
        return nullptr;
    }
    integral = true;
    if (end - p >= 2 && *p == '.' && is_digit(p[1])) {
        integral = false;
        p += 2;
        while (p != end && is_digit(*p)) ++p;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (q != end && (*q == '+' || *q == '-')) ++q;
        if (q != end && is_digit(*q)) {
            integral = false;
            p = q;
            while (p != end && is_digit(*p)) ++p;
        }
    }
    return p;
}

// What ends a string's plain run, as three policies. Each gives the marks of the stopping bytes
// of eight bytes at once (the lowest mark exact), the test of one byte, and whether sixteen
// bytes at once pay off for its texts.

/// Any byte but a quotation mark, a backslash or a control character (the host's own rule).
struct AnyText {
    static constexpr bool kWide = true;
    static std::uint64_t stops(std::uint64_t w) {
        return words::bytes_equal(w, '"') | words::bytes_equal(w, '\\') | words::bytes_below(w, 0x20);
    }
    static bool stops(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }
};

/// ASCII only: a byte of a multi-byte character stops the run too (its caller checks it).
struct AsciiText {
    static constexpr bool kWide = false;
    static std::uint64_t stops(std::uint64_t w) { return AnyText::stops(w) | words::bytes_high(w); }
    static bool stops(unsigned char c) { return AnyText::stops(c) || c >= 0x80; }
};

/// Printable ASCII only: AsciiText's stops and DEL.
struct PrintableText {
    static constexpr bool kWide = false;
    static std::uint64_t stops(std::uint64_t w) {
        return AsciiText::stops(w) | words::bytes_equal(w, 0x7F);
    }
    static bool stops(unsigned char c) { return AsciiText::stops(c) || c == 0x7F; }
};

/// The first byte at or after `p` that ends a plain run under `Run`, or `end`: sixteen bytes at a
/// time where the policy asks for it and the processor has the instructions, then eight, then one.
template <class Run>
[[gnu::always_inline]] inline const char* run_end(const char* p, const char* end) {
#if defined(__SSE2__)
    if constexpr (Run::kWide) {
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i last_control = _mm_set1_epi8(0x1F);
        for (; end - p >= 16; p += 16) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(b, last_control), b);
            const __m128i stops = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(b, quote), _mm_cmpeq_epi8(b, backslash)), control);
            if (const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops)))
                return p + std::countr_zero(mask);
        }
    }
#endif
    for (; end - p >= 8; p += 8) {
        if (const std::uint64_t marks = Run::stops(words::at(p))) return p + words::first_marked(marks);
    }
    while (p != end && !Run::stops(static_cast<unsigned char>(*p))) ++p;
    return p;
}

/// The value of four hex digits at `p` (which has at least four bytes), or -1.
inline long hex4(const char* p) {
    long v = 0;
    for (int k = 0; k < 4; ++k) {
        const char c = p[k];
        int h;
        if (c >= '0' && c <= '9') h = c - '0';
        else if (c >= 'a' && c <= 'f') h = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') h = c - 'A' + 10;
        else return -1;
        v = v * 16 + h;
    }
    return v;
}

/// Why a string was refused, in the host decoder's terms.
enum class Fault {
    none,
    unterminated,     // "Unterminated string starting at" (the opening quote)
    control,          // "Invalid control character at" (the byte)
    bad_escape,       // "Invalid \escape" (the backslash)
    bad_unicode,      // "Invalid \uXXXX escape" (where the host names it)
    refused,          // a byte the reader's policy leaves to the host (no host error of its own)
};

/// One escape read: its code point and the byte after it, or a fault and where the host puts it.
struct Escape {
    char32_t code_point = 0;
    const char* next = nullptr;
    Fault fault = Fault::none;
    const char* at = nullptr;
};

/// Reads the escape whose backslash is at `p` (before `end`), as the host's scanner does: a
/// one-letter escape, or \uXXXX where a high surrogate followed by an escaped low one makes one
/// code point and any other surrogate stays alone. The host wants a byte after each \uXXXX (the
/// string's closing quote at the least) before it reads it.
inline Escape read_escape(const char* p, const char* end) {
    Escape e;
    const char* next = p + 1;
    if (next == end) {
        e.fault = Fault::unterminated;
        return e;
    }
    if (*next != 'u') {
        const char plain = text::json_short_escape(*next);
        if (plain == 0) {
            e.fault = Fault::bad_escape;
            e.at = p;
            return e;
        }
        e.code_point = static_cast<unsigned char>(plain);
        e.next = next + 1;
        return e;
    }
    ++next;
    const char* after = next + 4;
    if (end - next <= 4) {
        e.fault = Fault::bad_unicode;
        e.at = next - 1;
        return e;
    }
    const long unit = hex4(next);
    if (unit < 0) {
        e.fault = Fault::bad_unicode;
        e.at = after - 5;
        return e;
    }
    char32_t cp = static_cast<char32_t>(unit);
    if (cp >= 0xD800 && cp <= 0xDBFF && end - after > 6 && after[0] == '\\' && after[1] == 'u') {
        const long low = hex4(after + 2);
        if (low < 0) {
            e.fault = Fault::bad_unicode;
            e.at = after + 1;
            return e;
        }
        if (low >= 0xDC00 && low <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
            after += 6;
        }
    }
    e.code_point = cp;
    e.next = after;
    return e;
}

/// A string read by read_string: its content (a view of the document when it has no escape,
/// else of the decoded text), or a fault; `next` is the byte after the closing quote.
struct String {
    std::string_view content;
    const char* next = nullptr;
    bool escaped = false;
    Fault fault = Fault::none;
    const char* at = nullptr;
};

/// Accepts no byte that ends a run besides the quote and the backslash: a control character is
/// the host's error, anything else (outside AnyText) is left to the host.
struct StrictBytes {
    static std::size_t accept(const char*, const char*) { return 0; }
};

/// Accepts a multi-byte character where the host's strict UTF-8 decoder would.
struct Utf8Bytes {
    static std::size_t accept(const char* p, const char* end) {
        if (static_cast<unsigned char>(*p) < 0x80) return 0;
        return utf8::strict_sequence_length(reinterpret_cast<const unsigned char*>(p),
                                            reinterpret_cast<const unsigned char*>(end));
    }
};

/// Reads the rest of a string whose content starts at `p`, the byte after the opening quote at
/// `p - 1`. Plain runs end where `Run` says; a byte that ends one and is neither a quote nor a
/// backslash is taken when `Bytes::accept` gives its length. Escapes are decoded into `decoded`
/// (cleared first), or only checked when it is null (`content` then holds them undecoded).
template <class Run, class Bytes>
[[gnu::always_inline]] inline String read_string(const char* p, const char* end, std::string* decoded);

/// The closing quote of a string whose content, from `p`, is a single plain run under `Run`;
/// nullptr for any other string (one with an escape or a stopping byte, or unterminated).
template <class Run>
[[gnu::always_inline]] inline const char* plain_string_end(const char* p, const char* end) {
    const char* stop = run_end<Run>(p, end);
    return stop != end && *stop == '"' ? stop : nullptr;
}

/// read_string for a string whose first plain run, from `begin`, stopped at `stop` on a byte
/// other than the closing quote.
template <class Run, class Bytes>
String finish_string(const char* begin, const char* stop, const char* end, std::string* decoded);

namespace detail {

inline void fail_on_byte(String& s, const char* p) {
    s.fault = static_cast<unsigned char>(*p) < 0x20 ? Fault::control : Fault::refused;
    s.at = p;
}

}  // namespace detail

template <class Run, class Bytes>
String finish_string(const char* begin, const char* p, const char* end, std::string* decoded) {
    String s;
    const char* copied = begin;  // the first byte not yet appended to `decoded`
    if (decoded != nullptr) decoded->clear();
    for (;;) {
        if (p == end) {
            s.fault = Fault::unterminated;
            s.at = begin - 1;
            return s;
        }
        const char c = *p;
        if (c == '"') {
            if (decoded != nullptr) {
                decoded->append(copied, static_cast<std::size_t>(p - copied));
                s.content = *decoded;
            } else {
                s.content = std::string_view(begin, static_cast<std::size_t>(p - begin));
            }
            s.next = p + 1;
            return s;
        }
        if (c == '\\') {
            s.escaped = true;
            const Escape e = read_escape(p, end);
            if (e.fault != Fault::none) {
                s.fault = e.fault;
                s.at = e.fault == Fault::unterminated ? begin - 1 : e.at;
                return s;
            }
            if (decoded != nullptr) {
                decoded->append(copied, static_cast<std::size_t>(p - copied));
                utf8::append(*decoded, e.code_point);
                copied = e.next;
            }
            p = e.next;
        } else {
            const std::size_t n = Bytes::accept(p, end);
            if (n == 0) {
                detail::fail_on_byte(s, p);
                return s;
            }
            p += n;
        }
        p = run_end<Run>(p, end);
    }
}

template <class Run, class Bytes>
[[gnu::always_inline]] inline String read_string(const char* p, const char* end, std::string* decoded) {
    const char* stop = run_end<Run>(p, end);
    if (stop != end && *stop == '"') {
        String s;
        s.content = std::string_view(p, static_cast<std::size_t>(stop - p));
        s.next = stop + 1;
        return s;
    }
    return finish_string<Run, Bytes>(p, stop, end, decoded);
}

}  // namespace emberscope::json_lexer
