// Host-facing report texts.
#include "host/reports_texts_ops.hpp"



#include <array>
#include <charconv>
#include <deque>
#include <optional>
#include <string_view>

#include "burns/changes.hpp"
#include "burns/owner_burn.hpp"
#include "host/burns_changes_ops.hpp"
#include "host/burns_values_ops.hpp"
#include "host/error.hpp"
#include "host/module.hpp"
#include "host/raw.hpp"
#include "reports/chunking.hpp"
#include "reports/texts.hpp"

namespace emberscope::reports {
namespace {

using RawText = host::RawObject*;

std::string given_type(const host::Object& value) {
    return value.is_null() ? "None" : value.type_name();
}

[[noreturn]] void bad_change(std::size_t index, const std::string& what) {
    host::throw_type_error("format_burn_alert() item " + std::to_string(index) +
                           " of 'changes' must be a tuple or list of 3 str, not " + what);
}

// One (netuid, old, new) entry of the host's change list: a tuple or list of three plain texts.
burns::BurnChange change_at(const host::Object& changes, std::size_t index) {
    host::Object item = changes.at(index);
    const bool sequence = item.kind() == host::Kind::list || item.is_tuple();
    if (!sequence) bad_change(index, given_type(item));
    const std::size_t size = item.size();
    if (size != 3) bad_change(index, item.type_name() + " of length " + std::to_string(size));
    std::string texts[3];
    for (std::size_t k = 0; k < 3; ++k) {
        host::Object member = item.at(k);
        if (!host::raw::is_text(member.ptr())) bad_change(index, "one holding " + given_type(member));
        texts[k] = member.text();
    }
    return {std::move(texts[0]), std::move(texts[1]), std::move(texts[2])};
}

// The three texts of an exact tuple or list of three exact texts, as views of the host's UTF-8;
// false for anything else (which change_at then reads, or refuses).
bool change_views(host::RawObject* item, std::string_view (&out)[3]) {
    host::RawObject* const* members = nullptr;
    if (host::raw::is_tuple(item) && host::raw::tuple_size(item) == 3) {
        members = host::raw::tuple_items(item);
    } else if (host::raw::is_list(item) && host::raw::list_size(item) == 3) {
        members = host::raw::list_items(item);
    } else {
        return false;
    }
    for (std::size_t k = 0; k < 3; ++k) {
        if (!host::raw::is_text(members[k]) || !host::utf8_view(members[k], out[k])) return false;
    }
    return true;
}

// The label after "SN": an int's digits, a text as is, "?" for a row without a netuid, and
// the host's str() of anything else.
std::string snapshot_label(const std::optional<host::Object>& netuid) {
    if (!netuid) return "?";
    host::RawObject* v = netuid->ptr();
    if (host::raw::is_int(v)) {
        if (std::optional<std::int64_t> small = netuid->small_integer()) {
            char buffer[24];
            return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, *small).ptr);
        }
    }
    switch (netuid->kind()) {
        case host::Kind::integer: return netuid->integer_text();
        case host::Kind::text: return netuid->text();
        default: return netuid->str();
    }
}

}  // namespace

std::string format_burn_alert(const std::vector<burns::BurnChange>& changes,
                              const std::string& updated_at) {
    const burns::DisplayFormat format = burns::current_display_format();
    std::vector<AlertLine> lines;
    lines.reserve(changes.size());
    for (const auto& change : changes) {
        lines.push_back({change.netuid, burns::display_form(change.old_burn, format),
                         burns::display_form(change.new_burn, format)});
    }
    return render_alert(lines, updated_at);
}

namespace {

// A row's netuid read without host code: absent (0), an exact int or an exact text of a short
// numeral, with the number and the label it shows. nullopt for anything else.
struct PlainNetuid {
    std::int64_t number = 0;
    std::string label = "?";
};

std::optional<PlainNetuid> plain_netuid(const std::optional<host::Object>& netuid) {
    if (!netuid) return PlainNetuid{};
    host::RawObject* v = netuid->ptr();
    if (host::raw::is_int(v)) {
        const std::optional<std::int64_t> n = host::raw::int64_value(v);
        if (!n) return std::nullopt;
        char buffer[24];
        return PlainNetuid{*n, std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, *n).ptr)};
    }
    if (host::raw::is_text(v)) {
        std::string_view text;
        if (!host::utf8_view(v, text)) return std::nullopt;
        if (const std::optional<std::int64_t> n = burns::small_integer_text(text))
            return PlainNetuid{*n, std::string(text)};
    }
    return std::nullopt;
}

burns::DecimalInteger decimal_of(std::int64_t n) {
    return burns::parse_integer_text(std::to_string(n)).value_or(burns::DecimalInteger{});
}

}  // namespace

std::string format_burn_snapshot(const host::Object& rows, const std::string& updated_at) {
    const std::size_t count = rows.size();
    const host::Object netuid_key = host::key(host::Key::netuid);
    std::vector<host::Object> items;
    items.reserve(count);
    // Netuids are read as plain numbers while every one so far is plain; from the first that is
    // not, every netuid goes by the host's int() (the ones before converted), in row order.
    std::vector<PlainNetuid> plain;
    plain.reserve(count);
    std::vector<burns::DecimalInteger> keys;
    bool all_plain = true;
    for (std::size_t i = 0; i < count; ++i) {
        host::Object row = rows.at(i);
        if (!host::raw::is_dict(row.ptr())) {
            host::throw_type_error("owner_burn_from_row() argument 'row' must be dict, not " +
                                   given_type(row));
        }
        std::optional<host::Object> netuid = row.get(netuid_key);
        if (all_plain) {
            if (std::optional<PlainNetuid> p = plain_netuid(netuid)) {
                plain.push_back(std::move(*p));
                items.push_back(std::move(row));
                continue;
            }
            all_plain = false;
            keys.reserve(count);
            for (const PlainNetuid& p : plain) keys.push_back(decimal_of(p.number));
        }
        keys.push_back(netuid ? burns::netuid_sort_key(*netuid) : burns::DecimalInteger{});
        items.push_back(std::move(row));
    }
    std::vector<std::size_t> order;
    if (all_plain) {
        std::vector<std::int64_t> numbers;
        numbers.reserve(count);
        for (const PlainNetuid& p : plain) numbers.push_back(p.number);
        order = burns::netuid_order(numbers);
    } else {
        order = burns::netuid_order(keys);
    }
    const burns::DisplayFormat format = burns::current_display_format();
    // With plain netuids and the native display form no host code runs from here on, so the
    // labels read above are the rows' netuids still.
    const bool labels_known = all_plain && format.precision.has_value();
    const host::Object burn_key = host::key(host::Key::incentive_burn);
    std::vector<SnapshotLine> lines;
    lines.reserve(count);
    for (std::size_t i : order) {
        std::optional<host::Object> burn = items[i].get(burn_key);
        SnapshotLine& line = lines.emplace_back();  // filled in place: no copies of its texts
        if (burn) {
            burns::burn_display_form(*burn, format, line.display);
        } else {
            line.display = burns::display_form(burns::kZeroBurn, format);
        }
        if (labels_known) {
            line.label.swap(plain[i].label);
        } else {
            line.label = snapshot_label(items[i].get(netuid_key));
        }
    }
    return render_snapshot(count, lines, updated_at);
}

host::Object format_burn_alert(const host::Args& args) {
    const host::Object list = args.object<kAlertParams, "changes">();
    const std::size_t count = list.size();
    // Every entry is checked, and held, before the first is shown: showing may run host code
    // (an unusual OWNER_BURN_DECIMALS goes to the host's format()).
    std::vector<host::Object> held;
    std::deque<burns::BurnChange> copies;  // entries read the general way; stay put
    std::vector<std::array<std::string_view, 3>> changes(count);
    held.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        host::RawObject* item = i < host::raw::list_size(list.ptr())
                                    ? host::raw::list_item(list.ptr(), i)
                                    : nullptr;
        std::string_view views[3];
        if (item != nullptr && change_views(item, views)) {
            held.push_back(host::Object::borrow(item));
            changes[i] = {views[0], views[1], views[2]};
            continue;
        }
        const burns::BurnChange& change = copies.emplace_back(change_at(list, i));
        changes[i] = {change.netuid, change.old_burn, change.new_burn};
    }
    const burns::DisplayFormat format = burns::current_display_format();
    std::vector<AlertLine> lines;
    lines.reserve(count);
    for (const auto& [netuid, old_burn, new_burn] : changes) {
        lines.push_back({std::string(netuid), burns::display_form(old_burn, format),
                         burns::display_form(new_burn, format)});
    }
    return host::text(render_alert(lines, args.text<kAlertParams, "updated_at">()));
}

host::Object format_burn_snapshot(const host::Args& args) {
    const host::Object rows = args.object<kSnapshotParams, "rows">();
    const std::string_view updated_at = args.text<kSnapshotParams, "updated_at">();
    return host::text(format_burn_snapshot(rows, std::string(updated_at)));
}

host::Object chunk_text(const host::Args& args) {
    const std::int64_t max_len = args.whole<kChunkParams, "max_len">();
    RawText given = args.raw<kChunkParams, "text">();
    // The host keeps every text's length in code points: a text within the limit is handed back
    // as its only chunk, whatever its length, without being read.
    if (fits_in_one_chunk(host::raw::text_length(given), max_len)) {
        host::Object list = host::raw::new_list(1);
        host::raw::set_new_item(list, 0, given);
        return list;
    }
    return host::text_list(split_long_text(args.text<kChunkParams, "text">(), max_len));
}

}  // namespace emberscope::reports
