// Change detection between two BurnMaps: netuid order and the list of changed subnets.
#pragma once

#include <cstddef>
#include <vector>

#include "burns/burn_map.hpp"
#include "burns/numeric.hpp"

namespace emberscope::burns {

/// The positions 0..n-1 of `netuids` in ascending numeric order; equal numbers keep their
/// relative order (a stable sort).
std::vector<std::size_t> netuid_order(const std::vector<DecimalInteger>& netuids);

/// The subnets of `current` that `prev` holds under the same key text and whose owner burn
/// text moved by more than `threshold` (owner_burn_changed), as (netuid, old, new) in
/// ascending order of `netuids`, which holds the number of each key of `current`, by position.
/// Keys only in `prev` or only in `current` are never reported.
/// REQUIRES: netuids.size() == current.size().
std::vector<BurnChange> list_changes(const BurnMap& prev, const BurnMap& current,
                                     const std::vector<DecimalInteger>& netuids, double threshold);

}  // namespace emberscope::burns
