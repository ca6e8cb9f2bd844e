// The watch cycle and the start-up snapshot.
#include "host/driver_watch_ops.hpp"



#include <charconv>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "burns/owner_burn.hpp"
#include "driver/console.hpp"
#include "host/burns_changes_ops.hpp"
#include "host/burns_state_ops.hpp"
#include "host/burns_values_ops.hpp"
#include "host/error.hpp"
#include "host/host_services.hpp"
#include "host/json.hpp"
#include "host/module.hpp"
#include "host/raw.hpp"
#include "host/reports_telegram_ops.hpp"
#include "host/reports_texts_ops.hpp"
#include "host/taostats_client_ops.hpp"

namespace emberscope::driver {
namespace {

std::string netuid_text(const host::Object& netuid) {
    if (host::raw::is_int(netuid.ptr())) {
        if (auto small = netuid.small_integer()) {
            char buffer[24];
            return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, *small).ptr);
        }
    }
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
    const host::Object netuid_key = host::key(host::Key::netuid);
    const host::Object burn_key = host::key(host::Key::incentive_burn);
    for (std::size_t i = 0; i < n; ++i) {
        host::Object row = rows.at(i);
        if (row.kind() != host::Kind::map) continue;  // not a row: it has no "netuid" member
        std::optional<host::Object> netuid = row.get(netuid_key);
        if (!netuid) continue;
        std::string key = netuid_text(*netuid);
        std::optional<host::Object> burn = row.get(burn_key);
        std::string value = burn ? burns::owner_burn_text(*burn) : std::string(burns::kZeroBurn);
        auto [it, inserted] = position.try_emplace(key, current.size());
        if (inserted)
            current.emplace_back(std::move(key), std::move(value));
        else
            current[it->second].second = std::move(value);
    }
    return current;
}

namespace {

class HostCycle final : public CycleHost {
public:
    taostats::Decoder& taostats() override { return decoder_; }
    taostats::Decoder& map_only_taostats() override {
        return map_decoder_.emplace(decoder_, host::json_loads_is_hosts_own());
    }
    reports::TelegramReader& telegram() override { return reports::host_telegram_reader(); }

    burns::BurnMap state_entries(std::string_view file_text) override {
        return state_.state_entries(file_text);
    }

    std::optional<std::string> listing_failure(const taostats::Payload& listing) override {
        const host::Object& result = taostats::host_value(listing);
        if (result.kind() == host::Kind::map) {
            std::optional<host::Object> error = result.get("error");
            if (error && error->truthy()) return host::json_dumps(result);
        }
        if (result.kind() != host::Kind::list) host::throw_result_type_error("list", result);
        return std::nullopt;
    }

    burns::BurnMap burn_map(const taostats::Payload& rows) override {
        return burn_map_of_rows(taostats::host_value(rows));
    }

    std::size_t row_count(const taostats::Payload& rows) override {
        return taostats::host_value(rows).size();
    }

    std::vector<burns::BurnChange> changes(const burns::BurnMap& prev, const burns::BurnMap& current,
                                           double threshold) override {
        return burns::diff_burns(prev, current, threshold);
    }

    std::string alert_text(const std::vector<burns::BurnChange>& changes,
                           std::string_view updated_at) override {
        return reports::format_burn_alert(changes, std::string(updated_at));
    }

    std::string snapshot_text(const taostats::Payload& rows, std::string_view updated_at) override {
        return reports::format_burn_snapshot(taostats::host_value(rows), std::string(updated_at));
    }

private:
    taostats::HostDecoder decoder_;
    std::optional<taostats::MapOnlyDecoder> map_decoder_;
    burns::HostStateDecoder state_;
};

}  // namespace

CycleHost& host_cycle() {
    static HostCycle instance;
    return instance;
}

host::Object run_emberscope_once_op(const host::Args& args) {
    const Watch watch{args.text<kOnceParams, "state_path">(), args.text<kOnceParams, "burn_token">(),
                      args.text<kOnceParams, "burn_chat_id">()};
    const double threshold = args.real<kOnceParams, "threshold">();
    return host::integer(run_watch_cycle(host::services(), host_cycle(), watch, threshold));
}

host::Object run_burn_startup_snapshot_op(const host::Args& args) {
    const Watch watch{args.text<kStartupParams, "state_path">(),
                      args.text<kStartupParams, "burn_token">(),
                      args.text<kStartupParams, "burn_chat_id">()};
    return host::integer(run_startup_snapshot(host::services(), host_cycle(), watch));
}

}  // namespace emberscope::driver
