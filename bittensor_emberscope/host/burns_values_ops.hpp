// Host-facing owner burn operations: a row's owner burn text, its display form, the change test.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/calls.hpp"

namespace emberscope::burns {

/// The owner burn text of a host value: "0" for an empty or absent value, a text unchanged,
/// the shortest round-trip form of a real, and the host's str() of anything else.
std::string owner_burn_text(const host::Object& value);
/// The same as a host text: a non-empty exact text is handed back itself.
host::Object owner_burn_object(const host::Object& value);

/// The module's OWNER_BURN_DECIMALS when loaded: decimals of an owner burn's display form.
inline constexpr long kDefaultOwnerBurnDecimals = 4;

/// The module's OWNER_BURN_DECIMALS as read at one moment: a plain precision rendered natively,
/// or any other value, which the host's own formatter is left to handle.
struct DisplayFormat {
    std::optional<int> precision;
    host::Object decimals;
};

/// Reads OWNER_BURN_DECIMALS now (once per rendered text, so a host may change it any time).
DisplayFormat current_display_format();

/// The display form of a number: fixed-point with the given decimals.
std::string display_number(double number, const DisplayFormat& format);
/// The display form of an owner burn text when it is numeric; nullopt when it is not.
std::optional<std::string> numeric_display_form(std::string_view value, const DisplayFormat& format);
/// The display form of an owner burn text: its fixed-point form with the given decimals, or the
/// text itself when it is not numeric.
std::string display_form(std::string_view value, const DisplayFormat& format);
/// The same with the decimals read now.
std::string display_form(std::string_view value);
/// The display form of a row's owner burn member: display_form(owner_burn_text(burn)), without
/// making the text where the host value is a real or a text.
std::string burn_display_form(const host::Object& burn, const DisplayFormat& format);
/// The same written into `out` (its storage reused).
void burn_display_form(const host::Object& burn, const DisplayFormat& format, std::string& out);

// Operations and their parameters.
inline constexpr host::Param kRowParams[] = {host::required("row", host::ParamType::map)};
inline constexpr host::Param kValueParams[] = {host::required("value", host::ParamType::text)};
inline constexpr host::Param kChangedParams[] = {host::required("old", host::ParamType::text), host::required("new", host::ParamType::text), host::required("threshold", host::ParamType::real)};

host::Object owner_burn_from_row(const host::Args& args);  // kRowParams
host::Object format_owner_burn(const host::Args& args);    // kValueParams
host::Object owner_burn_changed(const host::Args& args);   // kChangedParams

}  // namespace emberscope::burns
