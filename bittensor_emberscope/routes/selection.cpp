// Which changes of a cycle a route is told about.
#include "routes/selection.hpp"

#include <algorithm>
#include <cmath>

#include "burns/numeric.hpp"

namespace emberscope::routes {

bool route_hears(const Route& route, std::string_view netuid) {
    if (!route.netuids) return true;
    const std::optional<std::int64_t> number = burns::small_integer_text(netuid);
    if (!number) return false;
    return std::find(route.netuids->begin(), route.netuids->end(), *number) != route.netuids->end();
}

bool route_reports(const Route& route, const burns::BurnChange& change) {
    if (!route_hears(route, change.netuid)) return false;
    const std::optional<double> old_value = burns::parse_numeric_text(change.old_burn);
    const std::optional<double> new_value = burns::parse_numeric_text(change.new_burn);
    if (!old_value || !new_value || !std::isfinite(*old_value) || !std::isfinite(*new_value))
        return change.old_burn != change.new_burn;
    const double distance = std::fabs(*new_value - *old_value);
    if (!(distance > route.threshold)) return false;
    if (route.min_relative_change > 0 && !(distance > route.min_relative_change * std::fabs(*old_value)))
        return false;
    return true;
}

std::vector<burns::BurnChange> select_changes(const Route& route,
                                              const std::vector<burns::BurnChange>& changes) {
    std::vector<burns::BurnChange> out;
    for (const auto& change : changes)
        if (route_reports(route, change)) out.push_back(change);
    return out;
}

}  // namespace emberscope::routes
