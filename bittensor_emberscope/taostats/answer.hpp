// What an answer of the Taostats API comes to, judged once for both of its readers: the
// documented client, which asks every record it decodes whether it says "rate limited", and the
// command's listing, which takes a 429 for one by its status and reads its Retry-After.
//
// Each reader decodes bodies its own way (an AnswerReader); which answer means what is decided
// here only.
#pragma once

#include <string_view>

#include "common/services.hpp"

namespace emberscope::taostats {

/// How an answer ends, before its body is used.
enum class AnswerKind {
    transport,     ///< no answer: the exchange failed
    rate_limited,  ///< the service asks to be asked again later
    refused,       ///< an error status that is not a rate limit
    body,          ///< a success status: what was read is the caller's to use
};

/// A reader's view of an answer's body.
class AnswerReader {
public:
    virtual ~AnswerReader() = default;
    /// Reads the body of a success or of an error status (answer.ok() tells them apart); may
    /// raise what its reader raises.
    virtual void read(const HttpAnswer& answer) = 0;
    /// True when what was read is a record whose own words say rate limited: "status_code"
    /// equal to 429 (the integer 429 or the real 429.0, never a text or a boolean), or
    /// message_says_rate_limited of the text of its "message". May raise for what is not a
    /// record.
    virtual bool says_rate_limited() = 0;
};

/// Which answers are rate limits.
struct AnswerPolicy {
    /// A 429 status is one whatever its body, which is then not read.
    bool limited_by_status;
    /// A success answer is asked whether its record says so.
    bool ask_success;
    /// An error status's record is asked whether it says so.
    bool ask_refusal;
};
/// One GET of the documented client: its answer as it is, nothing asked.
inline constexpr AnswerPolicy kSingleRequest{false, false, false};
/// The documented retry loop: every answer's record is asked, whatever its status; a 429 whose
/// record says nothing of a rate limit is not one.
inline constexpr AnswerPolicy kRetriedRequest{false, true, true};
/// The command's listing pages: a 429 by its status, an error record by its words.
inline constexpr AnswerPolicy kListingPage{true, false, true};

/// The verdict on `answer`: a failed exchange, and a 429 under `limited_by_status`, are judged
/// without reading; any other body is read once by `reader` and asked as `policy` says.
AnswerKind judge_taostats_answer(const HttpAnswer& answer, AnswerReader& reader,
                                 const AnswerPolicy& policy);

/// True when the text of a record's "message" says rate limited: "Rate Limited", exact case,
/// anywhere in it.
bool message_says_rate_limited(std::string_view message);

}  // namespace emberscope::taostats
