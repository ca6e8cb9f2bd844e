// Host-facing report texts.
#include "reports/texts_ops.hpp"

#include <optional>

#include "burns/changes.hpp"
#include "burns/changes_ops.hpp"
#include "burns/values_ops.hpp"
#include "host/error.hpp"
#include "host/module.hpp"
#include "reports/chunking.hpp"
#include "reports/texts.hpp"

namespace emberscope::reports {
namespace {

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
        if (member.kind() != host::Kind::text || member.type_name() != "str") {
            bad_change(index, "one holding " + given_type(member));
        }
        texts[k] = member.text();
    }
    return {std::move(texts[0]), std::move(texts[1]), std::move(texts[2])};
}

// The label after "SN": an int's digits, a text as is, "?" for a row without a netuid, and
// the host's str() of anything else.
std::string snapshot_label(const std::optional<host::Object>& netuid) {
    if (!netuid) return "?";
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

std::string format_burn_snapshot(const host::Object& rows, const std::string& updated_at) {
    const std::size_t count = rows.size();
    const host::Object netuid_key = host::text("netuid");
    std::vector<host::Object> items;
    std::vector<burns::DecimalInteger> keys;
    items.reserve(count);
    keys.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        host::Object row = rows.at(i);
        if (row.kind() != host::Kind::map || row.type_name() != "dict") {
            host::throw_type_error("owner_burn_from_row() argument 'row' must be dict, not " +
                                   given_type(row));
        }
        std::optional<host::Object> netuid = row.get(netuid_key);
        keys.push_back(netuid ? burns::netuid_sort_key(*netuid) : burns::DecimalInteger{});
        items.push_back(std::move(row));
    }
    const burns::DisplayFormat format = burns::current_display_format();
    const host::Object burn_key = host::text("incentive_burn");
    std::vector<SnapshotLine> lines;
    lines.reserve(count);
    for (std::size_t i : burns::netuid_order(keys)) {
        std::optional<host::Object> burn = items[i].get(burn_key);
        lines.push_back({snapshot_label(items[i].get(netuid_key)),
                         burns::display_form(burn ? burns::owner_burn_text(*burn) : "0", format)});
    }
    return render_snapshot(count, lines, updated_at);
}

host::Object format_burn_alert(const host::Args& args) {
    const host::Object& list = args.object<kAlertParams, "changes">();
    std::vector<burns::BurnChange> changes;
    const std::size_t count = list.size();
    changes.reserve(count);
    for (std::size_t i = 0; i < count; ++i) changes.push_back(change_at(list, i));
    return host::text(format_burn_alert(changes, std::string(args.text<kAlertParams, "updated_at">())));
}

host::Object format_burn_snapshot(const host::Args& args) {
    const host::Object& rows = args.object<kSnapshotParams, "rows">();
    const std::string_view updated_at = args.text<kSnapshotParams, "updated_at">();
    return host::text(format_burn_snapshot(rows, std::string(updated_at)));
}

host::Object chunk_text(const host::Args& args) {
    const std::string_view text = args.text<kChunkParams, "text">();
    const std::int64_t max_len = args.whole<kChunkParams, "max_len">();
    return host::text_list(reports::chunk_text(text, max_len));
}

}  // namespace emberscope::reports
