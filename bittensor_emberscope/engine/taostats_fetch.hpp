// The Taostats listing of a cycle, through the services: every page of it, the rate-limit
// pauses the service asks for (within the cycle's wait budget, and remembered past it), and the
// whole "data" of the listing or why it could not be read whole.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "common/secrets.hpp"
#include "common/services.hpp"
#include "engine/json.hpp"
#include "engine/listing.hpp"
#include "engine/waits.hpp"
#include "taostats/settings.hpp"

namespace emberscope::engine {

/// Largest listing page read; a larger one is a failed fetch.
inline constexpr std::size_t kTaostatsMaxBody = taostats::kSuccessBodyLimit;
/// Largest body of an error status read.
inline constexpr std::size_t kTaostatsMaxErrorBody = taostats::kErrorBodyLimit;
/// Deadline of one page's exchange: twice its time-out.
inline constexpr double kTaostatsDeadlineFactor = 2;
/// Rows asked for per page: every subnet in one page, as the documented request asks. A server
/// that caps `limit` (the service documents 200 as its most) is read on through its next pages,
/// so the one request stays one wherever the server allows it: fewer calls against the key's rate
/// limit, one answer to inflate and read.
inline constexpr std::int64_t kTaostatsPageSize = taostats::kListingLimit;
/// Most pages read for one listing; a listing that goes on is not read whole.
inline constexpr int kTaostatsMaxPages = 64;
/// A listing page larger than this has the memory it took handed back to the system once the
/// listing is read. The network's listing is some hundreds of kilobytes; 32 MiB is a listing of
/// some 18,000 wide rows, half the largest page read (kTaostatsMaxBody). Below it the allocator
/// keeps what the page took for the next cycle, as a plain program keeps its buffer: handing it
/// back every cycle costs a page fault per 4 KiB the next cycle.
inline constexpr std::size_t kTaostatsReleaseAfter = std::size_t{32} << 20;
static_assert(kTaostatsReleaseAfter < kTaostatsMaxBody);

struct FetchFailure {
    enum class Kind {
        record,     ///< an answer that says no, or cannot be used
        transport,  ///< no answer
    };
    Kind kind = Kind::record;
    std::string detail;  ///< "taostats: " and the cause, one line, secrets masked
};

/// True when an answer record says the request was rate limited: "status_code" 429, or
/// "Rate Limited" in its "message".
bool is_rate_limited(const JsonValue& record);

/// GETs the listing with `key`, page after page (`limit` kTaostatsPageSize, `page` N) while the
/// answers name a `pagination.next_page`; an answer without "pagination" is the whole listing.
/// A page that fails, repeats or comes out of order, or rows that do not add up to
/// `total_items`, fail the fetch: a listing is read whole or not at all. A page repeats the one
/// before when the row rules make the same of its rows (listing.hpp's page digest). The rows
/// are read as they come (ListingReader): a page of the usual shape in place, any other decoded
/// whole.
///
/// A 429 (by status) is repeated after the wait its Retry-After header names (seconds or an
/// HTTP date; without one 2.0 s, then 1.8 times longer; at most 6 requests a page) when that wait
/// fits the budget left in `waits`. `not_before` (epoch seconds) is the time before which the
/// service is not asked: honoured on entry (waited for when it fits, else the fetch fails at
/// once), set by a 429 that ends the fetch, cleared once waited out. Each exchange ends after
/// `deadline_seconds` (default: kTaostatsDeadlineFactor time-outs). Texts are masked with
/// `secrets` before they are cut.
std::variant<Listing, FetchFailure> fetch_listing(
    Services& services, Waits& waits, const std::string& key,
    std::span<const secrets::Secret> secrets, std::optional<double>& not_before,
    std::optional<double> deadline_seconds = std::nullopt);

}  // namespace emberscope::engine
