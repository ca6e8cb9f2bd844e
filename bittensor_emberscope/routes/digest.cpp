// The digest of held changes.
#include "routes/digest.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "burns/numeric.hpp"

namespace emberscope::routes {

std::vector<burns::BurnChange> fold_held_changes(const std::vector<burns::BurnChange>& held) {
    std::vector<burns::BurnChange> folded;
    for (const auto& change : held) {
        auto same = std::find_if(folded.begin(), folded.end(),
                                 [&](const burns::BurnChange& c) { return c.netuid == change.netuid; });
        if (same == folded.end())
            folded.push_back(change);
        else
            same->new_burn = change.new_burn;
    }
    auto key = [](const burns::BurnChange& c) {
        const std::optional<std::int64_t> n = burns::small_integer_text(c.netuid);
        return std::pair<bool, std::int64_t>{!n.has_value(), n.value_or(0)};
    };
    std::stable_sort(folded.begin(), folded.end(),
                     [&](const burns::BurnChange& a, const burns::BurnChange& b) { return key(a) < key(b); });
    return folded;
}

std::string digest_title(const std::optional<QuietHours>& window) {
    std::string title = "Owner burn rate changed during quiet hours";
    if (window) title += " " + window->text() + " UTC";
    return title;
}

}  // namespace emberscope::routes
