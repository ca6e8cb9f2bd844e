// The monitor module's operations: the cycles the `emberscope` command runs, on the engine of
// engine/. The module itself is defined in host/extension.cpp.
#include <array>

#include "host/extension.hpp"
#include "host/monitor_ops.hpp"

namespace emberscope {
namespace {

using host::Operation;

constexpr std::array kOperations = {
    Operation{"run_cycle", host::kRunCycleParams, host::monitor_run_cycle,
              "One watch cycle with outbox, flood control and recovery; returns its report."},
    Operation{"run_snapshot", host::kRunSnapshotParams, host::monitor_run_snapshot,
              "Record a fresh baseline and deliver the start-up list through the outbox; returns "
              "its report."},
    Operation{"read_state", host::kReadStateParams, host::monitor_read_state,
              "The stored values and their time stamp, as the engine reads the state file."},
    Operation{"format_owner_burn", host::kFormatParams, host::monitor_format_owner_burn,
              "The display form of an owner burn text (4 decimals), as the engine's messages show "
              "it; a text that is not a number as it is."},
    Operation{"_http_exchange", host::kExchangeParams, host::monitor_http_exchange,
              "One exchange: (status, body read, longer than its limit)."},
};

}  // namespace

const host::ModuleSpec host::module_spec = {
    "bittensor_emberscope.monitor", "monitor",
    "The emberscope command's monitor engine: watch cycles with an outbox, Telegram flood "
    "control and recovery from bad listings and state files.",
    kOperations,
    /*documented_names=*/false,
    /*host_http=*/false};

}  // namespace emberscope
