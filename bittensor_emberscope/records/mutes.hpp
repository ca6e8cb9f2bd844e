// The mutes file beside the state file (`state.mutes.json`): the subnets whose alerts an
// operator held back through the bot, each until a time: {"muted": {"<netuid>|all": "<UTC>"}}.
// Replaced atomically; removed when nothing is muted.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace emberscope::records {

/// The key that mutes every subnet.
inline constexpr std::string_view kAllSubnets = "all";

/// Key (a netuid's text, or "all") -> until (epoch second), in netuid order.
using Mutes = std::vector<std::pair<std::string, double>>;

/// True when `a` sorts before `b` as subnets' keys do: netuids by number (any text the host's
/// int() reads), then every other key by its text.
bool netuid_less(std::string_view a, std::string_view b);

/// The mutes still in force at `now` (epoch seconds). A missing, unreadable or damaged file, or
/// a FIFO in its place, mutes nothing: alerts are never held back by accident.
Mutes read_mutes(std::string_view state_path, double now);

/// Replaces the mutes file; an empty list removes it. Throws native::OsError.
void write_mutes(std::string_view state_path, const Mutes& mutes);

/// The subnets muted at `now`, as the cycle takes them ("all" for every one).
std::vector<std::string> muted_netuids(std::string_view state_path, double now);

/// "SN3 until 2099-01-01T00:00:00Z, every subnet until ...": the mutes for the status; "" when
/// there are none.
std::string describe_mutes(const Mutes& mutes);

}  // namespace emberscope::records
