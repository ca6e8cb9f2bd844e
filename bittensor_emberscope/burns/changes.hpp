// Change detection between two BurnMaps: netuid order and the list of changed subnets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "burns/burn_map.hpp"
#include "burns/numeric.hpp"

namespace emberscope::burns {

/// The positions 0..n-1 of `netuids` in ascending numeric order; equal numbers keep their
/// relative order (a stable sort).
std::vector<std::size_t> netuid_order(const std::vector<DecimalInteger>& netuids);
/// The same for numbers that fit in 64 bits (see small_integer_text).
std::vector<std::size_t> netuid_order(const std::vector<std::int64_t>& netuids);

/// Netuid text -> owner burn text, as views of texts held elsewhere (in a BurnMap, or in the
/// host's own strings).
using BurnView = std::vector<std::pair<std::string_view, std::string_view>>;

/// One changed subnet: its position in `current` and the position of its key in `prev`.
struct ChangedEntry {
    std::size_t current;
    std::size_t prev;
    bool operator==(const ChangedEntry&) const = default;
};

/// The changes of list_changes, as positions: the subnets of `current` whose key text `prev`
/// holds (at its last position when held twice) and whose owner burn text moved by more than
/// `threshold`, in ascending order of `netuids`. REQUIRES: netuids.size() == current.size().
std::vector<ChangedEntry> changed_entries(const BurnView& prev, const BurnView& current,
                                          const std::vector<DecimalInteger>& netuids,
                                          double threshold);
/// The same with the netuid order already made (netuid_order of the keys of `current`).
std::vector<ChangedEntry> changed_entries_in_order(const BurnView& prev, const BurnView& current,
                                                   const std::vector<std::size_t>& order,
                                                   double threshold);

/// The subnets of `current` that `prev` holds under the same key text and whose owner burn
/// text moved by more than `threshold` (owner_burn_changed), as (netuid, old, new) in
/// ascending order of `netuids`, which holds the number of each key of `current`, by position.
/// Keys only in `prev` or only in `current` are never reported.
/// REQUIRES: netuids.size() == current.size().
std::vector<BurnChange> list_changes(const BurnMap& prev, const BurnMap& current,
                                     const std::vector<DecimalInteger>& netuids, double threshold);
/// The same with the netuid order already made (netuid_order of the keys of `current`).
std::vector<BurnChange> list_changes_in_order(const BurnMap& prev, const BurnMap& current,
                                              const std::vector<std::size_t>& order,
                                              double threshold);

}  // namespace emberscope::burns
