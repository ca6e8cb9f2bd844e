// The watch cycle and the start-up snapshot.
#include "driver/watch_ops.hpp"

#include <optional>
#include <string_view>
#include <unordered_map>

#include "burns/changes_ops.hpp"
#include "burns/state_ops.hpp"
#include "burns/values_ops.hpp"
#include "driver/console.hpp"
#include "host/error.hpp"
#include "host/json.hpp"
#include "host/services.hpp"
#include "reports/telegram_ops.hpp"
#include "reports/texts_ops.hpp"
#include "taostats/client_ops.hpp"

namespace emberscope::driver {
namespace {

/// What the first steps of both drivers produce when the listing succeeded.
struct Listing {
    std::string updated_at;
    host::Object rows;
};

/// Key, time stamp, listing and its checks. Returns nullopt after writing the failure line
/// (no key, or a listing that came back as an error record).
std::optional<Listing> fetch_listing(std::string_view fetch_failed_prefix) {
    std::optional<std::string> auth = taostats::api_key();
    if (!auth || auth->empty()) {
        host::write_stderr(kNoApiKeyLine);
        return std::nullopt;
    }
    // One clock read, before the request: the stamp marks the start of the cycle however long
    // the retries take.
    std::string updated_at = host::utc_now(kStampPattern);
    host::Object result = taostats::fetch_all_subnets_latest(*auth);
    if (result.kind() == host::Kind::map) {
        std::optional<host::Object> error = result.get("error");
        if (error && error->truthy()) {
            host::write_stderr(detail_line(fetch_failed_prefix, host::json_dumps(result)));
            return std::nullopt;
        }
    }
    if (result.kind() != host::Kind::list) host::throw_result_type_error("list", result);
    return Listing{std::move(updated_at), std::move(result)};
}

std::string netuid_text(const host::Object& netuid) {
    switch (netuid.kind()) {
        case host::Kind::text: return netuid.text();
        case host::Kind::integer:
            if (auto small = netuid.small_integer()) return std::to_string(*small);
            return netuid.integer_text();
        default: return netuid.str();
    }
}

}  // namespace

burns::BurnMap burn_map_of_rows(const host::Object& rows) {
    burns::BurnMap current;
    const std::size_t n = rows.size();
    current.reserve(n);
    std::unordered_map<std::string, std::size_t> position;
    position.reserve(n);
    const host::Object netuid_key = host::text("netuid");
    const host::Object burn_key = host::text("incentive_burn");
    for (std::size_t i = 0; i < n; ++i) {
        host::Object row = rows.at(i);
        if (row.kind() != host::Kind::map) continue;  // not a row: it has no "netuid" member
        std::optional<host::Object> netuid = row.get(netuid_key);
        if (!netuid) continue;
        std::string key = netuid_text(*netuid);
        std::optional<host::Object> burn = row.get(burn_key);
        std::string value = burn ? burns::owner_burn_text(*burn) : "0";
        auto [it, inserted] = position.try_emplace(key, current.size());
        if (inserted)
            current.emplace_back(std::move(key), std::move(value));
        else
            current[it->second].second = std::move(value);
    }
    return current;
}

int run_emberscope_once(const std::string& state_path, double threshold,
                        const std::string& burn_token, const std::string& burn_chat_id) {
    std::optional<Listing> listing = fetch_listing("[burn] fetch failed: ");
    if (!listing) return 1;
    burns::BurnMap current = burn_map_of_rows(listing->rows);
    burns::BurnMap prev = burns::load_burn_state(state_path);
    std::vector<burns::BurnChange> changes;
    if (!prev.empty()) changes = burns::diff_burns(prev, current, threshold);
    // Saved before anything is sent: a failed delivery must not make the next cycle alert the
    // same change again.
    burns::save_burn_state(state_path, current, listing->updated_at);
    if (changes.empty()) return 0;

    std::string alert = reports::format_burn_alert(changes, listing->updated_at);
    reports::SendResult sent = reports::send_burn_telegram_messages(alert, burn_token, burn_chat_id);
    if (sent.ok) {
        host::write_stderr(alert_sent_line(changes.size()));
        return 0;
    }
    host::write_stderr(detail_line("[burn] telegram failed: ", sent.error));
    return 1;
}

int run_burn_startup_snapshot(const std::string& state_path, const std::string& burn_token,
                              const std::string& burn_chat_id) {
    std::optional<Listing> listing = fetch_listing("[burn] startup fetch failed: ");
    if (!listing) return 1;
    burns::BurnMap current = burn_map_of_rows(listing->rows);
    burns::save_burn_state(state_path, current, listing->updated_at);

    std::string snapshot = reports::format_burn_snapshot(listing->rows, listing->updated_at);
    reports::SendResult sent =
        reports::send_burn_telegram_messages(snapshot, burn_token, burn_chat_id);
    if (sent.ok) {
        host::write_stderr(snapshot_sent_line(listing->rows.size()));
        return 0;
    }
    host::write_stderr(detail_line("[burn] startup telegram failed: ", sent.error));
    return 1;
}

host::Object run_emberscope_once_op(const host::Args& args) {
    return host::integer(run_emberscope_once(args.text(0), args.real(1), args.text(2), args.text(3)));
}

host::Object run_burn_startup_snapshot_op(const host::Args& args) {
    return host::integer(run_burn_startup_snapshot(args.text(0), args.text(1), args.text(2)));
}

}  // namespace emberscope::driver
