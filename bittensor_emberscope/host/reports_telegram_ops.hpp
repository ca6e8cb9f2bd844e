// Host-facing Telegram delivery: the operations, and Telegram's answers read by the host's
// JSON codec.
#pragma once

#include "host/calls.hpp"
#include "reports/delivery.hpp"

namespace emberscope::reports {

/// Answers decoded by the host's `json` (strict UTF-8 first), as the delivery has always read them.
class HostTelegramAnswers : public TelegramAnswers {
public:
    std::optional<std::string> not_ok(std::string_view body) override;
    RefusalBody refusal(std::string_view body) override;
};

/// The answers of the running module.
TelegramAnswers& host_telegram_answers();

// Operations, (text, token, chat_id) -> (ok, error), and their parameters.
inline constexpr host::Param kSendParams[] = {host::required("text", host::ParamType::text), host::required("token", host::ParamType::text), host::required("chat_id", host::ParamType::text)};

host::Object send_burn_telegram_messages(const host::Args& args);
host::Object send_burn_telegram(const host::Args& args);

}  // namespace emberscope::reports
