// Host-facing change detection.
#include "burns/changes_ops.hpp"

#include <cstdint>
#include <optional>

#include "burns/changes.hpp"
#include "host/error.hpp"
#include "host/module.hpp"

namespace emberscope::burns {
namespace {

// The host checks its digit limit only on numerals longer than this many digits (the least
// limit it accepts); a UTF-8 text holds at least as many bytes as digits.
constexpr std::size_t kHostDigitCheckThreshold = 640;

bool is_plain(const host::Object& value, host::Kind kind, const char* type) {
    return value.kind() == kind && value.type_name() == type;
}

DecimalInteger from_int64(std::int64_t v) {
    DecimalInteger out;
    out.negative = v < 0;
    // Magnitude via unsigned arithmetic, which holds the most negative value too.
    const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    out.digits = std::to_string(magnitude);
    return out;
}

// The number held by a host int (or a value the host's int() returned).
DecimalInteger from_host_integer(const host::Object& value) {
    if (std::optional<std::int64_t> small = value.small_integer()) return from_int64(*small);
    // Every int's decimal digits parse; the host raises its own error past its digit limit.
    return parse_integer_text(value.integer_text()).value_or(DecimalInteger{});
}

// The text that owner_burn_changed would accept for `name`, or the TypeError of its check.
std::string compared_text(const host::Object& value, const char* name) {
    if (is_plain(value, host::Kind::text, "str")) return value.text();
    host::throw_type_error(std::string("owner_burn_changed() argument '") + name + "' must be str, not " +
                     (value.is_null() ? std::string("None") : value.type_name()));
}

// The value that `map` holds under the host key `key`, matched as the host's dict does.
std::optional<host::Object> look_up(const host::Object& map, const host::Object& key) {
    if (is_plain(key, host::Kind::text, "str")) return map.get(key.text());
    host::Object missing = host::new_list();
    host::Object found = map.attr("get").call({key, missing});
    if (found.ptr() == missing.ptr()) return std::nullopt;
    return found;
}

}  // namespace

DecimalInteger netuid_sort_key(const std::string& text) {
    if (text.size() <= kHostDigitCheckThreshold) {
        if (std::optional<DecimalInteger> number = parse_integer_text(text)) return *number;
    }
    host::Object number = host::global("int").call({host::text(text)});
    if (std::optional<DecimalInteger> parsed = parse_integer_text(text)) return *parsed;
    return from_host_integer(number);
}

DecimalInteger netuid_sort_key(const host::Object& value) {
    if (is_plain(value, host::Kind::text, "str")) return netuid_sort_key(value.text());
    if (is_plain(value, host::Kind::integer, "int")) return from_host_integer(value);
    return from_host_integer(host::global("int").call({value}));
}

std::vector<BurnChange> diff_burns(const BurnMap& prev, const BurnMap& current, double threshold) {
    std::vector<DecimalInteger> netuids;
    netuids.reserve(current.size());
    for (const auto& entry : current) netuids.push_back(netuid_sort_key(entry.first));
    return list_changes(prev, current, netuids, threshold);
}

host::Object diff_burns(const host::Args& args) {
    const host::Object& prev = args.object<kDiffParams, "prev">();
    const std::vector<std::pair<host::Object, host::Object>> current =
        args.object<kDiffParams, "current">().items();
    const double threshold = args.real<kDiffParams, "threshold">();

    std::vector<DecimalInteger> netuids;
    netuids.reserve(current.size());
    for (const auto& entry : current) netuids.push_back(netuid_sort_key(entry.first));

    // The maps may hold any host values; each entry is checked only when it is compared.
    host::Object changes = host::new_list();
    for (std::size_t i : netuid_order(netuids)) {
        const auto& [netuid, new_burn] = current[i];
        std::optional<host::Object> old_burn = look_up(prev, netuid);
        if (!old_burn) continue;
        const std::string old_text = compared_text(*old_burn, "old");
        const std::string new_text = compared_text(new_burn, "new");
        if (owner_burn_changed(old_text, new_text, threshold)) {
            changes.append(host::tuple({netuid, *old_burn, new_burn}));
        }
    }
    return changes;
}

}  // namespace emberscope::burns
