// Fixed values and text rules of the Telegram delivery: the sendMessage address, part numbers,
// excerpts of error bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace emberscope::reports {

/// The public Bot API endpoint, used when TELEGRAM_API_BASE is unset.
inline constexpr std::string_view kDefaultTelegramBase = "https://api.telegram.org";
/// The error text when the token or the chat identifier is empty.
inline constexpr std::string_view kNotConfigured = "burn telegram not configured";
/// Longest piece of report text in one message, in code points.
inline constexpr std::int64_t kMessageTextLimit = 3900;
/// Pause between two messages of one text, in seconds.
inline constexpr double kPauseBetweenMessages = 0.4;
/// Seconds a request may wait at each blocking step (connect, each read).
inline constexpr int kTelegramTimeoutSeconds = 30;
/// Most bytes of any answer's body read; a longer answer is a failure, unread beyond that.
inline constexpr std::int64_t kTelegramBodyLimit = std::int64_t{1} << 20;
/// Longest excerpt of an error body kept as the error text, in code points.
inline constexpr std::size_t kErrorBodyExcerptLength = 300;

/// The sendMessage address: `endpoint` without its trailing "/" characters, "/bot", the token
/// unchanged, "/sendMessage".
std::string send_message_url(std::string_view endpoint, std::string_view token);

/// The message text of part `index` (from 1) of `total`: the part itself when it is the only
/// one, otherwise "(index/total)\n" followed by the part.
std::string numbered_part(std::string_view part, std::size_t index, std::size_t total);

}  // namespace emberscope::reports
