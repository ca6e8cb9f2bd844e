// Inputs for the core benchmarks: listings of a given size, shaped like the Taostats network.
#include "workload.hpp"

#include <random>

#include "burns/numeric.hpp"

namespace emberscope::bench {
namespace {

// The mix of the live network: a third burning nothing, 40% burning everything, a few values
// sent as texts or missing, the rest reals with up to four decimals.
struct Draw {
    std::string text;
    double value;
};

Draw draw_burn(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double kind = unit(rng);
    if (kind < 0.165) return {"0", 0.0};
    if (kind < 0.33) return {"0.0", 0.0};
    if (kind < 0.73) return {"1.0", 1.0};
    if (kind < 0.755) {
        static const char* const kTexts[] = {"0.25", "0.5", "1", "0", "0.18"};
        const char* text = kTexts[rng() % 5];
        return {text, *burns::parse_numeric_text(text)};
    }
    if (kind < 0.78) return {"0", 0.0};  // absent field
    static const double kReals[] = {0.18, 0.5, 0.25, 0.75, 0.05, 0.9};
    double value = kReals[rng() % 6];
    if (rng() % 7 == 0) value = static_cast<double>(1 + rng() % 9999) / 10000.0;
    return {burns::shortest_form(value), value};
}

}  // namespace

Workload make_workload(std::size_t size, unsigned seed) {
    std::mt19937_64 rng(seed);
    Workload w;
    w.size = size;
    w.burn_texts.reserve(size);
    w.values.reserve(size);
    w.previous_texts.reserve(size);
    w.netuids.reserve(size);
    w.map.reserve(size);
    w.alert_lines.reserve(size);
    w.snapshot_lines.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        Draw d = draw_burn(rng);
        std::string netuid = std::to_string(i);
        std::string display = burns::fixed_form(d.value, 4);
        std::string previous = d.text;
        const auto roll = rng() % 100;
        if (roll < 5) previous = burns::shortest_form(d.value + 0.01);  // moved
        else if (roll < 7) previous = burns::fixed_form(d.value, 2);      // same number, respelled
        w.alert_lines.push_back({netuid, burns::fixed_form(*burns::parse_numeric_text(previous), 4),
                                 display});
        w.snapshot_lines.push_back({netuid, display});
        w.map.emplace_back(netuid, d.text);
        w.netuids.push_back(std::move(netuid));
        w.burn_texts.push_back(std::move(d.text));
        w.values.push_back(d.value);
        w.previous_texts.push_back(std::move(previous));
    }
    w.snapshot_text = reports::render_snapshot(size, w.snapshot_lines, kUpdatedAt);
    return w;
}

std::string make_listing_json(std::size_t size, unsigned seed) {
    static const char* const kWords[] = {"apex",  "atlas", "cortex", "drift", "ember", "flux",
                                         "forge", "helix", "kite",   "lumen", "nexus", "omega"};
    static const char kBase58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
    static const char kHex[] = "0123456789abcdef";
    static const char* const kStamps[] = {"2025-04-28T23:59:12Z", "2025-04-28T23:59:00Z",
                                          "2025-04-28T23:58:48Z"};
    std::mt19937_64 rng(seed);
    const auto between = [&](std::uint64_t lo, std::uint64_t hi) { return lo + rng() % (hi - lo + 1); };
    std::string out = "{\"pagination\": {\"current_page\": 1, \"per_page\": 1024, \"total_items\": " +
                      std::to_string(size) +
                      ", \"total_pages\": 1, \"next_page\": null, \"prev_page\": null}, \"data\": [";
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t back = between(0, 2);  // blocks behind the newest, 12 s each
        std::string ss58, hex = "0x";
        for (int k = 0; k < 48; ++k) ss58 += kBase58[rng() % 58];
        for (int k = 0; k < 64; ++k) hex += kHex[rng() % 16];
        const std::uint64_t validators = between(1, 64);
        out += i ? ", {" : "{";
        out += "\"netuid\": " + std::to_string(i) +
               ", \"block_number\": " + std::to_string(5453828 - back) +
               ", \"timestamp\": \"" + kStamps[back] + "\"" +
               ", \"name\": \"" + (i == 0 ? "root" : kWords[rng() % 12]) + "\"" +
               ", \"owner\": {\"ss58\": \"" + ss58 + "\", \"hex\": \"" + hex + "\"}" +
               ", \"max_neurons\": " + (i == 0 ? "64" : "256") +
               ", \"active_validators\": " + std::to_string(validators) +
               ", \"active_miners\": " + std::to_string(i == 0 ? 0 : between(0, 256 - validators)) +
               ", \"tempo\": 360, \"emission\": \"" +
               std::to_string(i == 0 ? 0 : between(0, 40'000'000)) +
               "\", \"min_burn\": \"500000\", \"max_burn\": \"100000000000\"" +
               ", \"recycled_24_hours\": \"" + std::to_string(between(0, 2'000'000'000'000)) + "\"";
        // The owner burn value: a real in its shortest form, 0 as an integer, a text or absent.
        const Draw d = draw_burn(rng);
        const auto form = rng() % 40;
        if (form == 0) out += ", \"incentive_burn\": \"" + d.text + "\"";
        else if (form == 1) {}  // absent
        else if (d.text == "0") out += ", \"incentive_burn\": 0";
        else out += ", \"incentive_burn\": " + burns::shortest_form(d.value);
        out += "}";
    }
    out += "]}";
    return out;
}

std::string make_snapshot_text(std::size_t lines, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<reports::SnapshotLine> body;
    body.reserve(lines);
    for (std::size_t i = 0; i < lines; ++i) {
        body.push_back({std::to_string(i), burns::fixed_form(draw_burn(rng).value, 4)});
    }
    return reports::render_snapshot(lines, body, kUpdatedAt);
}

}  // namespace emberscope::bench
