// Host-facing operations of the monitor module: host arguments in, the engine's cycle report out
// as a dict.
#pragma once

#include <cstdint>

#include "engine/cycle.hpp"
#include "host/calls.hpp"

namespace emberscope::host {

static_assert(engine::kDefaultOutboxMaxAge ==
              static_cast<std::int64_t>(engine::kDefaultOutboxMaxAge));
inline constexpr Param kOutboxMaxAge{"outbox_max_age_seconds", ParamType::real, true, true, "",
                                     static_cast<std::int64_t>(engine::kDefaultOutboxMaxAge)};
/// None: a quarter of the interval.
inline constexpr Param kWaitBudget{"wait_budget_seconds", ParamType::optional_real, true, true,
                                   "", 0};

/// None: each exchange's own deadline (twice its time-out).
inline constexpr Param kExchangeDeadline{"exchange_deadline_seconds", ParamType::optional_real,
                                         true, true, "", 0};

/// Comma-separated subnets left out of alerts ("all" for every one); "" for none.
inline constexpr Param kMuted{"muted", ParamType::text, true, true, "", 0};

/// A list of route dicts (see monitor.pyi); None: one route to burn_chat_id with threshold.
inline constexpr Param kRoutes{"routes", ParamType::list, true, true, "", 0};

/// None: no stale-data alert.
inline constexpr Param kStaleAfter{"stale_after_minutes", ParamType::optional_real, true, true,
                                   "", 0};

inline constexpr Param kRunCycleParams[] = {
    keyword("state_path", ParamType::text),     keyword("threshold", ParamType::real),
    keyword("burn_token", ParamType::text),     keyword("burn_chat_id", ParamType::text),
    keyword("pause_path", ParamType::text),     keyword("interval_seconds", ParamType::real),
    kOutboxMaxAge,                              kWaitBudget,
    kExchangeDeadline,                          kMuted,
    kRoutes,                                    kStaleAfter};
inline constexpr Param kRunSnapshotParams[] = {
    keyword("state_path", ParamType::text),   keyword("burn_token", ParamType::text),
    keyword("burn_chat_id", ParamType::text), keyword("pause_path", ParamType::text),
    Param{"interval_seconds", ParamType::real, true, true, "", 300},
    kOutboxMaxAge,                            kWaitBudget,
    kExchangeDeadline,                        kRoutes,
    kStaleAfter};

inline constexpr Param kExchangeParams[] = {
    required("url", ParamType::text),
    keyword("timeout", ParamType::whole),
    keyword("body_limit", ParamType::whole),
    keyword("deadline_seconds", ParamType::real),
    Param{"method", ParamType::text, true, true, "GET"},
    Param{"body", ParamType::text, true, true, ""},
    Param{"authorization", ParamType::text, true, true, ""},
    Param{"redirects", ParamType::text, true, true, "follow"},
    Param{"error_body_limit", ParamType::whole, true, true, "", -1}};

inline constexpr Param kReadStateParams[] = {required("state_path", ParamType::text)};

/// One watch cycle of the engine (kRunCycleParams) -> its report dict.
Object monitor_run_cycle(const Args& args);
/// The engine's start-up snapshot (kRunSnapshotParams) -> its report dict.
Object monitor_run_snapshot(const Args& args);
/// The state file as the engine reads it (kReadStateParams) -> (values dict, time stamp or None),
/// or None when there is no file; an unusable one raises ValueError with the reason.
Object monitor_read_state(const Args& args);
/// One exchange through the command's HTTP services (kExchangeParams) -> (status, body read,
/// whether the body was longer than its limit); a deadline raises TimeoutError and any other
/// transport failure OSError, with the failure's text.
Object monitor_http_exchange(const Args& args);

}  // namespace emberscope::host
