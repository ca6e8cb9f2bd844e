// The engine's console: every line masked (common/secrets.hpp) and kept to one line, and the lines it adds to the
// documented ones.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/secrets.hpp"
#include "common/services.hpp"

namespace emberscope::engine {

class Console {
public:
    Console(Services& services, std::vector<secrets::Secret> secrets)
        : services_(services), secrets_(std::move(secrets)) {}

    /// Writes `line` (with or without its final "\n") as one console line, secrets masked and
    /// inner line breaks escaped.
    void write(std::string_view line);
    /// `text` with the secrets masked (for report details).
    std::string masked(std::string_view text) const;
    const std::vector<secrets::Secret>& secrets() const { return secrets_; }

private:
    Services& services_;
    std::vector<secrets::Secret> secrets_;
};

/// "[burn] outbox: dropped N undelivered message(s) older than <age>, queued since <utc>".
std::string outbox_dropped_line(std::size_t count, double max_age_seconds, std::string_view since);
/// "[burn] baseline recorded (N subnets)": a first run's values, with nothing to compare them to.
std::string baseline_recorded_line(std::size_t subnets);
/// "[burn] outbox: dropped N message(s) queued for chat C, which no route sends to any more".
std::string outbox_unrouted_line(std::size_t count, std::string_view chat);
/// Follows the line above when a start-up list was among the messages dropped.
inline constexpr std::string_view kStartUpListDroppedLine =
    "[burn] outbox: the start-up list among them never went out; `emberscope snapshot` sends "
    "one to every route\n";
/// "[burn] quiet hours: dropped N held change(s) for chat C, which no route sends to any more".
std::string held_unrouted_line(std::size_t count, std::string_view chat);
/// "[burn] notice sent: <text>" (a message about the monitor itself, such as the stale-data alert).
std::string notice_sent_line(std::string_view text);
/// "[burn] outbox: N message(s) waiting for delivery, oldest queued <utc>".
std::string outbox_waiting_line(std::size_t count, std::string_view oldest);
/// "[burn] telegram chat OLD was upgraded to a supergroup, now NEW: sending there; update
/// TELEGRAM_CHAT_ID to NEW".
std::string chat_migrated_line(std::string_view from, std::string_view to);
/// "[burn] <what> <path> unreadable (<reason>): moved to <moved>, <consequence>".
std::string unreadable_file_line(std::string_view what, std::string_view path,
                                 std::string_view reason, std::string_view moved,
                                 std::string_view consequence);

}  // namespace emberscope::engine
