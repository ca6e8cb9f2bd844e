// The trusted rows of a Taostats listing.
#include "engine/listing.hpp"

#include <unordered_map>

#include "common/text.hpp"

namespace emberscope::engine {
namespace {

constexpr std::size_t kSampleLength = 40;

std::string sample_of(const JsonValue& row) {
    if (!row.is_object()) return "(row " + text::first_code_points(dump_json(row), kSampleLength) + ")";
    const JsonValue* netuid = row.get("netuid");
    if (!netuid) return "(none)";
    std::string shown = dump_json(*netuid);
    std::string cut = text::first_code_points(shown, kSampleLength);
    if (cut.size() < shown.size()) cut += "...";
    return cut;
}

}  // namespace

std::string owner_burn_text(const JsonValue* value) {
    if (!value || !value->truthy()) return "0";
    return host_str(*value);
}

std::optional<std::string> valid_netuid(const JsonValue& netuid) {
    if (netuid.kind == JsonValue::Kind::integer) {
        if (netuid.text.front() == '-') return std::nullopt;
        return netuid.text;
    }
    if (netuid.kind != JsonValue::Kind::text || netuid.text.empty()) return std::nullopt;
    for (char c : netuid.text)
        if (c < '0' || c > '9') return std::nullopt;
    return netuid.text;
}

Listing read_listing(const JsonValue& data) {
    Listing listing;
    std::unordered_map<std::string, std::size_t> position;
    for (const JsonValue& row : data.items) {
        const JsonValue* netuid = row.get("netuid");
        std::optional<std::string> key = netuid ? valid_netuid(*netuid) : std::nullopt;
        if (!key) {
            if (listing.samples.size() < kInvalidSamples) listing.samples.push_back(sample_of(row));
            ++listing.invalid;
            continue;
        }
        std::string burn = owner_burn_text(row.get("incentive_burn"));
        auto [it, inserted] = position.try_emplace(*key, listing.rows.size());
        if (!inserted) {
            listing.rows[it->second].burn = std::move(burn);
            continue;
        }
        burns::DecimalInteger number = *burns::parse_integer_text(*key);
        listing.rows.push_back({std::move(*key), std::move(number), std::move(burn)});
    }
    return listing;
}

std::string invalid_rows_line(const Listing& listing) {
    std::string line = "[burn] listing: " + std::to_string(listing.invalid) +
                       " row(s) without a valid netuid left out (first: ";
    for (std::size_t k = 0; k < listing.samples.size(); ++k) {
        if (k) line += ", ";
        line += listing.samples[k];
    }
    return line + ")\n";
}

}  // namespace emberscope::engine
