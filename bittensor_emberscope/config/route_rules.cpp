// The rules every set of routes follows. No parser and no formatting library here: the monitor
// module checks the routes it is handed with this file alone.
#include "config/route_rules.hpp"

#include "burns/numeric.hpp"
#include "burns/repr.hpp"
#include "config/chat_ids.hpp"
#include "config/config_file.hpp"
#include "config/values.hpp"

namespace emberscope::config {

std::optional<Duplicate> first_duplicate(const std::vector<routes::Route>& all) {
    for (std::size_t i = 0; i < all.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (same_chat(all[i].chat_id, all[j].chat_id) && all[i].thread_id == all[j].thread_id)
                return Duplicate{i, std::string("the same chat") + (all[i].thread_id ? " and topic" : "") +
                                        " as route[" + std::to_string(j + 1) + "]; merge them into one route"};
    return std::nullopt;
}

std::optional<std::string> check_routes(const std::vector<routes::Route>& all) {
    for (std::size_t i = 0; i < all.size(); ++i) {
        const routes::Route& route = all[i];
        const std::string name = "route[" + std::to_string(i + 1) + "]";
        if (route.chat_id.empty() || has_control(route.chat_id))
            return name + ".chat_id: is not a chat identifier: " + burns::repr(route.chat_id);
        if (route.netuids && route.netuids->empty())
            return name + ".netuids: must be a non-empty array of subnet numbers";
        if (route.netuids)
            for (const std::int64_t n : *route.netuids)
                if (!is_netuid(n))
                    return name + ".netuids: " + std::to_string(n) + " is not a subnet number (0 to " +
                           std::to_string(kNetuidMax) + ")";
        for (auto [key, value] : {std::pair{"threshold", route.threshold},
                                  std::pair{"min_relative_change", route.min_relative_change}})
            if (!is_threshold(value))
                return name + "." + key + ": must be a finite number >= 0, not " + burns::shortest_form(value);
        if (route.thread_id && *route.thread_id <= 0)
            return name + ".thread_id: must be a positive integer, not " + std::to_string(*route.thread_id);
    }
    if (const std::optional<Duplicate> twice = first_duplicate(all))
        return "route[" + std::to_string(twice->index + 1) + "].chat_id: " + twice->problem;
    return std::nullopt;
}

}  // namespace emberscope::config
