// The module's operations: each name, its parameters and its body. The module itself is
// defined in host/extension.cpp.
#include <array>
#include <span>

#include "host/burns_changes_ops.hpp"
#include "host/burns_state_ops.hpp"
#include "host/burns_values_ops.hpp"
#include "host/driver_poll_ops.hpp"
#include "host/driver_watch_ops.hpp"
#include "host/extension.hpp"
#include "host/reports_telegram_ops.hpp"
#include "host/reports_texts_ops.hpp"
#include "host/taostats_client_ops.hpp"

namespace emberscope {
namespace {

using host::Operation;

constexpr std::array kOperations = {
    Operation{"api_base", {}, taostats::api_base},
    Operation{"request_headers", taostats::kAuthParams, taostats::request_headers},
    Operation{"taostats_auth", {}, taostats::taostats_auth},
    Operation{"http_get_json", taostats::kGetParams, taostats::http_get_json},
    Operation{"is_rate_limited", taostats::kPayloadParams, taostats::is_rate_limited},
    Operation{"with_retries", taostats::kRetriesParams, taostats::with_retries},
    Operation{"fetch_all_subnets_latest", taostats::kAuthParams, taostats::fetch_all_subnets_latest},
    Operation{"owner_burn_from_row", burns::kRowParams, burns::owner_burn_from_row},
    Operation{"format_owner_burn", burns::kValueParams, burns::format_owner_burn},
    Operation{"owner_burn_changed", burns::kChangedParams, burns::owner_burn_changed},
    Operation{"load_burn_state", burns::kLoadParams, burns::load_burn_state},
    Operation{"save_burn_state", burns::kSaveParams, burns::save_burn_state},
    Operation{"diff_burns", burns::kDiffParams, burns::diff_burns},
    Operation{"format_burn_alert", reports::kAlertParams, reports::format_burn_alert},
    Operation{"format_burn_snapshot", reports::kSnapshotParams, reports::format_burn_snapshot},
    Operation{"_chunk_text", reports::kChunkParams, reports::chunk_text},
    Operation{"send_burn_telegram_messages", reports::kSendParams,
              reports::send_burn_telegram_messages},
    Operation{"send_burn_telegram", reports::kSendParams, reports::send_burn_telegram},
    Operation{"run_emberscope_once", driver::kOnceParams, driver::run_emberscope_once_op},
    Operation{"run_burn_startup_snapshot", driver::kStartupParams,
              driver::run_burn_startup_snapshot_op,
              "Fetch all subnets and send full burn-rate snapshot to burn Telegram."},
    Operation{"_burn_is_paused", driver::kPausedParams, driver::burn_is_paused_op},
    Operation{"_sleep_until_interval", driver::kIntervalParams, driver::sleep_until_interval_op,
              "Sleep in 1s steps. Returns False if paused before interval elapsed."},
    Operation{"run_burn_poll_loop", driver::kPollParams, driver::run_burn_poll_loop_op},
};

}  // namespace

const host::ModuleSpec host::module_spec = {
    "bittensor_emberscope.emberscope", "emberscope",
    "Bittensor subnet owner burn rate monitoring via Taostats.", kOperations, true};

}  // namespace emberscope
