// Host-facing owner burn operations.
#include "host/burns_values_ops.hpp"


#include <bit>
#include <charconv>
#include <cstdint>

#include "burns/numeric.hpp"
#include "burns/owner_burn.hpp"
#include "host/error.hpp"
#include "host/module.hpp"
#include "host/raw.hpp"

namespace emberscope::burns {
namespace {

// Precisions above this go to the host's own formatter, which has its own limits and errors.
constexpr std::int64_t kNativePrecisionLimit = 1000;

std::string integer_digits(std::int64_t v) {
    char buffer[24];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, v).ptr);
}

/// The shortest form of a real as a host text; 1.0 and the reals a listing repeats over many
/// rows come from the module's shared texts.
host::Object real_text(double d) {
    if (d == 1.0) return host::key(host::Key::one);
    const auto bits = std::bit_cast<std::uint64_t>(d);
    if (host::RawObject* kept = host::shared_real_text(bits)) return host::Object::borrow(kept);
    char buffer[kFormBuffer];
    host::Object text = host::ascii_text(std::string_view(buffer, shortest_form_chars(d, buffer)));
    host::keep_real_text(bits, text);
    return text;
}

/// The number the owner burn text of the real `d` reads back as: `d` itself (its shortest form
/// reads back exactly), or 0.0 where the text is "0" (so -0.0 shows as 0.0000, not -0.0000).
double burn_number(double d) {
    return owner_burn({BurnKind::real, d == 0.0}, [] { return 0.0; }, [&] { return d; });
}

/// The owner burn rule's kind of a host value.
BurnKind burn_kind(host::Kind kind) {
    switch (kind) {
        case host::Kind::null: return BurnKind::null;
        case host::Kind::boolean: return BurnKind::boolean;
        case host::Kind::integer: return BurnKind::integer;
        case host::Kind::real: return BurnKind::real;
        case host::Kind::text: return BurnKind::text;
        case host::Kind::list: return BurnKind::array;
        case host::Kind::map: return BurnKind::object;
        case host::Kind::other: break;
    }
    return BurnKind::other;
}

}  // namespace

std::string owner_burn_text(const host::Object& value) {
    host::RawObject* v = value.ptr();
    if (host::raw::is_text(v)) {
        // An exact text is most rows' case: no type tests beyond this one.
        return owner_burn_text({BurnKind::text, host::raw::text_length(v) == 0},
                               [&] { return value.text(); });
    }
    if (host::raw::is_float(v)) {
        const double d = host::raw::float_value(v);
        return owner_burn_text({BurnKind::real, d == 0.0}, [&] { return shortest_form(d); });
    }
    switch (const host::Kind kind = value.kind()) {
        case host::Kind::text: {
            std::string text = value.text();
            const bool empty = text.empty();
            return owner_burn_text({BurnKind::text, empty}, [&] { return std::move(text); });
        }
        case host::Kind::real: {
            const double d = value.real();
            return owner_burn_text({BurnKind::real, d == 0.0}, [&] { return shortest_form(d); });
        }
        case host::Kind::integer: {
            // An integer past 64 bits is never zero; its str() is the host's to make.
            const std::optional<std::int64_t> small = value.small_integer();
            return owner_burn_text({BurnKind::integer, small == 0},
                                   [&] { return small ? integer_digits(*small) : value.str(); });
        }
        default:
            return owner_burn_text({burn_kind(kind), !value.truthy()}, [&] { return value.str(); });
    }
}

host::Object owner_burn_object(const host::Object& value) {
    host::RawObject* v = value.ptr();
    const auto zero = [] { return host::key(host::Key::zero); };
    // A non-empty exact text is its own owner burn text: handed back as it is.
    if (host::raw::is_text(v))
        return owner_burn({BurnKind::text, host::raw::text_length(v) == 0}, zero, [&] { return value; });
    if (host::raw::is_float(v)) {
        const double d = host::raw::float_value(v);
        return owner_burn({BurnKind::real, d == 0.0}, zero, [&] { return real_text(d); });
    }
    // Any other value's text is made; a "0" is the module's shared one.
    const std::string text = owner_burn_text(value);
    if (text == kZeroBurn) return zero();
    return host::text(text);
}

DisplayFormat current_display_format() {
    host::Object decimals = host::global(host::Key::owner_burn_decimals);
    if (host::raw::is_int(decimals.ptr())) {
        std::optional<std::int64_t> p = decimals.small_integer();
        if (p && *p >= 0 && *p <= kNativePrecisionLimit) return {static_cast<int>(*p), decimals};
    }
    return {std::nullopt, decimals};
}

std::string display_number(double number, const DisplayFormat& format) {
    if (format.precision) return fixed_form(number, *format.precision);
    // Anything unusual: let the host format it exactly as it would, errors included.
    std::string pattern = "." + format.decimals.str() + "f";
    return host::global("format").call({host::real(number), host::text(pattern)}).text();
}

std::optional<std::string> numeric_display_form(std::string_view value, const DisplayFormat& format) {
    std::optional<double> number = parse_numeric_text(value);
    if (!number) return std::nullopt;
    return display_number(*number, format);
}

std::string display_form(std::string_view value, const DisplayFormat& format) {
    if (std::optional<std::string> shown = numeric_display_form(value, format)) return std::move(*shown);
    return std::string(value);
}

std::string display_form(std::string_view value) {
    return display_form(value, current_display_format());
}

void burn_display_form(const host::Object& burn, const DisplayFormat& format, std::string& out) {
    if (host::raw::is_float(burn.ptr()) && format.precision) {
        char buffer[kFormBuffer];
        const double d = burn_number(host::raw::float_value(burn.ptr()));
        if (const std::size_t n = fixed_form_chars(d, *format.precision, buffer)) {
            out.assign(buffer, n);
            return;
        }
    }
    out = burn_display_form(burn, format);
}

std::string burn_display_form(const host::Object& burn, const DisplayFormat& format) {
    host::RawObject* v = burn.ptr();
    if (host::raw::is_float(v)) return display_number(burn_number(host::raw::float_value(v)), format);
    if (host::raw::is_text(v) && host::raw::text_length(v) != 0) {
        std::string_view text;
        if (host::utf8_view(v, text)) return display_form(text, format);
    }
    return display_form(owner_burn_text(burn), format);
}

host::Object owner_burn_from_row(const host::Args& args) {
    host::RawObject* row = args.raw<kRowParams, "row">();
    const host::Object key = host::key(host::Key::incentive_burn);
    // Borrowed from the row, which the call holds; no host code runs before it is used.
    host::RawObject* found = host::raw::dict_find(row, key.ptr());
    if (found == nullptr) return host::key(host::Key::zero);
    return owner_burn_object(host::Object::borrow(found));
}

host::Object format_owner_burn(const host::Args& args) {
    const std::string_view value = args.text<kValueParams, "value">();
    const std::optional<double> number = parse_numeric_text(value);
    if (number) {
        const DisplayFormat format = current_display_format();
        char buffer[kFormBuffer];
        if (format.precision) {
            if (const std::size_t n = fixed_form_chars(*number, *format.precision, buffer))
                return host::ascii_text(std::string_view(buffer, n));
        }
        return host::text(display_number(*number, format));
    }
    // Not numeric: the text itself.
    return host::Object::borrow(args.raw<kValueParams, "value">());
}

host::Object owner_burn_changed(const host::Args& args) {
    const std::string_view old_text = args.text<kChangedParams, "old">();
    const std::string_view new_text = args.text<kChangedParams, "new">();
    const double threshold = args.real<kChangedParams, "threshold">();
    return host::boolean(burns::owner_burn_changed(old_text, new_text, threshold));
}

}  // namespace emberscope::burns
