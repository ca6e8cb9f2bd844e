// Times of the files beside the state: UTC stamps, the moment a record is read or written at,
// and the ages between them.
//
// Ages are measured on the monotonic clock while the machine's boot is the one a moment was
// recorded in (a step of the wall clock, forward or back, neither ages nor rejuvenates it), and
// on the wall clock across boots, the only clock two boots share.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/outbox.hpp"

namespace emberscope::records {

/// A reading of the clocks: wall time (epoch seconds), the boot, and that boot's monotonic
/// clock. The outbox measures its messages' ages on the same reading.
using Clock = engine::QueueClock;

/// "%Y-%m-%dT%H:%M:%SZ" of an epoch second (its fraction dropped).
std::string format_utc(double epoch_seconds);

/// The epoch second of a time stamp of these files, or of any ISO 8601 date or time the host's
/// datetime.fromisoformat reads ("2026-03-01", "2026-03-01T12:00:00Z", "...+01:00"; a time
/// without an offset is UTC); nullopt for anything else (week dates included).
std::optional<double> parse_utc(std::string_view text);

/// A duration for the status lines: "59 s", "119 min", "47 h 59 min", "2 days" (negative as 0).
std::string span_text(double seconds);

/// A recorded moment: its wall time, and where the boot it was recorded in is known, the
/// monotonic reading that stands for it.
struct Moment {
    double epoch = 0;
    std::string boot;
    double monotonic = 0;
};

/// The moment `epoch` as seen from `now`: the monotonic reading that stands for it in now's boot.
Moment moment_at(double epoch, const Clock& now);

/// Seconds from `then` to `now`: on the monotonic clock within one boot, else the wall clock.
double seconds_since(const Moment& then, const Clock& now);

}  // namespace emberscope::records
