// Delivery of the outbox to one route's destination: its messages in order, each until it is taken,
// paced, flood control honoured, passing failures repeated, the chat followed when it migrates,
// all waits within the cycle's budget. Each route has a Delivery of its own, so that one chat
// that refuses or is held does not hold back another.
#pragma once

#include <memory>
#include <optional>
#include <utility>
#include <string>

#include "common/services.hpp"
#include "engine/chat_holds.hpp"
#include "engine/console_out.hpp"
#include "engine/destination.hpp"
#include "engine/outbox.hpp"
#include "engine/waits.hpp"
#include "routes/route.hpp"

namespace emberscope::engine {

class Delivery {
public:
    /// Delivers the messages of `route` (those whose chat_id and thread_id are the route's);
    /// `route.chat_id` is the configured chat, recorded migrations in `outbox` are followed.
    /// `failed_prefix` begins the line written when delivery stops on a failure.
    /// `shared`: the holds of every sender of the process (the bot's answers too), or null.
    /// `address` is what was read for a route of another kind than Telegram; `gone`, when given,
    /// keeps the destinations found gone across cycles.
    Delivery(Services& services, Waits& waits, Console& console, Outbox& outbox,
             std::string token, routes::Route route, std::string failed_prefix,
             std::optional<double> deadline_seconds = std::nullopt, ChatHolds* shared = nullptr,
             Address address = {}, GoneDestinations* gone = nullptr);

    /// Sends the route's messages from the first on. A message leaves the outbox only when
    /// Telegram accepted it; the last part of a text writes its "sent" line. Stops at the first
    /// message that cannot be delivered within the cycle (writing the failure line) or at a pause.
    /// Unless `wait_for_holds`, a chat that Telegram holds (a pause asked for now or earlier)
    /// is not waited for: delivery steps aside (deferred()) for a later call to wait.
    /// Returns true when the route has no message left.
    bool run(bool wait_for_holds = true);

    /// True when the route has a message in the outbox.
    bool has_messages() const;
    /// True when the last run stepped aside for a chat held by Telegram.
    bool deferred() const { return deferred_; }
    const routes::Route& route() const { return route_; }
    bool stopped() const { return stopped_; }
    bool paused() const { return paused_; }
    /// The last failure's text ("" when none).
    const std::string& error() const { return error_; }
    /// True when delivery stopped because Telegram declined a message (an error answer that is
    /// neither flood control nor a server error), not for want of an answer in time.
    bool refused() const { return refused_; }
    /// True when the destination is gone (a deleted webhook, a wrong address): nothing is sent
    /// to it until its address changes or the configuration is read again.
    bool gone() const { return gone_; }
    const std::string& chat() const { return chat_; }
    std::size_t delivered() const { return delivered_; }
    /// True when the outbox (its messages or migrations) changed since the last call.
    bool take_changed() { return std::exchange(changed_, false); }

private:
    enum class Step { delivered, failed, paused, deferred, gone };
    Step send(const std::string& text, bool wait_for_holds);
    Step waited(Waits::Result result);
    Step wait_for_shared_hold(bool wait_for_holds);

    Services& services_;
    Waits& waits_;
    Console& console_;
    Outbox& outbox_;
    routes::Route route_;
    Address address_;
    std::unique_ptr<Sender> sender_;
    GoneDestinations* gone_list_;
    std::string chat_;
    std::string failed_prefix_;
    double deadline_seconds_;
    ChatHolds* shared_;
    std::optional<double> last_send_;
    std::size_t delivered_ = 0;
    bool stopped_ = false;
    bool paused_ = false;
    bool changed_ = false;
    bool refused_ = false;
    bool deferred_ = false;
    bool gone_ = false;
    bool configured_ = false;
    std::string error_;
};

}  // namespace emberscope::engine
