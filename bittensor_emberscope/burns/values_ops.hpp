// Host-facing owner burn operations: a row's owner burn text, its display form, the change test.
#pragma once

#include <string>

#include "host/calls.hpp"

namespace emberscope::burns {

/// The owner burn text of a host value: "0" for an empty or absent value, a text unchanged,
/// the shortest round-trip form of a real, and the host's str() of anything else.
std::string owner_burn_text(const host::Object& value);

/// The display form of an owner burn text with the module's current OWNER_BURN_DECIMALS.
std::string display_form(const std::string& value);

host::Object owner_burn_from_row(const host::Args& args);  // (row)
host::Object format_owner_burn(const host::Args& args);    // (value)
host::Object owner_burn_changed(const host::Args& args);   // (old, new, threshold)

}  // namespace emberscope::burns
