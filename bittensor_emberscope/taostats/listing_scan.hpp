// The burn map of a plain listing answer, read straight from its body.
//
// A watch cycle needs two things from the listing: each row's "netuid" and its owner burn text.
// Decoding the whole answer into the host's values and walking them costs more than the rest of
// a quiet cycle together, so a body of the usual shape is scanned once here instead. The scan
// takes only what it can answer exactly as the host's decoding followed by the row rules would:
// strict UTF-8, strict JSON as the host's decoder reads it, an object whose one "data" member is
// a non-empty array of objects, no "status_code" or "message" at the top (those decide rate
// limiting), netuids that are integers or texts without escapes, owner burn values that are
// scalars, empty structures or texts without escapes. For anything else it declines and the
// answer goes the host's way, with the host's values, results and errors.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "burns/burn_map.hpp"

namespace emberscope::taostats {

struct ScannedListing {
    /// One entry per row with a "netuid", keyed by its text; a repeated netuid keeps its first
    /// place and takes the later row's value.
    burns::BurnMap burns;
    /// Rows in "data", with or without a "netuid".
    std::size_t rows = 0;
};

/// The listing of a success body, or nullopt when the body is not of the plain shape above.
std::optional<ScannedListing> scan_listing(std::string_view body);

}  // namespace emberscope::taostats
