// A wait in steps short enough for a pause to end it at once: the one shape of the documented
// poll loop's wait between cycles and of the engine's waits within a cycle.
#pragma once

#include <algorithm>

namespace emberscope {

/// Longest single step: between two steps the pause file (and the caller's signals) are looked at.
inline constexpr double kWaitStepSeconds = 1.0;

/// Sleeps `seconds` as steps of at most kWaitStepSeconds through `step(seconds)`, asking
/// `paused()` before each; false as soon as it says so, true when the time is up. The wait is the
/// sum of the steps (no clock is read): NaN ends it at once, infinity never.
template <typename Paused, typename Step>
bool wait_in_steps(double seconds, Paused&& paused, Step&& step) {
    double remaining = seconds;
    while (remaining > 0.0) {
        if (paused()) return false;
        const double length = std::min(remaining, kWaitStepSeconds);
        step(length);
        remaining -= length;
    }
    return true;
}

}  // namespace emberscope
