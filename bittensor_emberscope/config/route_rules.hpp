// The rules every set of routes follows, from the file or handed to the engine: chat ids,
// subnets, thresholds, topics, and no two routes to one chat and topic.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "routes/route.hpp"

namespace emberscope::config {

/// A route to the chat and topic of an earlier one.
struct Duplicate {
    std::size_t index = 0;  ///< of the later route, from 0
    std::string problem;    ///< "the same chat as route[1]; merge them into one route"
};

/// The first route whose chat (public names compared in any case) and topic an earlier route
/// has, or nullopt.
std::optional<Duplicate> first_duplicate(const std::vector<routes::Route>& routes);

/// The first error of `routes` as given to the engine, routes counted from 1 as `route[N]`;
/// nullopt when every one can be followed.
std::optional<std::string> check_routes(const std::vector<routes::Route>& routes);

}  // namespace emberscope::config
