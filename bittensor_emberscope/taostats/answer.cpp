// The verdict on a Taostats answer.
#include "taostats/answer.hpp"

#include "taostats/settings.hpp"

namespace emberscope::taostats {

AnswerKind judge_taostats_answer(const HttpAnswer& answer, AnswerReader& reader,
                                 const AnswerPolicy& policy) {
    if (answer.failure) return AnswerKind::transport;
    if (policy.limited_by_status && answer.status == 429) return AnswerKind::rate_limited;
    reader.read(answer);
    const bool success = answer.ok();
    if ((success ? policy.ask_success : policy.ask_refusal) && reader.says_rate_limited())
        return AnswerKind::rate_limited;
    return success ? AnswerKind::body : AnswerKind::refused;
}

bool message_says_rate_limited(std::string_view message) {
    return message.find(kRateLimitedWords) != std::string_view::npos;
}

}  // namespace emberscope::taostats
