// The trusted rows of a Taostats listing.
#include "engine/listing.hpp"

#include <unordered_map>

#include "burns/owner_burn.hpp"
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

std::string value_sample_of(const std::string& netuid, const JsonValue* value) {
    std::string shown = value ? dump_json(*value) : "(none)";
    std::string cut = text::first_code_points(shown, kSampleLength);
    if (cut.size() < shown.size()) cut += "...";
    return netuid + ": " + cut;
}

}  // namespace

burns::BurnValue burn_value_of(const JsonValue* value) {
    if (!value) return {};
    using K = JsonValue::Kind;
    using B = burns::BurnKind;
    B kind = B::other;
    switch (value->kind) {
        case K::null: kind = B::null; break;
        case K::boolean: kind = B::boolean; break;
        case K::integer: kind = B::integer; break;
        case K::real: kind = B::real; break;
        case K::text: kind = B::text; break;
        case K::array: kind = B::array; break;
        case K::object: kind = B::object; break;
    }
    return {kind, !value->truthy()};
}

std::string owner_burn_text(const JsonValue* value) {
    return burns::owner_burn_text(burn_value_of(value), [&] { return host_str(*value); });
}

std::optional<std::string> usable_burn_text(const JsonValue* value) {
    return burns::owner_burn_reading(burn_value_of(value), [&] { return host_str(*value); });
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
        const JsonValue* value = row.get("incentive_burn");
        std::optional<std::string> burn = usable_burn_text(value);
        if (!burn) {
            if (listing.samples.size() < kInvalidSamples)
                listing.samples.push_back(value_sample_of(*key, value));
            ++listing.invalid;
            listing.bad_values = true;
            if (!position.contains(*key)) listing.unvalued.push_back(std::move(*key));
            continue;
        }
        auto [it, inserted] = position.try_emplace(*key, listing.rows.size());
        if (!inserted) {
            listing.rows[it->second].burn = std::move(*burn);
            continue;
        }
        burns::DecimalInteger number = *burns::parse_integer_text(*key);
        listing.rows.push_back({std::move(*key), std::move(number), std::move(*burn)});
    }
    // A netuid that also has a usable row is watched through it; each other one is kept once.
    std::vector<std::string> unvalued;
    for (std::string& key : listing.unvalued) {
        if (position.contains(key)) continue;
        position.try_emplace(key, 0);
        unvalued.push_back(std::move(key));
    }
    listing.unvalued = std::move(unvalued);
    return listing;
}

std::string invalid_rows_line(const Listing& listing) {
    std::string line = "[burn] listing: " + std::to_string(listing.invalid) +
                       (listing.bad_values ? " row(s) without a valid netuid or owner burn left out (first: "
                                           : " row(s) without a valid netuid left out (first: ");
    for (std::size_t k = 0; k < listing.samples.size(); ++k) {
        if (k) line += ", ";
        line += listing.samples[k];
    }
    return line + ")\n";
}

}  // namespace emberscope::engine
