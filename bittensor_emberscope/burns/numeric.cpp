// Numbers written as text: the host's float() and int() rules, fixed and shortest decimal forms.
#include "burns/numeric.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <system_error>
#include <utility>

#include "burns/unicode_tables.hpp"
#include "common/text.hpp"
#include "common/utf8.hpp"

namespace emberscope::burns {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Exponents are saturated here: far beyond any double, and no sum with a text length can overflow.
constexpr std::int64_t kExponentCap = 1'000'000'000'000'000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The host strips only these six ASCII characters after its Unicode mapping (not 0x1C to 0x1F).
bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view strip_ascii_space(std::string_view s) {
    while (!s.empty() && is_ascii_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ascii_space(s.back())) s.remove_suffix(1);
    return s;
}

// The text the host's conversions actually read: every non-ASCII white space becomes ' ' and every
// non-ASCII decimal digit its ASCII digit. Any other non-ASCII code point, or malformed UTF-8,
// makes the text unreadable (nullopt).
std::optional<std::string> ascii_form(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const char32_t cp = utf8::next(text, pos);
        if (cp < 0x80 && pos - start == 1) {
            out += static_cast<char>(cp);
            continue;
        }
        std::string canonical;
        utf8::append(canonical, cp);
        if (canonical != text.substr(start, pos - start)) return std::nullopt;
        if (is_space(cp)) {
            out += ' ';
        } else if (const int digit = decimal_value(cp); digit >= 0) {
            out += static_cast<char>('0' + digit);
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// Drops the underscores of `s`, each of which must stand between two digits; nullopt otherwise.
std::optional<std::string> without_underscores(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '_') {
            out += s[i];
        } else if (i == 0 || i + 1 == s.size() || !is_digit(s[i - 1]) || !is_digit(s[i + 1])) {
            return std::nullopt;
        }
    }
    return out;
}

bool equals_ignoring_case(std::string_view s, std::string_view lower) {
    return s.size() == lower.size() &&
           std::equal(s.begin(), s.end(), lower.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

// The magnitude of an unsigned decimal numeral with optional fraction and exponent, correctly
// rounded, or nullopt when `s` is not exactly such a numeral.
std::optional<double> decimal_numeral_value(std::string_view s) {
    std::size_t i = 0;
    const auto digit_run = [&] {
        const std::size_t start = i;
        while (i < s.size() && is_digit(s[i])) ++i;
        return s.substr(start, i - start);
    };
    const std::string_view whole = digit_run();
    std::string_view fraction;
    if (i < s.size() && s[i] == '.') {
        ++i;
        fraction = digit_run();
    }
    if (whole.empty() && fraction.empty()) return std::nullopt;
    std::int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        const bool exponent_negative = i < s.size() && s[i] == '-';
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        const std::string_view exponent_digits = digit_run();
        if (exponent_digits.empty()) return std::nullopt;
        for (const char c : exponent_digits) {
            exponent = std::min(exponent * 10 + (c - '0'), kExponentCap);
        }
        if (exponent_negative) exponent = -exponent;
    }
    if (i != s.size()) return std::nullopt;

    // Rewrite as 0.DIGITS x 10^point with no leading or trailing zeros in DIGITS.
    const std::string all = std::string(whole) + std::string(fraction);
    const std::size_t first = all.find_first_not_of('0');
    if (first == std::string::npos) return 0.0;
    const std::size_t last = all.find_last_not_of('0');
    const std::int64_t point = static_cast<std::int64_t>(whole.size()) -
                               static_cast<std::int64_t>(first) + exponent;
    // 0.1e310 is above the largest double, 1e-330 below half the smallest subnormal.
    if (point > 310) return kInfinity;
    if (point < -330) return 0.0;
    const std::string normal =
        "0." + all.substr(first, last + 1 - first) + "e" + std::to_string(point);
    double value = 0.0;
    const auto result = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    if (result.ec == std::errc::result_out_of_range) return point > 0 ? kInfinity : 0.0;
    return value;
}

// Powers of ten that are exact doubles.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Fast path for what the network sends: a short plain ASCII decimal such as "0", "1.0", "0.18"
// or "-0.0001" (an optional '-', digits with an optional fraction, at most 19 digits, nothing
// else). Its digits make an integer below 2^53 and its fraction at most 22 digits, so both are
// exact doubles and one division rounds correctly. Any other text, exponents, spaces,
// underscores and longer numerals included, goes to the general rule (nullopt here).
std::optional<double> short_plain_decimal(std::string_view s) {
    std::size_t i = 0;
    const bool negative = !s.empty() && s[0] == '-';
    i += negative;
    std::uint64_t digits = 0;
    std::size_t count = 0;
    std::size_t fraction = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (is_digit(c)) {
            digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
            ++count;
            fraction += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (count == 0 || count > 19 || digits >= (std::uint64_t{1} << 53)) return std::nullopt;
    const double magnitude = static_cast<double>(digits) / kExactPowersOfTen[fraction];
    return negative ? -magnitude : magnitude;
}

}  // namespace

std::optional<double> parse_numeric_text(std::string_view text) {
    if (text.size() <= 21) {
        if (const auto value = short_plain_decimal(text)) return value;
    }
    const auto ascii = ascii_form(text);
    if (!ascii) return std::nullopt;
    const auto plain = without_underscores(*ascii);
    if (!plain) return std::nullopt;
    std::string_view s = strip_ascii_space(*plain);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    std::optional<double> magnitude;
    if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
        magnitude = kInfinity;
    } else if (equals_ignoring_case(s, "nan")) {
        magnitude = std::numeric_limits<double>::quiet_NaN();
    } else {
        magnitude = decimal_numeral_value(s);
    }
    if (!magnitude) return std::nullopt;
    return negative ? -*magnitude : *magnitude;
}

std::strong_ordering operator<=>(const DecimalInteger& a, const DecimalInteger& b) {
    if (a.negative != b.negative) {
        return a.negative ? std::strong_ordering::less : std::strong_ordering::greater;
    }
    auto magnitude = a.digits.size() <=> b.digits.size();
    if (magnitude == 0) magnitude = a.digits.compare(b.digits) <=> 0;
    return a.negative ? 0 <=> magnitude : magnitude;
}

std::optional<std::int64_t> small_integer_text(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

std::optional<DecimalInteger> parse_integer_text(std::string_view text) {
    // Fast path for netuid texts: an optional '-' and ASCII digits, nothing else.
    {
        std::string_view s = text;
        const bool negative = !s.empty() && s.front() == '-';
        if (negative) s.remove_prefix(1);
        if (!s.empty() && std::all_of(s.begin(), s.end(), is_digit)) {
            const std::size_t first = s.find_first_not_of('0');
            if (first == std::string_view::npos) return DecimalInteger{};
            DecimalInteger number;
            number.negative = negative;
            number.digits.assign(s.substr(first));
            return number;
        }
    }
    const auto ascii = ascii_form(text);
    if (!ascii) return std::nullopt;
    std::string_view s = strip_ascii_space(*ascii);
    DecimalInteger number;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        number.negative = s.front() == '-';
        s.remove_prefix(1);
    }
    const auto digits = without_underscores(s);
    if (!digits || digits->empty() || !std::all_of(digits->begin(), digits->end(), is_digit)) {
        return std::nullopt;
    }
    const std::size_t first = digits->find_first_not_of('0');
    if (first == std::string::npos) return DecimalInteger{};
    number.digits = digits->substr(first);
    return number;
}

namespace {

constexpr std::uint64_t kPowersOfTen[] = {1,         10,         100,         1000,
                                          10000,     100000,     1000000,     10000000,
                                          100000000, 1000000000, 10000000000, 100000000000};

// Fast path of fixed_form for precisions up to 9 and magnitudes below 2^64: the double is
// m * 2^e exactly, so value * 10^decimals = m * 10^decimals * 2^e is computed exactly in 128
// bits and rounded once, half to even, as the host rounds the exact binary value. nullopt
// hands over to the general formatter.
std::size_t small_fixed_form(double value, int decimals, char* buffer) {
    if (decimals < 0 || decimals > 9 || !(std::fabs(value) < 0x1p64)) return 0;
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent);  // in [0.5, 1) or 0
    // m = fraction * 2^53 is an integer below 2^53; value = m * 2^(exponent - 53).
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = 53 - exponent;  // value = mantissa / 2^shift; shift > -11 here
    using u128 = unsigned __int128;
    const u128 scaled = static_cast<u128>(mantissa) * kPowersOfTen[decimals];  // < 2^83
    u128 rounded = 0;
    if (shift <= 0) {
        rounded = scaled << -shift;  // < 2^94
    } else if (shift < 120) {
        const u128 one = static_cast<u128>(1) << shift;
        rounded = scaled >> shift;
        const u128 rest = scaled & (one - 1);
        const u128 half = one >> 1;
        if (rest > half || (rest == half && (rounded & 1) != 0)) ++rounded;
    }  // else below 2^-66 * 10^9: rounds to zero
    const std::uint64_t unit = kPowersOfTen[decimals];
    std::uint64_t whole = 0, part = 0;
    if (rounded >> 64 == 0) {  // the usual case: one 64-bit division
        const auto r = static_cast<std::uint64_t>(rounded);
        whole = r / unit;
        part = r % unit;
    } else {
        whole = static_cast<std::uint64_t>(rounded / unit);  // < 2^64 * 10 / 10: fits
        part = static_cast<std::uint64_t>(rounded % unit);
    }
    char* out = buffer;
    if (std::signbit(value)) *out++ = '-';
    out = std::to_chars(out, buffer + kFormBuffer, whole).ptr;
    if (decimals > 0) {
        *out++ = '.';
        char* end = out + decimals;
        std::uint64_t rest = part;
        for (char* p = end; p != out;) {
            *--p = static_cast<char>('0' + rest % 10);
            rest /= 10;
        }
        out = end;
    }
    return static_cast<std::size_t>(out - buffer);
}

}  // namespace

std::size_t fixed_form_chars(double value, int decimals, char* out) {
    if (std::isnan(value)) return std::copy_n("nan", 3, out) - out;
    if (std::isinf(value)) return value < 0 ? std::copy_n("-inf", 4, out) - out : std::copy_n("inf", 3, out) - out;
    return small_fixed_form(value, decimals, out);
}

std::string fixed_form(double value, int decimals) {
    char buffer[kFormBuffer];
    if (const std::size_t n = fixed_form_chars(value, decimals, buffer)) return std::string(buffer, n);
    // Sign, 309 integer digits, point and the decimals fit with room to spare.
    std::string out(static_cast<std::size_t>(std::max(decimals, 0)) + 330, '\0');
    const auto result = std::to_chars(out.data(), out.data() + out.size(), value,
                                      std::chars_format::fixed, std::max(decimals, 0));
    out.resize(static_cast<std::size_t>(result.ptr - out.data()));
    return out;
}

std::string shortest_form(double value) {
    char buffer[kFormBuffer];
    return std::string(buffer, shortest_form_chars(value, buffer));
}

std::size_t shortest_form_chars(double value, char* const out_begin) {
    if (std::isnan(value)) return std::copy_n("nan", 3, out_begin) - out_begin;
    if (std::isinf(value))
        return value < 0 ? std::copy_n("-inf", 4, out_begin) - out_begin
                         : std::copy_n("inf", 3, out_begin) - out_begin;
    // A whole number below 10^16 (1.0 is the network's most common real): its digits and ".0".
    if (std::fabs(value) < 1e16 && value == std::trunc(value)) {
        char* o = out_begin;
        if (std::signbit(value)) *o++ = '-';
        o = std::to_chars(o, out_begin + 24, static_cast<std::uint64_t>(std::fabs(value))).ptr;
        *o++ = '.';
        *o++ = '0';
        return static_cast<std::size_t>(o - out_begin);
    }
    // Shortest round-trip digits in the form "-d.ddde-XX", then laid out as the host does, in
    // one buffer: at most 17 digits, and at most 20 zeros around them in positional form.
    char scientific[64];
    const char* const scientific_end =
        std::to_chars(scientific, scientific + sizeof scientific, value,
                      std::chars_format::scientific).ptr;
    const char* p = scientific;
    char* o = out_begin;
    if (*p == '-') *o++ = *p++;
    char digits[24];
    std::size_t count = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    int exponent = 0;
    ++p;  // past 'e'
    std::from_chars(p + (*p == '+'), scientific_end, exponent);

    if (exponent >= 16 || exponent < -4) {
        *o++ = digits[0];
        if (count > 1) {
            *o++ = '.';
            o = std::copy(digits + 1, digits + count, o);
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) *o++ = '0';
        o = std::to_chars(o, out_begin + kFormBuffer, magnitude).ptr;
    } else if (exponent >= 0) {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        for (std::size_t i = 0; i < whole; ++i) *o++ = i < count ? digits[i] : '0';
        *o++ = '.';
        if (count > whole) {
            o = std::copy(digits + whole, digits + count, o);
        } else {
            *o++ = '0';
        }
    } else {
        *o++ = '0';
        *o++ = '.';
        o = std::fill_n(o, -exponent - 1, '0');
        o = std::copy(digits, digits + count, o);
    }
    return static_cast<std::size_t>(o - out_begin);
}

bool owner_burn_changed(std::string_view old_text, std::string_view new_text, double threshold) {
    // Most subnets keep their text from one cycle to the next. Equal texts differ by 0 (or by
    // NaN, for infinities and NaN) when numeric and are equal when not, so only a negative
    // threshold can make them a change.
    if (text::same(old_text, new_text) && !(threshold < 0.0)) return false;
    const auto old_value = parse_numeric_text(old_text);
    const auto new_value = parse_numeric_text(new_text);
    if (old_value && new_value) return std::fabs(*old_value - *new_value) > threshold;
    return old_text != new_text;
}

}  // namespace emberscope::burns
