// The owner burn rule: the text a row's "incentive_burn" value stands for, and when it is a reading.
//
// Three readers hold that value in forms of their own: the host's values (the module's
// owner_burn_from_row and the rows a watch cycle gets back from the host), the engine's decoded
// JSON, and the tokens of a listing body scanned in place. Each describes its value (its kind,
// whether it is an empty form) and says how to make its str() form; the decision is made here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace emberscope::burns {

/// The kinds an owner burn value comes in: a member left out of its row, what JSON decodes to,
/// and `other` for any other value a host row may hold.
enum class BurnKind : unsigned char { absent, null, boolean, integer, real, text, array, object, other };

/// What the owner burn rule needs to know of a value besides its str() form.
struct BurnValue {
    BurnKind kind = BurnKind::absent;
    /// One of the empty forms: false, zero (0, 0.0 or -0.0), "", [] or {}; for `other`, a value
    /// the host's truth test holds false.
    bool empty = false;
};

/// The owner burn text of an absent or empty value.
inline constexpr std::string_view kZeroBurn = "0";

/// True when the value's owner burn text is "0": it is absent, null or an empty form.
constexpr bool burns_as_zero(BurnValue value) noexcept {
    return value.kind == BurnKind::absent || value.kind == BurnKind::null || value.empty;
}

/// The owner burn of `value` in the caller's own form: `zero()` for an absent or empty value,
/// else `shown()`, which makes the value's str() form (a text's is the text itself, unchanged:
/// no trimming, no validation). Only the one chosen runs, so a caller may hand back a value it
/// already holds or write into storage it keeps. Both return the same type.
template <class Zero, class Shown>
constexpr auto owner_burn(BurnValue value, Zero&& zero, Shown&& shown) {
    if (burns_as_zero(value)) return std::forward<Zero>(zero)();
    return std::forward<Shown>(shown)();
}

/// The owner burn text of `value`: "0" for an absent or empty value, else what `str()` makes.
template <class Str>
std::string owner_burn_text(BurnValue value, Str&& str) {
    return owner_burn(
        value, [] { return std::string(kZeroBurn); },
        [&] { return std::string(std::forward<Str>(str)()); });
}

/// True when a value with the owner burn text `text` is a reading of the rate: the value is
/// there and not null, and `text` does not read as a number that is not finite (nan, inf in any
/// spelling the numeric-text rule accepts, an exponent past the range of a double). An empty
/// form ("0") and a text that is not numeric are readings.
bool is_reading(BurnValue value, std::string_view text);

/// The owner burn text of `value` when it is a reading (see is_reading), else nullopt; `str` is
/// not called for an absent or null value.
template <class Str>
std::optional<std::string> owner_burn_reading(BurnValue value, Str&& str) {
    if (value.kind == BurnKind::absent || value.kind == BurnKind::null) return std::nullopt;
    std::string text = owner_burn_text(value, std::forward<Str>(str));
    if (!is_reading(value, text)) return std::nullopt;
    return text;
}

}  // namespace emberscope::burns
