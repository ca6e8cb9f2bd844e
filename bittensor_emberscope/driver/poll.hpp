// The poll loop and its pause control, over the services.
#pragma once

#include <functional>
#include <string_view>

#include "common/services.hpp"

namespace emberscope::driver {

/// True when `pause_path` is non-empty and names an existing regular file (the empty path is
/// never looked up).
bool burn_is_paused(Services& services, std::string_view pause_path);

/// Sleeps `interval_seconds` in steps of at most one second, checking the pause file before
/// each step; false as soon as the pause file is seen, true when the wait ended without it.
bool sleep_until_interval(Services& services, double interval_seconds,
                          std::string_view pause_path);

/// Runs `cycle` one interval (see poll_interval_seconds) apart, the first after one interval,
/// until the pause file appears. An ordinary error of a cycle is written as one console line
/// and the loop goes on; anything else (an interrupt, an exit request) ends it.
void run_poll_loop(Services& services, double interval_minutes, std::string_view pause_path,
                   const std::function<void()>& cycle);

}  // namespace emberscope::driver
