// The rows of a Taostats listing the engine can trust: a valid netuid, an owner burn text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "burns/numeric.hpp"
#include "burns/owner_burn.hpp"
#include "common/secrets.hpp"
#include "engine/json.hpp"
#include "taostats/listing_scan.hpp"

namespace emberscope::engine {

/// How many invalid netuids a console line shows.
inline constexpr std::size_t kInvalidSamples = 5;

struct ListingRow {
    std::string netuid;             ///< the key: an integer's digits, or the decimal text as sent
    burns::DecimalInteger number;   ///< its value, for ordering
    std::string burn;               ///< the owner burn text
};

struct Listing {
    std::vector<ListingRow> rows;   ///< valid rows in listing order; a repeated netuid keeps its
                                    ///< first place and the later valid row's value
    std::size_t invalid = 0;        ///< rows left out: not an object, no netuid, a bad one, or
                                    ///< no usable owner burn
    std::vector<std::string> samples;  ///< the first few left-out rows, as JSON excerpts
    /// Netuids whose every row was left out for its owner burn alone: their last known value
    /// stands.
    std::vector<std::string> unvalued;
    /// True when some row was left out for its owner burn.
    bool bad_values = false;
};

/// A row's "incentive_burn" value (nullptr when absent) as the owner burn rule sees it.
burns::BurnValue burn_value_of(const JsonValue* value);

/// The owner burn text of a row's "incentive_burn" value (nullptr when absent): "0" for an absent
/// or empty value (null, false, zero, "", [], {}), a text unchanged, anything else as the host's
/// str() shows it.
std::string owner_burn_text(const JsonValue* value);

/// The owner burn text of a row's "incentive_burn" value when it is a reading: nullopt when the
/// value is absent or null, or when it reads as a number that is not finite (nan, inf in any
/// spelling the number rule accepts, an overflowing exponent).
std::optional<std::string> usable_burn_text(const JsonValue* value);

/// The key of a valid netuid: a whole number >= 0 given as a JSON integer or as a text of ASCII
/// digits. Null, booleans, reals, signs, other texts and structures are not valid.
std::optional<std::string> valid_netuid(const JsonValue& netuid);

/// Applies the row rules to the rows of a listing as its pages come, in order.
class ListingReader {
public:
    /// `secrets` are masked in the samples of left-out rows before they are cut.
    explicit ListingReader(std::span<const secrets::Secret> secrets = {}) : secrets_(secrets) {}
    /// A row of a page decoded whole.
    void add(const JsonValue& row);
    /// A row of a scanned page: its values read from their JSON text.
    void add(const taostats::RowSlices& row);
    /// Rows added so far, valid or not.
    std::size_t rows() const { return rows_; }
    /// A digest of what the rules made of the rows added since the last call (each row's key
    /// and owner burn text, or its sample when left out): two pages of the same rows have the
    /// same digest, whether they were scanned or decoded.
    std::uint64_t take_page_digest() { return std::exchange(digest_, kDigestSeed); }
    /// The listing of every row added.
    Listing finish();

private:
    static constexpr std::uint64_t kDigestSeed = 0xcbf29ce484222325ULL;
    std::span<const secrets::Secret> secrets_;
    void add_object(const JsonValue* netuid, const JsonValue* value);
    void mix(std::string_view text);
    bool known(const std::string& key);
    void index_rows();

    Listing listing_;
    std::size_t rows_ = 0;
    std::uint64_t digest_ = kDigestSeed;
    // While every key was a short integer above the one before (the listing asks for ascending
    // order) no key can repeat and the rows need no index; the first that breaks the order, or
    // the first row left out for its owner burn, builds it.
    bool ascending_ = true;
    std::int64_t last_ = -1;
    std::unordered_map<std::string, std::size_t> position_;
};

/// The trusted rows of the listing's "data" array.
Listing read_listing(const JsonValue& data);

/// "[burn] listing: N row(s) without a valid netuid left out (first: a, b, c)\n"; "without a
/// valid netuid or owner burn" when some row was left out for its owner burn ("7: null").
std::string invalid_rows_line(const Listing& listing);

}  // namespace emberscope::engine
