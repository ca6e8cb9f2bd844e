// The watch cycle and the start-up snapshot, over the services. The order of a cycle's steps
// is written once, in watch.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "burns/burn_map.hpp"
#include "burns/state.hpp"
#include "common/services.hpp"
#include "reports/delivery.hpp"
#include "taostats/client.hpp"

namespace emberscope::driver {

/// The steps of a cycle that follow the host's own rules (its JSON codec, its int(), its
/// number formatting), over the listing, which stays the host's value.
class CycleHost : public burns::StateDecoder {
public:
    virtual taostats::Decoder& taostats() = 0;
    /// The decoder of a watch cycle, which needs only the listing's burn map and row count (it
    /// may read the listing without making the host's values; see taostats::MapOnlyDecoder).
    virtual taostats::Decoder& map_only_taostats() { return taostats(); }
    virtual reports::TelegramReader& telegram() = 0;
    /// The JSON text of a failure record (an object whose "error" is true), or nullopt for a
    /// list of rows. Anything else raises "Expected list, got ...".
    virtual std::optional<std::string> listing_failure(const taostats::Payload& listing) = 0;
    /// The burn map of the rows: one entry per row that has a "netuid", keyed by its text.
    virtual burns::BurnMap burn_map(const taostats::Payload& rows) = 0;
    virtual std::size_t row_count(const taostats::Payload& rows) = 0;
    /// The changes from `prev` to `current` beyond `threshold`, in ascending netuid order.
    virtual std::vector<burns::BurnChange> changes(const burns::BurnMap& prev,
                                                   const burns::BurnMap& current,
                                                   double threshold) = 0;
    virtual std::string alert_text(const std::vector<burns::BurnChange>& changes,
                                   std::string_view updated_at) = 0;
    virtual std::string snapshot_text(const taostats::Payload& rows,
                                      std::string_view updated_at) = 0;
};

/// Where a cycle keeps its state and where it reports.
struct Watch {
    std::string_view state_path;
    std::string_view burn_token;
    std::string_view burn_chat_id;
};

/// One watch cycle; returns its exit status (0 done, 1 no key / listing failed / not
/// delivered). The state is saved before anything is sent. A raised error carries neither
/// secret (the token, the Taostats key).
int run_watch_cycle(Services& services, CycleHost& host, const Watch& watch, double threshold);

/// The start-up snapshot; returns its exit status.
int run_startup_snapshot(Services& services, CycleHost& host, const Watch& watch);

}  // namespace emberscope::driver
