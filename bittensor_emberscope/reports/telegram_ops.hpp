// Host-facing Telegram delivery: one sendMessage request per message, a text split into
// numbered parts, expected failures returned as a SendResult.
//
// The bot token never appears in an error text: wherever it occurs in a returned error text
// or in the message of a raised error it is replaced by "<token>".
#pragma once

#include <string>

#include "host/calls.hpp"

namespace emberscope::reports {

/// The outcome of a delivery: ok with an empty error, or not ok with a one-line reason.
struct SendResult {
    bool ok;
    std::string error;
};

/// Posts `text` as one message to the chat, whatever its length. Not configured (empty token
/// or chat id), error statuses and transport failures come back not ok; an undecodable or
/// non-object answer and failures of any other kind are raised.
SendResult send_burn_telegram(const std::string& text, const std::string& token,
                              const std::string& chat_id);

/// Posts `text` in chunks of at most 3900 code points, numbered "(i/n)" when there are
/// several, 0.4 s apart; stops at the first part that fails and returns its result.
SendResult send_burn_telegram_messages(const std::string& text, const std::string& token,
                                       const std::string& chat_id);

// Operation bodies: (text, token, chat_id) -> (ok, error).
host::Object send_burn_telegram_messages(const host::Args& args);
host::Object send_burn_telegram(const host::Args& args);

}  // namespace emberscope::reports
