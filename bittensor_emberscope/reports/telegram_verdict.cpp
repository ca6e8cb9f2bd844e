// The verdict on a Telegram answer.
#include "reports/telegram_verdict.hpp"

namespace emberscope::reports {
namespace {

using Kind = TelegramVerdict::Kind;

Kind kind_of(const HttpAnswer& answer, const TelegramBody& body) {
    if (answer.failure) return Kind::transient;
    if (answer.ok()) {
        if (body.form != TelegramBody::Form::object) return Kind::transient;
        return body.ok ? Kind::delivered : Kind::refused;
    }
    if (answer.status == 429) return Kind::flood;
    if (answer.status >= 500) return Kind::transient;
    if (answer.status == 400 && body.migrate_to_chat_id) return Kind::migrated;
    return Kind::refused;
}

}  // namespace

TelegramVerdict judge_telegram_answer(const HttpAnswer& answer, TelegramReader& reader,
                                      const TelegramPolicy& policy) {
    TelegramVerdict verdict;
    if (!answer.failure && !answer.body_over_limit)
        verdict.body = reader.read(answer.body, answer.ok());
    verdict.kind = kind_of(answer, verdict.body);
    if (!policy.repeats && verdict.kind != Kind::delivered) verdict.kind = Kind::refused;
    return verdict;
}

}  // namespace emberscope::reports
