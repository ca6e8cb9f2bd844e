// Numbers written as text: the host's float() and int() rules, fixed and shortest decimal forms.
#pragma once

#include <compare>
#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace emberscope::burns {

/// The double that the host's float() makes of `text` (UTF-8), or nullopt when it refuses it.
/// Accepts white space around, a sign, 'inf'/'infinity'/'nan' in any case, or a decimal numeral
/// ('5', '.5', '5.', '5.25') with an optional exponent; single underscores between digits; decimal
/// digits of every script. Correctly rounded; overflow gives ±inf, underflow ±0.
std::optional<double> parse_numeric_text(std::string_view text);

/// A whole number of any size as a sign and canonical decimal digits.
struct DecimalInteger {
    bool negative = false;
    /// ASCII digits without leading zeros; "0" for zero, which is never negative.
    std::string digits = "0";

    /// Numeric order.
    friend std::strong_ordering operator<=>(const DecimalInteger& a, const DecimalInteger& b);
    friend bool operator==(const DecimalInteger& a, const DecimalInteger& b) = default;
};

/// The number that the host's int(text) in base 10 makes of `text` (UTF-8), or nullopt when it
/// refuses it: white space around, a sign, digits of any script with single underscores between
/// them, leading zeros allowed. No length limit is applied.
std::optional<DecimalInteger> parse_integer_text(std::string_view text);

/// The number of a netuid text in its usual spelling, an optional '-' and 1 to 18 ASCII digits
/// (leading zeros allowed), which the host's int() reads as the same number; nullopt for any
/// other text, which parse_integer_text reads.
std::optional<std::int64_t> small_integer_text(std::string_view text);

/// format(value, f".{decimals}f") of the host: the exact value rounded to `decimals` places (ties
/// to even), '-' kept when a negative value rounds to zero, 'inf', '-inf' and 'nan' (never signed).
/// REQUIRES: decimals >= 0.
std::string fixed_form(double value, int decimals);

/// Room for any text that fixed_form_chars or shortest_form_chars writes.
inline constexpr std::size_t kFormBuffer = 48;

/// fixed_form written into `out` (kFormBuffer bytes) where the short rule applies (decimals up to
/// 9, magnitudes below 2^64, inf and nan): its length; 0 where fixed_form must be called.
std::size_t fixed_form_chars(double value, int decimals, char* out);

/// shortest_form written into `out` (kFormBuffer bytes): its length.
std::size_t shortest_form_chars(double value, char* out);

/// repr(value) of the host: the shortest text that reads back as `value`, positional when the
/// decimal exponent is in [-4, 16) ('0.0001', '1.0'), else 'd.ddde+XX' ('1e-05', '1e+16').
std::string shortest_form(double value);

/// True when both texts parse and |old - new| > threshold (a NaN difference is no change), or
/// when either does not parse and the texts differ byte for byte.
bool owner_burn_changed(std::string_view old_text, std::string_view new_text, double threshold);

}  // namespace emberscope::burns
