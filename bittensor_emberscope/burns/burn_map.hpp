// The burn tracking data: netuid text -> owner burn text, and one reported change.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace emberscope::burns {

/// Netuid text -> owner burn text, in insertion order, keys unique. Empty means "no previous
/// state".
using BurnMap = std::vector<std::pair<std::string, std::string>>;

/// One subnet whose owner burn value moved: its netuid and the old and new raw texts.
struct BurnChange {
    std::string netuid;
    std::string old_burn;
    std::string new_burn;
    bool operator==(const BurnChange&) const = default;
};

}  // namespace emberscope::burns
