// The routes as understood, as `emberscope config check` prints them.
#pragma once

#include <string>
#include <vector>

#include "config/config_file.hpp"

namespace emberscope::config {

/// One line about the file (its routes, default threshold, stale-data alert), then one line per
/// route: "route 1: chat -1001234567890, topic 42, subnets 1, 4, 64, threshold 0.05, ...".
std::vector<std::string> describe(const Config& config);

/// A threshold or a count of minutes as the lines show it ("0.01", "30", "1e-05").
std::string number_text(double value);

}  // namespace emberscope::config
