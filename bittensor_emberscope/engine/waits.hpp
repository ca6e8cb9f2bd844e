// The waits of one cycle: a budget they share, and steps short enough for a pause or a stop
// signal to end them at once.
#pragma once

#include <string>

#include "common/services.hpp"
#include "common/stepped_wait.hpp"

namespace emberscope::engine {

class Waits {
public:
    enum class Result { done, over_budget, paused };

    /// `budget_seconds`: what all waits of the cycle may add up to.
    Waits(Services& services, std::string pause_path, double budget_seconds)
        : services_(services), pause_path_(std::move(pause_path)), left_(budget_seconds) {}

    /// Sleeps `seconds` in steps of at most kWaitStepSeconds, checking the pause file and running the
    /// signal handlers before each step (a handler's error propagates). A wait longer than what
    /// is left of the budget is not begun. A pause ends the wait and every later one.
    Result wait(double seconds);

    /// True when the pause file exists now (never for an empty pause path).
    bool pause_requested();

    bool paused() const { return paused_; }
    double left() const { return left_; }

private:
    Services& services_;
    std::string pause_path_;
    double left_;
    bool paused_ = false;
};

}  // namespace emberscope::engine
