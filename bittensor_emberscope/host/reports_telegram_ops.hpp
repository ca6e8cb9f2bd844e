// Host-facing Telegram delivery: the operations, and Telegram's answers read by the host's
// JSON codec.
#pragma once

#include "host/calls.hpp"
#include "reports/delivery.hpp"

namespace emberscope::reports {

/// Answers decoded by the host's `json` (strict UTF-8 first), as the delivery has always read them.
class HostTelegramReader : public TelegramReader {
public:
    TelegramBody read(std::string_view body, bool success) override;
};

/// The reader of the running module.
TelegramReader& host_telegram_reader();

// Operations, (text, token, chat_id) -> (ok, error), and their parameters.
inline constexpr host::Param kSendParams[] = {host::required("text", host::ParamType::text), host::required("token", host::ParamType::text), host::required("chat_id", host::ParamType::text)};

host::Object send_burn_telegram_messages(const host::Args& args);
host::Object send_burn_telegram(const host::Args& args);

}  // namespace emberscope::reports
