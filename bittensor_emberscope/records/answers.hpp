// What the bot answers, read from the files beside the state (values, history, status, mutes),
// never from Taostats: the texts of /burn, /changes, /status, /mute, /unmute, /help and the data
// of /chart.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "records/clock.hpp"

namespace emberscope::records {

/// Most code points of one message, and of a photo's caption.
inline constexpr std::size_t kMessageLimit = 4096;
inline constexpr std::size_t kCaptionLimit = 1024;
/// Changes /burn lists.
inline constexpr std::size_t kLastChanges = 5;

/// A chart to draw: [epoch second, value] points in time order, and its caption.
struct ChartData {
    std::vector<std::pair<double, double>> points;
    std::string caption;
};

/// The answers for the state file `state_path`, each read at `now`.
class Answers {
public:
    explicit Answers(std::string state_path) : state_path_(std::move(state_path)) {}

    /// Every command with its arguments and description.
    std::string help() const;
    /// SN `netuid`'s value, when it last changed, its last changes and its mute.
    std::string burn(std::string_view netuid, const Clock& now) const;
    /// The changes of the last `seconds`, the newest that fit into one message.
    std::string changes(double seconds, const Clock& now) const;
    /// The status lines, the health, the mutes and the values' stamp.
    std::string status(const Clock& now) const;
    /// Mutes `target` (a netuid or "all") for `seconds`: a netuid that is not among the stored
    /// subnets is refused, as /burn refuses it. Throws native::OsError when the file cannot be
    /// written.
    std::string mute(std::string_view target, double seconds, const Clock& now) const;
    /// Lifts the mute of `target` (a netuid or "all"). Throws native::OsError.
    std::string unmute(std::string_view target, const Clock& now) const;
    /// The points of SN `netuid`'s chart over the last `seconds` and its caption, or the text
    /// that answers instead when there is nothing to draw.
    std::variant<ChartData, std::string> chart(std::string_view netuid, double seconds, const Clock& now) const;

private:
    std::string state_path_;
};

/// The chart's title: "SN3 owner burn, last 30 days".
std::string chart_title(std::string_view netuid, double seconds);

}  // namespace emberscope::records
