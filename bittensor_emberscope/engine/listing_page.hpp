// One page of the Taostats listing read in one pass over its body, without decoding it.
//
// The cycle reads two members of each row ("netuid" and "incentive_burn") and the page's
// "pagination"; a row carries some fifty. The scan checks the whole body as parse_json would
// (strict UTF-8 checked before, the grammar, NaN and Infinity, escapes, control characters) and
// keeps only where the members it needs are, as views of the body. Where the answer would not
// come out exactly as parse_json's (a repeated "data" or "pagination", a "data" that is not an
// array, deep nesting, very long numbers, anything it refuses) it declines, and the page is
// decoded whole, with parse_json's values and error texts.
#pragma once

#include <string_view>
#include <vector>

namespace emberscope::engine {

/// Where one row's values are in the body: each the JSON text of a value, empty when absent.
struct RowSlices {
    std::string_view netuid;  ///< the last "netuid" member's value
    std::string_view burn;    ///< the last "incentive_burn" member's value
    std::string_view whole;   ///< the row itself when it is not an object, else empty
};

struct PageSlices {
    std::vector<RowSlices> rows;   ///< the items of "data", in order
    std::string_view pagination;   ///< the "pagination" member's value, empty when absent
};

/// Scans a body (already known to be UTF-8) that parse_json decodes to an object with exactly
/// one "data" member, an array, and at most one "pagination" member. Returns false for any other
/// body, or one the scan does not take (`page` is then unspecified). `page.rows` keeps its
/// storage between calls.
bool scan_listing_page(std::string_view body, PageSlices& page);

}  // namespace emberscope::engine
