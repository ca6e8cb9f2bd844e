// The waits of one cycle.
#include "engine/waits.hpp"

#include <algorithm>

namespace emberscope::engine {

bool Waits::pause_requested() {
    if (pause_path_.empty()) return false;
    if (services_.is_file(pause_path_)) paused_ = true;
    return paused_;
}

Waits::Result Waits::wait(double seconds) {
    if (paused_) return Result::paused;
    if (!(seconds <= left_)) return Result::over_budget;
    double remaining = seconds;
    while (remaining > 0) {
        if (pause_requested()) return Result::paused;
        services_.check_signals();
        const double step = std::min(remaining, kWaitStep);
        services_.sleep(step);
        remaining -= step;
        left_ -= step;
    }
    return Result::done;
}

}  // namespace emberscope::engine
