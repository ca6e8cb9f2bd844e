// The engine's console lines.
#include "engine/console_out.hpp"

#include <cmath>
#include <cstdio>

#include "driver/console.hpp"

namespace emberscope::engine {
namespace {

std::string age_text(double seconds) {
    if (seconds >= 3600 && std::fmod(seconds, 3600) == 0)
        return std::to_string(static_cast<long long>(seconds / 3600)) + " h";
    if (seconds >= 60 && std::fmod(seconds, 60) == 0)
        return std::to_string(static_cast<long long>(seconds / 60)) + " min";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g s", seconds);
    return buffer;
}

}  // namespace

void Console::write(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    services_.console(driver::escape_line_breaks(masked(line)) + "\n");
}

std::string Console::masked(std::string_view text) const { return secrets::mask(text, secrets_); }

std::string outbox_dropped_line(std::size_t count, double max_age_seconds, std::string_view since) {
    return "[burn] outbox: dropped " + std::to_string(count) +
           " undelivered message(s) older than " + age_text(max_age_seconds) + ", queued since " +
           std::string(since) + "\n";
}

std::string baseline_recorded_line(std::size_t subnets) {
    return "[burn] baseline recorded (" + std::to_string(subnets) + " subnets)\n";
}

std::string outbox_unrouted_line(std::size_t count, std::string_view chat) {
    return "[burn] outbox: dropped " + std::to_string(count) + " message(s) queued for chat " +
           std::string(chat) + ", which no route sends to any more\n";
}

std::string held_unrouted_line(std::size_t count, std::string_view chat) {
    return "[burn] quiet hours: dropped " + std::to_string(count) + " held change(s) for chat " +
           std::string(chat) + ", which no route sends to any more\n";
}

std::string notice_sent_line(std::string_view text) {
    return "[burn] notice sent: " + std::string(text) + "\n";
}

std::string outbox_waiting_line(std::size_t count, std::string_view oldest) {
    return "[burn] outbox: " + std::to_string(count) +
           " message(s) waiting for delivery, oldest queued " + std::string(oldest) + "\n";
}

std::string chat_migrated_line(std::string_view from, std::string_view to) {
    return "[burn] telegram chat " + std::string(from) + " was upgraded to a supergroup, now " +
           std::string(to) + ": sending there; update TELEGRAM_CHAT_ID to " + std::string(to) +
           "\n";
}

std::string unreadable_file_line(std::string_view what, std::string_view path,
                                 std::string_view reason, std::string_view moved,
                                 std::string_view consequence) {
    return "[burn] " + std::string(what) + " " + std::string(path) + " unreadable (" +
           std::string(reason) + "): moved to " + std::string(moved) + ", " +
           std::string(consequence) + "\n";
}

}  // namespace emberscope::engine
