// How an answer of the Telegram Bot API ends, judged once for every sender: the documented
// delivery, which posts each message once, and the command's delivery and bot, which wait out
// flood control, follow a migrated chat and repeat a failure that may pass.
//
// Each sender reads bodies with its own JSON codec (a TelegramReader) and words the verdict in
// its own texts; which answer means what is decided here only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/services.hpp"

namespace emberscope::reports {

/// What a reader found in an answer's body.
struct TelegramBody {
    enum class Form {
        unread,      ///< the body was over its limit and not looked at
        object,      ///< a JSON object
        not_object,  ///< JSON of another kind
        not_json,    ///< not JSON (or not UTF-8); `decode_error` says why
    };
    Form form = Form::unread;
    std::string decode_error;
    bool ok = false;                          ///< "ok" is set
    std::optional<std::string> description;   ///< "description" as text, when it is set
    /// A success answer whose "ok" is not set: the object in the host's display notation.
    std::optional<std::string> printed;
    std::optional<double> retry_after;        ///< parameters.retry_after, a finite number
    /// parameters.migrate_to_chat_id, when it is an integer or a non-empty text.
    std::optional<std::string> migrate_to_chat_id;
    std::optional<std::string> result;        ///< ok: "result" as JSON text, when present
};

/// Reads an answer's body with a sender's codec. `success` tells a 2xx answer from an error
/// status: a codec may raise where its sender must (the documented delivery raises the host's
/// errors for a success body that is not a JSON object, for any body that is not UTF-8, and
/// for an error body that is JSON but not an object).
class TelegramReader {
public:
    virtual ~TelegramReader() = default;
    virtual TelegramBody read(std::string_view body, bool success) = 0;
};

/// How a sender treats an answer that did not deliver.
struct TelegramPolicy {
    /// Flood control, a migrated chat and a failure that may pass (5xx, transport, an answer
    /// that cannot be read) are told apart for a sender that waits, follows or repeats;
    /// otherwise every failure is final (refused).
    bool repeats;
};
/// The documented delivery: one request per message, none repeated.
inline constexpr TelegramPolicy kSendOnce{false};
/// The command's delivery and bot: every kind of verdict acted on.
inline constexpr TelegramPolicy kSendUntilDelivered{true};

struct TelegramVerdict {
    enum class Kind {
        delivered,  ///< a success status and "ok" set
        flood,      ///< 429: repeat after `body.retry_after` (or a Retry-After header)
        migrated,   ///< 400 naming the chat's new id in `body.migrate_to_chat_id`
        transient,  ///< 5xx, transport failure, a success answer that cannot be read
        refused,    ///< anything else: not repeated
    };
    Kind kind = Kind::refused;
    TelegramBody body;  ///< unread when the exchange failed or the body was over its limit
};

/// The verdict on `answer`: a transport failure or an over-limit body is judged without reading;
/// any other body is read once by `reader` (which may raise).
TelegramVerdict judge_telegram_answer(const HttpAnswer& answer, TelegramReader& reader,
                                      const TelegramPolicy& policy);

}  // namespace emberscope::reports
