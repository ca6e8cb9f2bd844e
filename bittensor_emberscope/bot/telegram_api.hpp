// The bot's calls of the Bot API, each through Services::http and judged as every Telegram
// answer is (engine::judge_answer): the same words, the token never in them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/services.hpp"
#include "engine/telegram.hpp"

namespace emberscope::bot {

using Fields = std::vector<std::pair<std::string, std::string>>;

/// Seconds an answer's exchange may take, and the most bytes of an answer read.
inline constexpr double kSendTimeout = 30.0;
inline constexpr std::size_t kAnswerLimit = 8u << 20;

/// A multipart/form-data body: `fields`, then one file part; `boundary` must occur in none of
/// them (multipart_boundary picks one).
std::string multipart_body(const Fields& fields, std::string_view file_field,
                           std::string_view filename, std::string_view content_type,
                           std::string_view data, std::string_view boundary);

/// "emberscope-" and 32 hexadecimal digits from `seed`, changed until it occurs nowhere in `data`.
std::string multipart_boundary(std::string_view data, std::uint64_t seed);

class TelegramApi {
public:
    /// `base`: the Bot API origin ("https://api.telegram.org", or TELEGRAM_API_BASE).
    TelegramApi(Services& services, std::string token, std::string base);

    /// One call of `method` with form `fields`: every wait and the whole exchange bounded by
    /// `timeout`. An exchange the services end by throwing an ordinary error (a cancelled long
    /// poll) is a transient verdict with its text; other errors pass through.
    engine::Verdict call(std::string_view method, const Fields& fields = {},
                         double timeout = kSendTimeout);

    /// sendPhoto of a PNG named `filename`, with `fields` (chat_id, caption, ...).
    engine::Verdict send_photo(const Fields& fields, std::string_view filename, std::string_view png,
                               double timeout = kSendTimeout);

    /// The HTTP status of the last call's answer; 0 when it had none.
    int last_status() const { return last_status_; }

private:
    engine::Verdict exchange(HttpRequest request, double timeout);

    Services& services_;
    secrets::Secret token_;
    std::string token_text_;
    std::string base_;
    std::uint64_t parts_ = 0;
    int last_status_ = 0;
};

}  // namespace emberscope::bot
