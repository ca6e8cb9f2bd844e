// One page of the Taostats listing read in one pass over its body, without decoding it, for both
// readers of the listing: the command's cycle (the row rules over the values it finds, engine/
// listing.hpp) and the documented module's watch cycle (the burn map below).
//
// A cycle reads two members of each row ("netuid" and "incentive_burn") and the page's
// "pagination"; a row carries some fifty. The scan checks the whole body as the decoders would
// (strict UTF-8, the grammar, NaN and Infinity, escapes, control characters) and keeps only where
// the members it needs are, as views of the body. Where the answer would not come out exactly as
// a decoder's (a repeated "data" or "pagination", a "data" that is not an array, a member name
// with an escape where names are looked at, deep nesting, very long numbers, anything a decoder
// refuses) it declines, and the page goes the decoder's way, with its values and error texts.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "burns/burn_map.hpp"

namespace emberscope::taostats {

/// Where one row's values are in the body: each the JSON text of a value, empty when absent.
struct RowSlices {
    std::string_view netuid;  ///< the last "netuid" member's value
    std::string_view burn;    ///< the last "incentive_burn" member's value
    std::string_view whole;   ///< the row itself when it is not an object, else empty
    bool repeats = false;     ///< "netuid" or "incentive_burn" came more than once
};

struct PageSlices {
    std::vector<RowSlices> rows;   ///< the items of "data", in order
    std::string_view pagination;   ///< the "pagination" member's value, empty when absent
    /// The answer has a "status_code" or "message" member at its top: a record whose words
    /// may say rate limited.
    bool record_words = false;
};

/// What a scan takes for its reader's decoder.
struct ScanRules {
    /// The scan checks texts as strict UTF-8 (outside texts the grammar takes ASCII only);
    /// otherwise the body is known to be UTF-8 before.
    bool checks_utf8;
    /// Longest number token taken: a decoder refuses integers of too many digits.
    std::size_t longest_number;
};
/// The command's pages: checked as UTF-8 first, parse_json's digit limit.
inline constexpr ScanRules kCommandScan{false, 4300};
/// The documented module's answers: the scan checks their UTF-8; a margin below the host's
/// digit limit of 4,300, which a program may lower.
inline constexpr ScanRules kHostScan{true, 4000};

/// Scans a body that decodes to an object with exactly one "data" member, an array, and at most
/// one "pagination" member. Returns false for any other body, or one the scan does not take
/// (`page` is then unspecified). `page.rows` keeps its storage between calls.
bool scan_listing_page(std::string_view body, PageSlices& page, const ScanRules& rules = kCommandScan);

struct ScannedListing {
    /// One entry per row with a "netuid", keyed by its text; a repeated netuid keeps its first
    /// place and takes the later row's value.
    burns::BurnMap burns;
    /// Rows in "data", with or without a "netuid".
    std::size_t rows = 0;
};

/// The documented module's listing of a success body, read as the host's decoding followed by
/// the row rules would read it; nullopt (the answer goes the host's way) unless the body is a
/// page scanned under kHostScan without "status_code" or "message" at its top
/// (those decide rate limiting), whose "data" is a non-empty array of objects, whose netuids
/// are integers or texts without escapes, and whose owner burn values are scalars, empty
/// structures or texts without escapes, each member once a row.
std::optional<ScannedListing> scan_listing(std::string_view body);

}  // namespace emberscope::taostats
