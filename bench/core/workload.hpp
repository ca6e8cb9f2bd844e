// Inputs for the core benchmarks: listings of a given size, shaped like the Taostats network.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "burns/burn_map.hpp"
#include "reports/texts.hpp"

namespace emberscope::bench {

/// Everything one listing of `size` subnets feeds into the core, prepared ahead of timing.
struct Workload {
    std::size_t size = 0;
    /// Owner burn texts as the rows give them: "0", "0.0", "1.0", shortest reals, a few texts.
    std::vector<std::string> burn_texts;
    /// The numbers behind `burn_texts`, for the display and shortest forms.
    std::vector<double> values;
    /// Previous texts of the same subnets: about one in twenty moved, one in fifty respelled.
    std::vector<std::string> previous_texts;
    /// Netuid texts "0" .. size-1.
    std::vector<std::string> netuids;
    /// Netuid text -> burn text, in listing (numeric) order.
    burns::BurnMap map;
    /// One alert line per subnet, display forms ready.
    std::vector<reports::AlertLine> alert_lines;
    /// One snapshot line per subnet, display forms ready.
    std::vector<reports::SnapshotLine> snapshot_lines;
    /// The snapshot text of the whole listing.
    std::string snapshot_text;
};

/// A deterministic workload of `size` subnets.
Workload make_workload(std::size_t size, unsigned seed = 0);

/// A snapshot text with `lines` body lines (the chunker's input at any scale).
std::string make_snapshot_text(std::size_t lines, unsigned seed = 0);

/// The listing's JSON body as the Taostats API pages it, `size` rows on one page, each row with
/// the fields the network sends (addresses, block numbers, amounts as texts) and an owner burn
/// value drawn like the workload's (reals, zeros, a few texts, a few absent), in the host
/// encoder's layout (", " and ": " separators).
std::string make_listing_json(std::size_t size, unsigned seed = 0);

/// The time stamp every rendered text carries.
inline constexpr const char* kUpdatedAt = "2026-03-01T12:00:00Z";

}  // namespace emberscope::bench
