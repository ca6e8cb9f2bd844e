// Change detection between two BurnMaps: netuid order and the list of changed subnets.
#include "burns/changes.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <numeric>
#include <string_view>

#include "common/text.hpp"

namespace emberscope::burns {
namespace {

// The positions of `entries` by exact key text, in one flat table (open addressing, linear
// probing): one allocation whatever the count. A key held twice is found at its last position.
class KeyIndex {
public:
    explicit KeyIndex(const BurnView& entries) : entries_(entries) {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * entries.size(), 8));
        mask_ = capacity - 1;
        slots_.assign(capacity, 0);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            std::size_t at = hash(entries[i].first) & mask_;
            while (slots_[at] != 0 && !text::same(entries_[slots_[at] - 1].first, entries[i].first))
                at = (at + 1) & mask_;
            slots_[at] = i + 1;
        }
    }

    /// The position of `key`, or npos.
    std::size_t find(std::string_view key) const {
        std::size_t at = hash(key) & mask_;
        while (slots_[at] != 0) {
            if (text::same(entries_[slots_[at] - 1].first, key)) return slots_[at] - 1;
            at = (at + 1) & mask_;
        }
        return npos;
    }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    // FNV-1a: keys are a few digits, for which a call into a general hash costs more than this.
    static std::size_t hash(std::string_view key) {
        std::uint64_t h = 0xcbf29ce484222325u;
        for (const char c : key) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }

    const BurnView& entries_;
    std::vector<std::size_t> slots_;  // position + 1; 0 for an empty slot
    std::size_t mask_ = 0;
};

}  // namespace

namespace {

template <class Number>
std::vector<std::size_t> order_of(const std::vector<Number>& netuids) {
    std::vector<std::size_t> order(netuids.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Listings come in netuid order: then the order is the positions themselves.
    const auto out_of_order = std::adjacent_find(
        netuids.begin(), netuids.end(), [](const auto& a, const auto& b) { return b < a; });
    if (out_of_order == netuids.end()) return order;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return netuids[a] < netuids[b]; });
    return order;
}

}  // namespace

std::vector<std::size_t> netuid_order(const std::vector<DecimalInteger>& netuids) {
    return order_of(netuids);
}

std::vector<std::size_t> netuid_order(const std::vector<std::int64_t>& netuids) {
    return order_of(netuids);
}

std::vector<ChangedEntry> changed_entries(const BurnView& prev, const BurnView& current,
                                          const std::vector<DecimalInteger>& netuids,
                                          double threshold) {
    return changed_entries_in_order(prev, current, netuid_order(netuids), threshold);
}

std::vector<ChangedEntry> changed_entries_in_order(const BurnView& prev, const BurnView& current,
                                                   const std::vector<std::size_t>& order,
                                                   double threshold) {
    // Exact key texts: '5' and '05' are different subnets here, whatever number they denote.
    const KeyIndex previous(prev);
    std::vector<ChangedEntry> changes;
    for (std::size_t i : order) {
        const std::size_t found = previous.find(current[i].first);
        if (found == KeyIndex::npos) continue;
        if (owner_burn_changed(prev[found].second, current[i].second, threshold))
            changes.push_back({i, found});
    }
    return changes;
}

std::vector<BurnChange> list_changes(const BurnMap& prev, const BurnMap& current,
                                     const std::vector<DecimalInteger>& netuids, double threshold) {
    return list_changes_in_order(prev, current, netuid_order(netuids), threshold);
}

std::vector<BurnChange> list_changes_in_order(const BurnMap& prev, const BurnMap& current,
                                              const std::vector<std::size_t>& order,
                                              double threshold) {
    const BurnView prev_view(prev.begin(), prev.end());
    const BurnView current_view(current.begin(), current.end());
    std::vector<BurnChange> changes;
    for (const ChangedEntry& c : changed_entries_in_order(prev_view, current_view, order, threshold))
        changes.push_back({current[c.current].first, prev[c.prev].second, current[c.current].second});
    return changes;
}

}  // namespace emberscope::burns
