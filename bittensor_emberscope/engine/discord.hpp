// Discord webhooks as a destination: what is posted, and how Discord's answers are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/destination.hpp"

namespace emberscope::engine {

/// Discord's limit on a message's content, in code points.
inline constexpr std::int64_t kDiscordMaxContent = 2000;
/// Room kept in each part for its number ("(12/34)\n").
inline constexpr std::int64_t kDiscordPartNumberRoom = 16;
/// Discord's flag that posts without a notification (SUPPRESS_NOTIFICATIONS).
inline constexpr int kSuppressNotifications = 4096;
/// Longest pause a 429 is believed to ask for, in seconds: a larger one (some answers give
/// milliseconds) is cut to this.
inline constexpr double kDiscordMaxWait = 300;

/// The URL posted to: the webhook's address with wait=true (the answer is the created message,
/// so a failed save is seen) and thread_id when the route names a thread.
std::string discord_url(std::string_view address, std::optional<std::int64_t> thread_id);

/// The JSON body: {"content": text, "allowed_mentions": {"parse": []}} (no text pings anyone),
/// with "flags": 4096 when `silent`.
std::string discord_body(std::string_view content, bool silent);

/// The parts of a text: split on line boundaries to fit kDiscordMaxContent with their numbers,
/// numbered as Telegram's parts are.
std::vector<std::string> discord_texts(std::string_view text);

/// How Discord's answer ends: 2xx delivered; 429 held for `retry_after` (body, a float), else
/// Retry-After, else X-RateLimit-Reset-After, clamped to kDiscordMaxWait, shared when
/// X-RateLimit-Scope is "shared"; 404 and 401 gone (deleted hook, wrong token); 5xx and transport
/// failures transient; other statuses refused.
Outcome judge_discord_answer(const HttpAnswer& answer, const AnswerContext& context);

class DiscordSender : public Sender {
public:
    DiscordSender(std::string address, bool silent, std::optional<std::int64_t> thread_id)
        : address_(std::move(address)), silent_(silent), thread_id_(thread_id) {}
    std::string_view service() const override { return "discord"; }
    HttpRequest request(std::string_view queued, const std::string& chat) const override;
    Outcome judge(const HttpAnswer& answer, const AnswerContext& context) const override {
        return judge_discord_answer(answer, context);
    }

private:
    std::string address_;
    bool silent_;
    std::optional<std::int64_t> thread_id_;
};

}  // namespace emberscope::engine
