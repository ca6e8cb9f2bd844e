// Change detection between two BurnMaps: netuid order and the list of changed subnets.
#include "burns/changes.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <unordered_map>

namespace emberscope::burns {

std::vector<std::size_t> netuid_order(const std::vector<DecimalInteger>& netuids) {
    std::vector<std::size_t> order(netuids.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return netuids[a] < netuids[b]; });
    return order;
}

std::vector<BurnChange> list_changes(const BurnMap& prev, const BurnMap& current,
                                     const std::vector<DecimalInteger>& netuids, double threshold) {
    // Exact key texts: '5' and '05' are different subnets here, whatever number they denote.
    std::unordered_map<std::string_view, std::string_view> previous;
    previous.reserve(prev.size());
    for (const auto& [key, value] : prev) previous.insert_or_assign(key, value);

    std::vector<BurnChange> changes;
    for (std::size_t i : netuid_order(netuids)) {
        const auto& [netuid, new_burn] = current[i];
        const auto found = previous.find(netuid);
        if (found == previous.end()) continue;
        if (owner_burn_changed(found->second, new_burn, threshold)) {
            changes.push_back({netuid, std::string(found->second), new_burn});
        }
    }
    return changes;
}

}  // namespace emberscope::burns
