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
