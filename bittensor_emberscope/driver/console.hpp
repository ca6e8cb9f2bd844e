// The watch driver's console lines and its interval rule, as plain text and numbers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace emberscope::driver {

/// Written when no Taostats key is configured, by the watch cycle and the start-up snapshot.
inline constexpr std::string_view kNoApiKeyLine =
    "[burn] taostats API not available (must be bundled in package defaults)\n";
/// Written once when the poll loop ends because the pause file was found.
inline constexpr std::string_view kPausedLine = "[burn] monitoring paused\n";
/// Prefixes of the lines that carry a record, an error text or a reason (see detail_line).
inline constexpr std::string_view kFetchFailedPrefix = "[burn] fetch failed: ";
inline constexpr std::string_view kStartupFetchFailedPrefix = "[burn] startup fetch failed: ";
inline constexpr std::string_view kTelegramFailedPrefix = "[burn] telegram failed: ";
inline constexpr std::string_view kStartupTelegramFailedPrefix = "[burn] startup telegram failed: ";
/// A cycle of the poll loop that raised an ordinary error.
inline constexpr std::string_view kCycleErrorPrefix = "[burn] error: ";
/// The cycle's time stamp pattern (UTC).
inline constexpr std::string_view kStampPattern = "%Y-%m-%dT%H:%M:%SZ";

/// `prefix` + `detail` + "\n", for lines that carry a record, an error text or a message. The
/// detail comes from elsewhere (a server, the host): its CR and LF are written as the two
/// characters `\r` and `\n`, so that the line stays one line.
std::string detail_line(std::string_view prefix, std::string_view detail);

/// `text` with every CR written as `\r` and every LF as `\n`; nothing else changes.
std::string escape_line_breaks(std::string_view text);
/// "[burn] alert sent (N subnet(s))\n".
std::string alert_sent_line(std::size_t changes);
/// "[burn] startup snapshot sent (N subnets)\n".
std::string snapshot_sent_line(std::size_t rows);

/// Seconds between poll cycles: 60 x minutes, with anything below one minute (zero, negative,
/// not a number) taken as one minute. Positive infinity stays infinite.
double poll_interval_seconds(double minutes);

}  // namespace emberscope::driver
