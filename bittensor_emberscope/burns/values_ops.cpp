// Host-facing owner burn operations.
#include "burns/values_ops.hpp"

#include "burns/numeric.hpp"
#include "host/module.hpp"

namespace emberscope::burns {
namespace {

// Precisions above this go to the host's own formatter, which has its own limits and errors.
constexpr std::int64_t kNativePrecisionLimit = 1000;

}  // namespace

std::string owner_burn_text(const host::Object& value) {
    switch (value.kind()) {
        case host::Kind::text: {
            std::string text = value.text();
            return text.empty() ? "0" : text;
        }
        case host::Kind::real: {
            double d = value.real();
            return d == 0.0 ? "0" : shortest_form(d);
        }
        case host::Kind::integer:
            if (auto small = value.small_integer()) return *small == 0 ? "0" : std::to_string(*small);
            return value.str();
        default:
            return value.truthy() ? value.str() : "0";
    }
}

DisplayFormat current_display_format() {
    host::Object decimals = host::global("OWNER_BURN_DECIMALS");
    if (decimals.kind() == host::Kind::integer && decimals.type_name() == "int") {
        std::optional<std::int64_t> p = decimals.small_integer();
        if (p && *p >= 0 && *p <= kNativePrecisionLimit) return {static_cast<int>(*p), decimals};
    }
    return {std::nullopt, decimals};
}

std::string display_form(const std::string& value, const DisplayFormat& format) {
    std::optional<double> number = parse_numeric_text(value);
    if (!number) return value;
    if (format.precision) return fixed_form(*number, *format.precision);
    // Anything unusual: let the host format it exactly as it would, errors included.
    std::string pattern = "." + format.decimals.str() + "f";
    return host::global("format").call({host::real(*number), host::text(pattern)}).text();
}

std::string display_form(const std::string& value) {
    return display_form(value, current_display_format());
}

host::Object owner_burn_from_row(const host::Args& args) {
    std::optional<host::Object> field = args.object<kRowParams, "row">().get("incentive_burn");
    return host::text(field ? owner_burn_text(*field) : "0");
}

host::Object format_owner_burn(const host::Args& args) {
    return host::text(display_form(std::string(args.text<kValueParams, "value">())));
}

host::Object owner_burn_changed(const host::Args& args) {
    const std::string_view old_text = args.text<kChangedParams, "old">();
    const std::string_view new_text = args.text<kChangedParams, "new">();
    const double threshold = args.real<kChangedParams, "threshold">();
    return host::boolean(burns::owner_burn_changed(old_text, new_text, threshold));
}

}  // namespace emberscope::burns
