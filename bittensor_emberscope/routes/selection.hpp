// Which changes of a cycle a route is told about.
#pragma once

#include <vector>

#include "burns/burn_map.hpp"
#include "routes/route.hpp"

namespace emberscope::routes {

/// True when `route` reports `change`: its netuid is in the route's filter (a netuid text that
/// is not a plain integer passes only an unfiltered route), and the move exceeds the route's
/// threshold and, when set, its relative change. Texts that do not read as numbers count as a
/// change when they differ, as the cycle's own detection does.
bool route_reports(const Route& route, const burns::BurnChange& change);

/// The changes `route` reports, in their order.
std::vector<burns::BurnChange> select_changes(const Route& route,
                                              const std::vector<burns::BurnChange>& changes);

/// True when `route`'s netuid filter lets `netuid` (a netuid text) through.
bool route_hears(const Route& route, std::string_view netuid);

}  // namespace emberscope::routes
