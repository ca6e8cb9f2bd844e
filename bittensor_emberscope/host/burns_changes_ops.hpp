// Host-facing change detection: netuid sort keys by the host's int(), and diff_burns.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "burns/burn_map.hpp"
#include "burns/numeric.hpp"
#include "host/calls.hpp"

namespace emberscope::burns {

/// The number that the host's int() makes of a netuid text. A text that the native rule
/// refuses, or one long enough for the host's digit limit to matter, goes to the host's int(),
/// which raises its own ValueError (and whose number is used should it accept the text).
DecimalInteger netuid_sort_key(std::string_view text);

/// The same for any host value: a plain text as above, an int as is, anything else through
/// the host's int() (a real truncated, a boolean 0 or 1; None, lists and maps raise its error).
DecimalInteger netuid_sort_key(const host::Object& value);

/// The changes between `prev` and `current` in ascending netuid order (burns/changes.hpp).
/// Every key of `current` is converted before the first comparison, so a key that the host's
/// int() refuses raises its ValueError and no list is made. Keys of `prev` are never converted.
std::vector<BurnChange> diff_burns(const BurnMap& prev, const BurnMap& current, double threshold);

// The operation and its parameters.
inline constexpr host::Param kDiffParams[] = {host::required("prev", host::ParamType::map), host::required("current", host::ParamType::map), host::required("threshold", host::ParamType::real)};

host::Object diff_burns(const host::Args& args);  // kDiffParams

}  // namespace emberscope::burns
