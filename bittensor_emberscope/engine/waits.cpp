// The waits of one cycle.
#include "engine/waits.hpp"

#include "common/stepped_wait.hpp"

namespace emberscope::engine {

bool Waits::pause_requested() {
    if (pause_path_.empty()) return false;
    if (services_.is_file(pause_path_)) paused_ = true;
    return paused_;
}

Waits::Result Waits::wait(double seconds) {
    if (paused_) return Result::paused;
    if (!(seconds <= left_)) return Result::over_budget;
    const bool done = wait_in_steps(seconds, [&] { return pause_requested(); }, [&](double step) {
        services_.check_signals();
        services_.sleep(step);
        left_ -= step;
    });
    return done ? Result::done : Result::paused;
}

}  // namespace emberscope::engine
