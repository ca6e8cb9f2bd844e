// Eight bytes tested at once: the word tricks the byte scanners share (UTF-8 checks, the ends of
// plain runs in JSON texts).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace emberscope::words {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080u;

/// The eight bytes at `p` as one word, the first byte in the lowest bits.
inline std::uint64_t at(const void* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

/// The high bit of each byte of `w` below `n` (n <= 0x80). Bytes above the lowest marked one may
/// be marked wrongly (a borrow runs upward), so only the lowest mark is exact.
constexpr std::uint64_t bytes_below(std::uint64_t w, unsigned n) {
    return (w - kOnes * n) & ~w & kHighBits;
}

/// The high bit of each byte of `w` equal to `c`; only the lowest mark is exact.
constexpr std::uint64_t bytes_equal(std::uint64_t w, unsigned char c) {
    return bytes_below(w ^ (kOnes * c), 1);
}

/// The high bit of each byte of `w` at 0x80 or above (exact).
constexpr std::uint64_t bytes_high(std::uint64_t w) { return w & kHighBits; }

/// The position of the lowest marked byte of a non-zero mask.
constexpr std::size_t first_marked(std::uint64_t marks) {
    return static_cast<std::size_t>(std::countr_zero(marks)) / 8;
}

}  // namespace emberscope::words
