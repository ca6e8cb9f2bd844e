// The trusted rows of a Taostats listing.
#include "engine/listing.hpp"

#include <functional>
#include <unordered_map>

#include "burns/owner_burn.hpp"
#include "common/text.hpp"

namespace emberscope::engine {
namespace {

constexpr std::size_t kSampleLength = 40;

// A value's JSON text as a left-out row's sample shows it: secrets masked first, then cut, so
// that no cut leaves part of a secret the mask would no longer recognise.
std::string excerpt_of(const JsonValue& value, std::span<const secrets::Secret> secrets,
                       bool ellipsis = true) {
    const std::string shown = secrets::mask(dump_json(value), secrets);
    std::string cut = text::first_code_points(shown, kSampleLength);
    if (ellipsis && cut.size() < shown.size()) cut += "...";
    return cut;
}

std::string sample_of(const JsonValue& row, std::span<const secrets::Secret> secrets) {
    if (!row.is_object()) return "(row " + excerpt_of(row, secrets, false) + ")";
    const JsonValue* netuid = row.get("netuid");
    return netuid ? excerpt_of(*netuid, secrets) : std::string("(none)");
}

std::string value_sample_of(const std::string& netuid, const JsonValue* value,
                            std::span<const secrets::Secret> secrets) {
    return netuid + ": " + (value ? excerpt_of(*value, secrets) : std::string("(none)"));
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

void ListingReader::mix(std::string_view text) {
    digest_ = (digest_ ^ std::hash<std::string_view>{}(text)) * 0x100000001b3ULL;
}

void ListingReader::index_rows() {
    if (!ascending_) return;
    ascending_ = false;
    position_.reserve(listing_.rows.size() * 2);
    for (std::size_t i = 0; i < listing_.rows.size(); ++i) position_.emplace(listing_.rows[i].netuid, i);
}

bool ListingReader::known(const std::string& key) {
    index_rows();
    return position_.contains(key);
}

void ListingReader::add(const JsonValue& row) {
    if (row.is_object()) return add_object(row.get("netuid"), row.get("incentive_burn"));
    ++rows_;
    std::string sample = sample_of(row, secrets_);
    mix(sample);
    if (listing_.samples.size() < kInvalidSamples) listing_.samples.push_back(std::move(sample));
    ++listing_.invalid;
}

namespace {

// The value whose JSON text is `text` (a value the page scan has checked): scalars read here,
// anything else decoded.
void read_value(std::string_view text, JsonValue& out) {
    using K = JsonValue::Kind;
    const char c = text.front();
    if (c == '"' && text.find('\\') == std::string_view::npos) {
        out.kind = K::text;
        out.text.assign(text.data() + 1, text.size() - 2);
        return;
    }
    if ((c >= '0' && c <= '9') || (c == '-' && text.size() > 1 && text[1] >= '0' && text[1] <= '9')) {
        if (text.find_first_of(".eE") != std::string_view::npos) {
            out.kind = K::real;
            out.real = json_real(text);
        } else {
            out.kind = K::integer;
            out.text = text == "-0" ? std::string_view("0") : text;
        }
        return;
    }
    out = std::get<JsonValue>(parse_json(text));
}

}  // namespace

void ListingReader::add(const taostats::RowSlices& row) {
    if (!row.whole.empty()) return add(std::get<JsonValue>(parse_json(row.whole)));
    JsonValue netuid, value;
    if (!row.netuid.empty()) read_value(row.netuid, netuid);
    if (!row.burn.empty()) read_value(row.burn, value);
    add_object(row.netuid.empty() ? nullptr : &netuid, row.burn.empty() ? nullptr : &value);
}

void ListingReader::add_object(const JsonValue* netuid, const JsonValue* value) {
    ++rows_;
    std::optional<std::string> key = netuid ? valid_netuid(*netuid) : std::nullopt;
    if (!key) {
        std::string sample = netuid ? excerpt_of(*netuid, secrets_) : std::string("(none)");
        mix(sample);
        if (listing_.samples.size() < kInvalidSamples) listing_.samples.push_back(std::move(sample));
        ++listing_.invalid;
        return;
    }
    std::optional<std::string> burn = usable_burn_text(value);
    if (!burn) {
        std::string sample = value_sample_of(*key, value, secrets_);
        mix(sample);
        if (listing_.samples.size() < kInvalidSamples) listing_.samples.push_back(std::move(sample));
        ++listing_.invalid;
        listing_.bad_values = true;
        if (!known(*key)) listing_.unvalued.push_back(std::move(*key));
        return;
    }
    mix(*key);
    mix(*burn);
    if (ascending_) {
        const std::optional<std::int64_t> number = burns::small_integer_text(*key);
        if (number && *number > last_) {
            last_ = *number;
            burns::DecimalInteger decimal = *burns::parse_integer_text(*key);
            listing_.rows.push_back({std::move(*key), std::move(decimal), std::move(*burn)});
            return;
        }
        index_rows();
    }
    auto [it, inserted] = position_.try_emplace(*key, listing_.rows.size());
    if (!inserted) {
        listing_.rows[it->second].burn = std::move(*burn);
        return;
    }
    burns::DecimalInteger number = *burns::parse_integer_text(*key);
    listing_.rows.push_back({std::move(*key), std::move(number), std::move(*burn)});
}

Listing ListingReader::finish() {
    // A netuid that also has a usable row is watched through it; each other one is kept once.
    if (!listing_.unvalued.empty()) {
        index_rows();
        std::vector<std::string> unvalued;
        for (std::string& key : listing_.unvalued) {
            if (position_.contains(key)) continue;
            position_.try_emplace(key, 0);
            unvalued.push_back(std::move(key));
        }
        listing_.unvalued = std::move(unvalued);
    }
    return std::move(listing_);
}

Listing read_listing(const JsonValue& data) {
    ListingReader reader;
    for (const JsonValue& row : data.items) reader.add(row);
    return reader.finish();
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
