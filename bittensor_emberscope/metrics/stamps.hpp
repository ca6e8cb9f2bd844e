// The time stamps of the cycle's report and the status file, as seconds of the Unix epoch.
#pragma once

#include <optional>
#include <string_view>

namespace emberscope::metrics {

/// Seconds since the epoch of an ISO 8601 time "YYYY-MM-DDTHH:MM:SS" (or a space for the "T"),
/// with optional fractions of a second and an optional "Z" or "+HH:MM"/"-HH:MM" offset (none
/// means UTC); nullopt for any other text and for fields out of range.
std::optional<double> utc_seconds(std::string_view stamp);

}  // namespace emberscope::metrics
