// Host-facing report texts: the alert, the start-up snapshot and the message chunker.
#pragma once

#include <string>
#include <vector>

#include "burns/burn_map.hpp"
#include "host/calls.hpp"
#include "reports/telegram_text.hpp"

namespace emberscope::reports {

/// The alert text for `changes` in the given order, burn texts in their display form.
std::string format_burn_alert(const std::vector<burns::BurnChange>& changes,
                              const std::string& updated_at);

/// The start-up snapshot of `rows` (a host list of row maps): every row counted, rows ordered
/// by the host's int() of their "netuid" (0 without one; stable), each shown with its label
/// and the display form of its owner burn text. Raises the host's int() error for a netuid it
/// refuses, and a TypeError for a row that is not a dict, before any line is made.
std::string format_burn_snapshot(const host::Object& rows, const std::string& updated_at);

// Operations and their parameters.
inline constexpr host::Param kAlertParams[] = {host::required("changes", host::ParamType::list), host::required("updated_at", host::ParamType::text)};
inline constexpr host::Param kSnapshotParams[] = {host::required("rows", host::ParamType::list), host::required("updated_at", host::ParamType::text)};
inline constexpr host::Param kChunkParams[] = {
    host::required("text", host::ParamType::text), host::Param{"max_len", host::ParamType::whole, false, true, "", kMessageTextLimit}};

host::Object format_burn_alert(const host::Args& args);     // kAlertParams
host::Object format_burn_snapshot(const host::Args& args);  // kSnapshotParams
host::Object chunk_text(const host::Args& args);            // kChunkParams

}  // namespace emberscope::reports
