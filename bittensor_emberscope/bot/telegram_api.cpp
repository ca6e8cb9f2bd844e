// The bot's calls of the Bot API.
#include "bot/telegram_api.hpp"

#include "common/text.hpp"
#include "engine/failures.hpp"

namespace emberscope::bot {

std::string multipart_body(const Fields& fields, std::string_view file_field,
                           std::string_view filename, std::string_view content_type,
                           std::string_view data, std::string_view boundary) {
    std::string out;
    out.reserve(data.size() + 256 * (fields.size() + 1));
    const std::string dashes = "--" + std::string(boundary);
    for (const auto& [name, value] : fields)
        out += dashes + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    out += dashes + "\r\nContent-Disposition: form-data; name=\"" + std::string(file_field) +
           "\"; filename=\"" + std::string(filename) + "\"\r\nContent-Type: " +
           std::string(content_type) + "\r\n\r\n";
    out += data;
    out += "\r\n" + dashes + "--\r\n";
    return out;
}

std::string multipart_boundary(std::string_view data, std::uint64_t seed) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::uint64_t state = seed;; ) {
        std::string boundary = "emberscope-";
        for (int i = 0; i < 32; ++i) {
            // splitmix64: a different digit run for each seed and step.
            state += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = state;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            boundary += kHex[(z ^ (z >> 31)) & 0xF];
        }
        if (data.find(boundary) == std::string_view::npos) return boundary;
    }
}

TelegramApi::TelegramApi(Services& services, std::string token, std::string base)
    : services_(services), token_text_(std::move(token)), base_(text::without_trailing_slashes(base)) {
    token_ = secrets::Secret{token_text_, secrets::kTokenMask};
}

engine::Verdict TelegramApi::call(std::string_view method, const Fields& fields, double timeout) {
    HttpRequest request;
    request.method = "POST";
    request.url = base_ + "/bot" + token_text_ + "/" + std::string(method);
    request.form = fields;
    request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    return exchange(std::move(request), timeout);
}

engine::Verdict TelegramApi::send_photo(const Fields& fields, std::string_view filename,
                                        std::string_view png, double timeout) {
    HttpRequest request;
    request.method = "POST";
    request.url = base_ + "/bot" + token_text_ + "/sendPhoto";
    const std::string boundary =
        multipart_boundary(png, (++parts_ << 32) ^ static_cast<std::uint64_t>(services_.monotonic_seconds() * 1e6));
    request.body = multipart_body(fields, "photo", filename, "image/png", png, boundary);
    request.headers.emplace_back("Content-Type", "multipart/form-data; boundary=" + boundary);
    return exchange(std::move(request), timeout);
}

engine::Verdict TelegramApi::exchange(HttpRequest request, double timeout) {
    request.timeout_seconds = timeout;
    request.deadline_seconds = timeout;
    request.max_body_bytes = kAnswerLimit;
    request.max_error_body_bytes = kAnswerLimit;
    request.redirects = Redirects::none;
    request.protocol_errors_fail = true;
    engine::AnswerContext context{{&token_, 1}, engine::endpoint_of(services_, request.url), timeout, 0,
                                  kAnswerLimit};
    HttpAnswer answer;
    try {
        answer = services_.http(request);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (!services_.is_ordinary_error(error)) throw;
        answer = HttpAnswer{};
        answer.failure = TransportFailure{TransportFailure::Kind::os_error,
                                          services_.error_message(error), nullptr};
    }
    last_status_ = answer.failure ? 0 : answer.status;
    context.now = services_.epoch_seconds();
    return engine::judge_answer(answer, context);
}

}  // namespace emberscope::bot
