// The watch cycle and the start-up snapshot.
#include "driver/watch.hpp"

#include "driver/console.hpp"

namespace emberscope::driver {
namespace {

/// What the first steps of both drivers produce when the listing succeeded.
struct Listing {
    std::string updated_at;
    taostats::PayloadPtr rows;
};

/// Key, time stamp, listing and its checks. Returns nullopt after writing the failure line
/// (no key, or a listing that came back as an error record).
std::optional<Listing> fetch_listing(Services& services, CycleHost& host,
                                     taostats::Decoder& decoder,
                                     std::string_view fetch_failed_prefix) {
    const std::optional<std::string> auth = taostats::api_key(services);
    if (!auth) {
        services.console(kNoApiKeyLine);
        return std::nullopt;
    }
    // One clock read, before the request: the stamp marks the start of the cycle however long
    // the retries take.
    std::string updated_at = services.utc_now(kStampPattern);
    taostats::PayloadPtr result = taostats::fetch_all_subnets_latest(services, decoder, *auth);
    if (taostats::scanned(*result)) return Listing{std::move(updated_at), std::move(result)};
    if (std::optional<std::string> failure = host.listing_failure(*result)) {
        services.console(detail_line(fetch_failed_prefix, *failure));
        return std::nullopt;
    }
    return Listing{std::move(updated_at), std::move(result)};
}

/// The burn map of the listing's rows: taken from a scanned listing, made by the host otherwise.
burns::BurnMap burn_map_of(CycleHost& host, taostats::Payload& rows) {
    if (taostats::ScannedListing* scanned = taostats::scanned(rows)) return std::move(scanned->burns);
    return host.burn_map(rows);
}

// `steps()`, with both secrets masked in whatever it raises.
template <class Steps>
int masking_secrets(Services& services, const Watch& watch, Steps steps) {
    try {
        return steps();
    } catch (...) {
        services.rethrow_masked(std::current_exception(),
                                taostats::known_secrets(services, watch.burn_token));        throw;  // not reached: the error goes out masked
    }
}

int watch_cycle(Services& services, CycleHost& host, const Watch& watch, double threshold) {
    std::optional<Listing> listing = fetch_listing(services, host, host.map_only_taostats(), kFetchFailedPrefix);
    if (!listing) return 1;
    const burns::BurnMap current = burn_map_of(host, *listing->rows);
    const burns::BurnMap prev = burns::load_burn_state(services, host, watch.state_path);
    std::vector<burns::BurnChange> changes;
    if (!prev.empty()) changes = host.changes(prev, current, threshold);
    // Saved before anything is sent: a failed delivery must not make the next cycle alert the
    // same change again.
    burns::save_burn_state(services, watch.state_path, current, listing->updated_at);
    if (changes.empty()) return 0;

    const std::string alert = host.alert_text(changes, listing->updated_at);
    const reports::SendResult sent = reports::send_burn_telegram_messages(
        services, host.telegram(), alert, watch.burn_token, watch.burn_chat_id);
    if (sent.ok) {
        services.console(alert_sent_line(changes.size()));
        return 0;
    }
    services.console(detail_line(kTelegramFailedPrefix, sent.error));
    return 1;
}

int startup_snapshot(Services& services, CycleHost& host, const Watch& watch) {
    std::optional<Listing> listing = fetch_listing(services, host, host.taostats(), kStartupFetchFailedPrefix);
    if (!listing) return 1;
    const burns::BurnMap current = host.burn_map(*listing->rows);
    burns::save_burn_state(services, watch.state_path, current, listing->updated_at);

    const std::string snapshot = host.snapshot_text(*listing->rows, listing->updated_at);
    const reports::SendResult sent = reports::send_burn_telegram_messages(
        services, host.telegram(), snapshot, watch.burn_token, watch.burn_chat_id);
    if (sent.ok) {
        services.console(snapshot_sent_line(host.row_count(*listing->rows)));
        return 0;
    }
    services.console(detail_line(kStartupTelegramFailedPrefix, sent.error));
    return 1;
}

}  // namespace

int run_watch_cycle(Services& services, CycleHost& host, const Watch& watch, double threshold) {
    return masking_secrets(services, watch,
                           [&] { return watch_cycle(services, host, watch, threshold); });
}

int run_startup_snapshot(Services& services, CycleHost& host, const Watch& watch) {
    return masking_secrets(services, watch, [&] { return startup_snapshot(services, host, watch); });
}

}  // namespace emberscope::driver
