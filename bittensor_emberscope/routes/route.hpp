// One destination of the command's alerts and the rules that decide what it is sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "routes/quiet_hours.hpp"

namespace emberscope::routes {

struct Route {
    std::string chat_id;
    /// Subnets this route hears about; nullopt for every subnet.
    std::optional<std::vector<std::int64_t>> netuids;
    /// A change is reported when |new - old| exceeds this, in the listing's own units.
    double threshold = 0.01;
    /// When above 0, the change must also exceed this share of |old| (0.10 for 10%).
    double min_relative_change = 0;
    /// Sent with disable_notification.
    bool silent = false;
    /// A forum topic of the chat (message_thread_id).
    std::optional<std::int64_t> thread_id;
    /// Changes inside the window are held and sent as one digest when it ends.
    std::optional<QuietHours> quiet_hours;
};

}  // namespace emberscope::routes
