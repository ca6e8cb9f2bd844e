// Host-facing change detection.
#include "host/burns_changes_ops.hpp"


#include <cstdint>
#include <optional>

#include "burns/changes.hpp"
#include "host/error.hpp"
#include "host/module.hpp"
#include "host/raw.hpp"

namespace emberscope::burns {
namespace {

// The host checks its digit limit only on numerals longer than this many digits (the least
// limit it accepts); a UTF-8 text holds at least as many bytes as digits.
constexpr std::size_t kHostDigitCheckThreshold = 640;

bool is_plain_text(const host::Object& value) { return host::raw::is_text(value.ptr()); }

// A map whose keys and values are all exact texts, as views of their UTF-8 forms beside the
// host values themselves (borrowed from the map, which the call holds).
struct TextEntries {
    BurnView texts;
    std::vector<std::pair<host::RawObject*, host::RawObject*>> values;
};

// Lone surrogates are left to the general path.
bool utf8_view(host::RawObject* text, std::string_view& out) {
    return host::raw::is_text(text) && host::utf8_view(text, out);
}

// The netuid order of the keys of `entries`: on 64-bit numbers when every key is a plain short
// numeral (the usual case), else on every key's number by the host's int().
std::vector<std::size_t> netuid_order_of_texts(const BurnView& entries) {
    std::vector<std::int64_t> small;
    small.reserve(entries.size());
    for (const auto& entry : entries) {
        const std::optional<std::int64_t> number = small_integer_text(entry.first);
        if (!number) break;
        small.push_back(*number);
    }
    if (small.size() == entries.size()) return netuid_order(small);
    std::vector<DecimalInteger> netuids;
    netuids.reserve(entries.size());
    for (const auto& entry : entries) netuids.push_back(netuid_sort_key(entry.first));
    return netuid_order(netuids);
}

std::optional<TextEntries> text_entries(const host::Object& map) {
    TextEntries out;
    const auto n = host::raw::dict_size(map.ptr());
    out.texts.reserve(n);
    out.values.reserve(n);
    std::ptrdiff_t pos = 0;
    host::RawObject *key = nullptr, *value = nullptr;
    while (host::raw::dict_next(map.ptr(), pos, key, value)) {
        std::string_view k, v;
        if (!utf8_view(key, k) || !utf8_view(value, v)) return std::nullopt;
        out.texts.emplace_back(k, v);
        out.values.emplace_back(key, value);
    }
    return out;
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
    if (is_plain_text(value)) return value.text();
    host::throw_type_error(std::string("owner_burn_changed() argument '") + name + "' must be str, not " +
                     (value.is_null() ? std::string("None") : value.type_name()));
}

// The value that `map` holds under the host key `key`, matched as the host's dict does.
std::optional<host::Object> look_up(const host::Object& map, const host::Object& key) {
    if (is_plain_text(key)) return map.get(key);
    host::Object missing = host::new_list();
    host::Object found = map.attr("get").call({key, missing});
    if (found.ptr() == missing.ptr()) return std::nullopt;
    return found;
}

}  // namespace

DecimalInteger netuid_sort_key(std::string_view text) {
    if (text.size() <= kHostDigitCheckThreshold) {
        if (std::optional<DecimalInteger> number = parse_integer_text(text)) return *number;
    }
    host::Object number = host::global("int").call({host::text(text)});
    if (std::optional<DecimalInteger> parsed = parse_integer_text(text)) return *parsed;
    return from_host_integer(number);
}

DecimalInteger netuid_sort_key(const host::Object& value) {
    if (host::raw::is_text(value.ptr())) return netuid_sort_key(value.text());
    if (host::raw::is_int(value.ptr())) return from_host_integer(value);
    return from_host_integer(host::global("int").call({value}));
}

std::vector<BurnChange> diff_burns(const BurnMap& prev, const BurnMap& current, double threshold) {
    const BurnView keys(current.begin(), current.end());
    return list_changes_in_order(prev, current, netuid_order_of_texts(keys), threshold);
}

host::Object diff_burns(const host::Args& args) {
    const host::Object prev = args.object<kDiffParams, "prev">();
    const host::Object current_map = args.object<kDiffParams, "current">();
    const double threshold = args.real<kDiffParams, "threshold">();

    // Maps of texts only (what the watch cycle keeps): compared by the core on views of the
    // host's own UTF-8, the changes made of the maps' own values.
    if (std::optional<TextEntries> now = text_entries(current_map)) {
        if (std::optional<TextEntries> before = text_entries(prev)) {
            const std::vector<ChangedEntry> changed = changed_entries_in_order(
                before->texts, now->texts, netuid_order_of_texts(now->texts), threshold);
            host::Object changes = host::raw::new_list(changed.size());
            for (std::size_t i = 0; i < changed.size(); ++i) {
                const auto& [netuid, new_burn] = now->values[changed[i].current];
                host::RawObject* old_burn = before->values[changed[i].prev].second;
                host::raw::set_item(changes, i, host::raw::tuple3(netuid, old_burn, new_burn));
            }
            return changes;
        }
    }

    // Any other maps may hold any host values; each entry is checked only when it is compared.
    const std::vector<std::pair<host::Object, host::Object>> current = current_map.items();

    std::vector<DecimalInteger> netuids;
    netuids.reserve(current.size());
    for (const auto& entry : current) netuids.push_back(netuid_sort_key(entry.first));

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
