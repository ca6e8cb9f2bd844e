// The monitor module's operations: the cycles of the `emberscope` program's engine (engine/),
// for benchmarks and tests that drive one cycle at a time. The module itself is defined in host/extension.cpp.
#include <array>

#include "engine/cycle.hpp"
#include "engine/outbox.hpp"
#include "host/extension.hpp"
#include "host/monitor_ops.hpp"
#include "reports/telegram_text.hpp"

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
    Operation{"_http_exchange", host::kExchangeParams, host::monitor_http_exchange,
              "One exchange: (status, body read, longer than its limit)."},
};

constexpr std::array kConstants = {
    host::Constant{"DEFAULT_OUTBOX_MAX_AGE_SECONDS", engine::kDefaultOutboxMaxAge},
    host::Constant{"DEFAULT_TELEGRAM_API_BASE", 0, reports::kDefaultTelegramBase.data()},
    host::Constant{"OUTBOX_SUFFIX", 0, engine::kOutboxSuffix.data()},
    host::Constant{"OUTCOME_OK", 0, engine::kOutcomeOk.data()},
    host::Constant{"OUTCOME_NO_API_KEY", 0, engine::kOutcomeNoApiKey.data()},
    host::Constant{"OUTCOME_FETCH_FAILED", 0, engine::kOutcomeFetchFailed.data()},
    host::Constant{"OUTCOME_TELEGRAM_FAILED", 0, engine::kOutcomeTelegramFailed.data()},
    host::Constant{"OUTCOME_ERROR", 0, engine::kOutcomeError.data()},
};

}  // namespace

const host::ModuleSpec host::module_spec = {
    "bittensor_emberscope.monitor", "monitor",
    "The emberscope command's monitor engine: watch cycles with an outbox, Telegram flood "
    "control and recovery from bad listings and state files.",
    kOperations,
    /*documented_names=*/false,
    /*host_http=*/false,
    kConstants};

}  // namespace emberscope
