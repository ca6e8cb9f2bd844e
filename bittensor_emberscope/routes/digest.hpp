// The digest sent when quiet hours end: every subnet held in the window once, with the value it
// had before the first held change and the value of the last.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "burns/burn_map.hpp"
#include "routes/quiet_hours.hpp"

namespace emberscope::routes {

/// `held` (changes in the order they were seen, possibly several per subnet) folded to one
/// change per subnet, (netuid, first old, last new), in ascending netuid order (netuid texts that
/// are not plain integers last, in the order first seen). A subnet that came back to where it
/// started is still listed: it moved while the chat was quiet.
std::vector<burns::BurnChange> fold_held_changes(const std::vector<burns::BurnChange>& held);

/// The first line of a digest, in place of the alert's: "Owner burn rate changed during quiet
/// hours 22:00-07:00 UTC" (without the window when the route has none any more).
std::string digest_title(const std::optional<QuietHours>& window);

}  // namespace emberscope::routes
