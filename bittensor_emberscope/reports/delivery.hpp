// Telegram delivery over the services: one sendMessage request per message, a text split into
// numbered parts, expected failures returned as a SendResult.
//
// Secrets never appear in an error text: the bot token and the Taostats key, in any spelling,
// are masked in a returned error text and in a raised error (common/secrets.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/services.hpp"
#include "reports/telegram_verdict.hpp"

namespace emberscope::reports {

/// The outcome of a delivery: ok with an empty error, or not ok with a one-line reason.
struct SendResult {
    bool ok;
    std::string error;
};

/// The sendMessage POST to the bot `token` at TELEGRAM_API_BASE (Telegram's own origin when
/// unset): its address, content type, time-out, body limits, and no redirect followed (a
/// redirected POST would arrive as a GET, without its text). The caller puts the message in
/// (`form` or `body`); the command adds its deadline and its judgement of broken answers.
HttpRequest send_message_request(Services& services, std::string_view token);

/// Posts `text` as one message to the chat, whatever its length, judged under kSendOnce with
/// `reader` (the host's JSON codec). Not configured (empty token or chat id), error statuses
/// and transport failures come back not ok; what the reader raises (an undecodable or
/// non-object answer) and failures of any other kind are raised.
SendResult send_burn_telegram(Services& services, TelegramReader& reader, std::string_view text,
                              std::string_view token, std::string_view chat_id);

/// Posts `text` in chunks of at most 3900 code points, numbered "(i/n)" when there are
/// several, 0.4 s apart; stops at the first part that fails and returns its result.
SendResult send_burn_telegram_messages(Services& services, TelegramReader& reader,
                                       std::string_view text, std::string_view token,
                                       std::string_view chat_id);

}  // namespace emberscope::reports
