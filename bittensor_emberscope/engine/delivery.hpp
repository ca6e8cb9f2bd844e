// Delivery of the outbox to Telegram: in order, each message until Telegram says ok, paced,
// flood control honoured, passing failures repeated, the chat followed when it migrates, all
// waits within the cycle's budget.
#pragma once

#include <optional>
#include <utility>
#include <string>

#include "common/services.hpp"
#include "engine/console_out.hpp"
#include "engine/outbox.hpp"
#include "engine/waits.hpp"

namespace emberscope::engine {

class Delivery {
public:
    /// `chat_id` is the configured chat; recorded migrations in `outbox` are followed.
    /// `failed_prefix` begins the line written when delivery stops on a failure.
    Delivery(Services& services, Waits& waits, Console& console, Outbox& outbox,
             std::string token, const std::string& chat_id, std::string failed_prefix,
             std::optional<double> deadline_seconds = std::nullopt);

    /// Sends the outbox's messages from the first on. A message leaves the outbox only when
    /// Telegram accepted it; the last part of a text writes its "sent" line. Stops at the first
    /// message that cannot be delivered within the cycle (writing the failure line) or at a pause.
    /// Returns true when the outbox was emptied.
    bool run();

    bool stopped() const { return stopped_; }
    bool paused() const { return paused_; }
    /// The last failure's text ("" when none).
    const std::string& error() const { return error_; }
    /// True when delivery stopped because Telegram declined a message (an error answer that is
    /// neither flood control nor a server error), not for want of an answer in time.
    bool refused() const { return refused_; }
    const std::string& chat() const { return chat_; }
    std::size_t delivered() const { return delivered_; }
    /// True when the outbox (its messages or migrations) changed since the last call.
    bool take_changed() { return std::exchange(changed_, false); }

private:
    enum class Step { delivered, failed, paused };
    Step send(const std::string& text);
    Step waited(Waits::Result result);

    Services& services_;
    Waits& waits_;
    Console& console_;
    Outbox& outbox_;
    std::string token_;
    std::string chat_;
    std::string failed_prefix_;
    double deadline_seconds_;
    std::optional<double> last_send_;
    std::size_t delivered_ = 0;
    bool stopped_ = false;
    bool paused_ = false;
    bool changed_ = false;
    bool refused_ = false;
    std::string error_;
};

}  // namespace emberscope::engine
