// The stale-data alert.
#include "engine/stale.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace emberscope::engine {

StaleStep stale_step(const std::optional<QueueClock>& last_good, bool sent, bool good_now,
                     const QueueClock& now, double after_seconds) {
    if (!last_good) return {};
    const bool same_boot = !last_good->boot.empty() && last_good->boot == now.boot;
    const double since = std::max(0.0, same_boot ? now.monotonic - last_good->monotonic
                                                 : now.epoch - last_good->epoch);
    const auto minutes = static_cast<long long>(std::floor(since / 60));
    if (good_now) return sent ? StaleStep{StaleStep::Kind::back, minutes} : StaleStep{};
    if (!sent && since >= after_seconds) return {StaleStep::Kind::stale, minutes};
    return {};
}

std::string stale_text(long long minutes, double last_good) {
    const std::time_t t = static_cast<std::time_t>(std::floor(last_good));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M", &tm);
    return "emberscope: no good listing from Taostats for " + std::to_string(minutes) +
           " min (last good at " + std::string(stamp, n) + " UTC)";
}

std::string back_text(long long minutes) {
    return "emberscope: listings from Taostats are back after " + std::to_string(minutes) + " min";
}

}  // namespace emberscope::engine
