// What the engine sends to Telegram and how it reads the answers, as Telegram really behaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/services.hpp"
#include "reports/telegram_text.hpp"
#include "reports/telegram_verdict.hpp"

namespace emberscope::engine {

/// Telegram's limit on one message, in code points.
inline constexpr std::size_t kTelegramMaxMessage = 4096;
/// What ends a message that had to be cut to that limit.
inline constexpr std::string_view kCutMarker = "\n[... cut: over 4096 characters]";
/// Seconds per blocking wait of a sendMessage request (the documented delivery's), and for the
/// whole exchange.
inline constexpr double kTelegramTimeout = reports::kTelegramTimeoutSeconds;
inline constexpr double kTelegramDeadline = 2 * kTelegramTimeout;
/// Largest Telegram answer read.
inline constexpr std::size_t kTelegramMaxBody = reports::kTelegramBodyLimit;
/// Shortest gap between two messages to one chat, in seconds.
inline constexpr double kChatGap = 1.0;
/// Attempts of one message against failures that may pass (5xx, transport, unusable answers),
/// and the waits between them.
inline constexpr int kTransientAttempts = 3;
inline constexpr double kTransientWaits[kTransientAttempts - 1] = {2.0, 5.0};
/// Flood-control answers honoured for one message within a cycle, and the wait when an answer
/// names none.
inline constexpr int kMaxFloodWaits = 5;
inline constexpr double kDefaultFloodWait = 5.0;

/// What begins the text of every Telegram failure.
inline constexpr std::string_view kTelegramService = "telegram: ";

/// How one answer of the Bot API ends, whatever the method (sendMessage, getUpdates, ...): the
/// shared verdict (reports/telegram_verdict.hpp) under kSendUntilDelivered, in the engine's words.
struct Verdict {
    /// delivered ("ok" set), flood (429: repeat after `retry_after` seconds), migrated (the chat
    /// lives on as `new_chat_id`), transient (5xx, transport failure, deadline, an answer that
    /// cannot be read), refused (any other status: not repeated within the cycle).
    using Kind = reports::TelegramVerdict::Kind;
    Kind kind = Kind::refused;
    std::string error;       ///< "telegram: " and the cause, one line, secrets masked
    double retry_after = 0;
    std::string new_chat_id;
    /// Delivered: the answer's "result" as JSON text (the host's json.dumps of it); nullopt when
    /// the answer has none.
    std::optional<std::string> result;
};

/// "delivered", "flood", "migrated", "transient" or "refused".
std::string_view kind_name(Verdict::Kind kind);

/// What the words of a verdict need besides the answer.
struct AnswerContext {
    std::span<const secrets::Secret> secrets;  ///< masked before any text is cut
    std::string endpoint;                      ///< where the exchange went (engine/failures.hpp)
    double deadline_seconds = kTelegramDeadline;
    double now = 0;                            ///< epoch seconds, for a Retry-After date
    std::size_t max_body = kTelegramMaxBody;   ///< the limit the answer was read under
};

/// The verdict on `answer`, its body read by the engine's JSON reader (never raises).
Verdict judge_answer(const HttpAnswer& answer, const AnswerContext& context = {});

/// "telegram: rate limited (HTTP 429, retry after 41 s)".
std::string telegram_rate_limited_text(double retry_after);

/// The form body of a sendMessage request: chat_id, text, disable_web_page_preview=true, then
/// disable_notification=true when `silent` and message_thread_id when `thread_id` is set, encoded
/// as the host's urlencode does (space as '+', other bytes outside A-Za-z0-9_.-~ as %XX).
std::string send_message_body(std::string_view chat_id, std::string_view text, bool silent = false,
                              std::optional<std::int64_t> thread_id = std::nullopt);

/// `text` when it fits Telegram's limit, else its first code points followed by kCutMarker,
/// kTelegramMaxMessage code points in all.
std::string fit_message(std::string_view text);

}  // namespace emberscope::engine
