// The core operations under measurement, each applied to a whole listing at once.
#include "kernels.hpp"

#include "burns/numeric.hpp"
#include "burns/state_text.hpp"
#include "reports/chunking.hpp"
#include "reports/texts.hpp"

namespace emberscope::bench {
namespace {

std::size_t numeric_text(const Workload& w) {
    std::size_t parsed = 0;
    for (const auto& text : w.burn_texts) parsed += burns::parse_numeric_text(text).has_value();
    return parsed;
}

std::size_t integer_text(const Workload& w) {
    std::size_t digits = 0;
    for (const auto& text : w.netuids) digits += burns::parse_integer_text(text)->digits.size();
    return digits;
}

std::size_t display_form(const Workload& w) {
    std::size_t bytes = 0;
    for (const auto& text : w.burn_texts) {
        std::optional<double> value = burns::parse_numeric_text(text);
        bytes += value ? burns::fixed_form(*value, 4).size() : text.size();
    }
    return bytes;
}

std::size_t fixed_form(const Workload& w) {
    std::size_t bytes = 0;
    for (double value : w.values) bytes += burns::fixed_form(value, 4).size();
    return bytes;
}

std::size_t change_test(const Workload& w) {
    std::size_t changed = 0;
    for (std::size_t i = 0; i < w.size; ++i) {
        changed += burns::owner_burn_changed(w.previous_texts[i], w.burn_texts[i], 0.001);
    }
    return changed;
}

std::size_t shortest_form(const Workload& w) {
    std::size_t bytes = 0;
    for (double value : w.values) bytes += burns::shortest_form(value).size();
    return bytes;
}

std::size_t state_file(const Workload& w) {
    return burns::render_state_file(w.map, kUpdatedAt).size();
}

std::size_t alert_text(const Workload& w) {
    return reports::render_alert(w.alert_lines, kUpdatedAt).size();
}

std::size_t snapshot_text(const Workload& w) {
    return reports::render_snapshot(w.size, w.snapshot_lines, kUpdatedAt).size();
}

std::size_t chunk_message(const Workload& w) { return chunk_count(w.snapshot_text, 3900); }

}  // namespace

std::size_t chunk_count(const std::string& text, std::int64_t max_len) {
    return reports::chunk_text(text, max_len).size();
}

const std::vector<Kernel>& kernels() {
    static const std::vector<Kernel> all = {
        {"numeric_text", "numeric-text rule (parse_numeric_text), per listing", numeric_text},
        {"integer_text", "netuid sort key (parse_integer_text), per listing", integer_text},
        {"display_form", "display form: parse + fixed_form(., 4), per listing", display_form},
        {"fixed_form", "fixed_form(., 4) of the parsed values, per listing", fixed_form},
        {"change_test", "change test (owner_burn_changed), per listing", change_test},
        {"shortest_form", "shortest real form (shortest_form), per listing", shortest_form},
        {"state_file", "state-file writer (render_state_file, map copied in)", state_file},
        {"alert_text", "alert renderer, one line per subnet", alert_text},
        {"snapshot_text", "snapshot renderer, one line per subnet", snapshot_text},
        {"chunk_3900", "chunker on the snapshot text, max_len 3900", chunk_message},
    };
    return all;
}

}  // namespace emberscope::bench
