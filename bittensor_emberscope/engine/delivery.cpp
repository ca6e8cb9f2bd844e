// Delivery of the outbox to Telegram.
#include "engine/delivery.hpp"

#include <algorithm>
#include <cmath>

#include "driver/console.hpp"
#include "engine/failures.hpp"
#include "engine/telegram.hpp"
#include "reports/delivery.hpp"
#include "reports/telegram_text.hpp"

namespace emberscope::engine {
namespace {

// Migrations followed for one message within a cycle; more means the answers loop.
constexpr int kMaxMigrations = 3;

}  // namespace

Delivery::Delivery(Services& services, Waits& waits, Console& console, Outbox& outbox,
                   std::string token, routes::Route route, std::string failed_prefix,
                   std::optional<double> deadline_seconds, ChatHolds* shared, Address address,
                   GoneDestinations* gone)
    : services_(services), waits_(waits), console_(console), outbox_(outbox),
      route_(std::move(route)), address_(std::move(address)),
      sender_(make_sender(services, route_, token, address_)), gone_list_(gone),
      chat_(outbox.chat_for(route_.chat_id)), failed_prefix_(std::move(failed_prefix)),
      deadline_seconds_(deadline_seconds.value_or(kTelegramDeadline)), shared_(shared) {
    configured_ = route_.kind == routes::DestinationKind::telegram ? !token.empty() && !chat_.empty()
                                                                   : address_.problem.empty();
    // The failure line names the service: "[burn] discord failed: ...".
    if (const std::string_view service = sender_->service(); service != "telegram") {
        if (const std::size_t at = failed_prefix_.find("telegram"); at != std::string::npos)
            failed_prefix_.replace(at, 8, service);
    }
}

bool Delivery::has_messages() const {
    for (const OutboxEntry& m : outbox_.messages)
        if (m.is_for(route_.chat_id, route_.thread_id)) return true;
    return false;
}

bool Delivery::run(bool wait_for_holds) {
    deferred_ = false;
    if (stopped_) return !has_messages();
    while (true) {
        auto it = std::find_if(outbox_.messages.begin(), outbox_.messages.end(),
                               [this](const OutboxEntry& m) { return m.is_for(route_.chat_id, route_.thread_id); });
        if (it == outbox_.messages.end()) break;
        const OutboxEntry& m = *it;
        const Step step = send(m.text, wait_for_holds);
        if (step == Step::deferred) {
            deferred_ = true;
            return false;
        }
        if (step == Step::paused) {
            stopped_ = paused_ = true;
            return false;
        }
        if (step == Step::gone && !gone_) {
            // Known gone from an earlier cycle: no request was made and nothing more is said.
            stopped_ = refused_ = gone_ = true;
            return false;
        }
        if (step == Step::failed || step == Step::gone) {
            stopped_ = true;
            // The line's prefix names the service already.
            std::string_view cause = error_;
            const std::string service = std::string(sender_->service()) + ": ";
            if (cause.starts_with(service)) cause.remove_prefix(service.size());
            console_.write(driver::detail_line(failed_prefix_, cause));
            return false;
        }
        ++delivered_;
        if (m.part >= m.total) {
            console_.write(m.kind == kSnapshotKind ? driver::snapshot_sent_line(m.count)
                           : m.kind == kNoticeKind ? notice_sent_line(m.text)
                                                   : driver::alert_sent_line(m.count));
        }
        outbox_.messages.erase(it);
        changed_ = true;
    }
    return true;
}

Delivery::Step Delivery::waited(Waits::Result result) {
    if (result == Waits::Result::paused) return Step::paused;
    if (result == Waits::Result::over_budget) {
        if (error_.empty()) error_ = "the cycle's wait budget is used up";
        return Step::failed;
    }
    return Step::delivered;  // the wait is over: go on
}

// The bot's answers share the chat with the alerts: a pause Telegram asked of an answer holds the
// alerts too, and an answer just sent counts for the one-message-a-second gap.
Delivery::Step Delivery::wait_for_shared_hold(bool wait_for_holds) {
    if (!shared_) return Step::delivered;
    const double now = services_.monotonic_seconds();
    if (const std::optional<double> until = shared_->held_until(chat_, now)) {
        const double left = *until - now;
        if (!wait_for_holds) return Step::deferred;
        if (!(left <= waits_.left())) {
            error_ = "telegram: rate limited (HTTP 429), no message to this chat before " +
                     utc_text(std::ceil(services_.epoch_seconds() + left));
            return Step::failed;
        }
        if (Step s = waited(waits_.wait(left)); s != Step::delivered) return s;
    }
    const double at = services_.monotonic_seconds();
    const double gap = shared_->ready_at(chat_, at) - at;
    if (gap > 0) return waited(waits_.wait(gap));
    return Step::delivered;
}

Delivery::Step Delivery::send(const std::string& text, bool wait_for_holds) {
    error_.clear();
    refused_ = false;
    if (!configured_) {
        error_ = route_.kind == routes::DestinationKind::telegram
                     ? std::string(reports::kNotConfigured)
                     : std::string(sender_->service()) + ": " + console_.masked(address_.problem);
        return Step::failed;
    }
    if (gone_list_ && gone_list_->is_gone(route_.chat_id, address_.url)) {
        error_ = std::string(sender_->service()) + ": gone (the webhook was deleted or its address "
                 "is wrong); nothing is sent until its address changes or the configuration is "
                 "read again";
        return Step::gone;
    }
    // The kind's request, with the command's deadline and its judgement of broken answers.
    const auto build = [&] {
        HttpRequest r = sender_->request(text, chat_);
        r.deadline_seconds = deadline_seconds_;
        r.protocol_errors_fail = true;
        return r;
    };
    HttpRequest request = build();
    AnswerContext context{console_.secrets(), endpoint_of(services_, request.url), deadline_seconds_, 0};

    int transient = 0, floods = 0, migrations = 0;
    while (true) {
        if (waits_.pause_requested()) return Step::paused;
        // Telegram asked this chat for a pause, in this cycle or an earlier one: nothing is
        // posted to it before that time.
        if (const std::optional<double> hold = outbox_.chat_hold(chat_)) {
            const double left = *hold - services_.epoch_seconds();
            if (left > 0) {
                if (!wait_for_holds) return Step::deferred;
                if (!(left <= waits_.left())) {
                    error_ = std::string(sender_->service()) +
                             ": rate limited (HTTP 429), no message to this chat before " +
                             utc_text(std::ceil(*hold));
                    return Step::failed;
                }
                if (Step s = waited(waits_.wait(left)); s != Step::delivered) return s;
            }
            outbox_.release_chat(chat_);
            changed_ = true;
        }
        if (last_send_) {
            const double gap = kChatGap - (services_.monotonic_seconds() - *last_send_);
            if (gap > 0) {
                if (Step s = waited(waits_.wait(gap)); s != Step::delivered) return s;
            }
        }
        if (Step s = wait_for_shared_hold(wait_for_holds); s != Step::delivered) return s;
        const HttpAnswer answer = services_.http(request);
        last_send_ = services_.monotonic_seconds();
        if (shared_) shared_->sent(chat_, *last_send_);
        context.now = services_.epoch_seconds();
        Outcome v = sender_->judge(answer, context);
        error_ = console_.masked(v.error);
        switch (v.kind) {
            case Outcome::Kind::delivered:
                return Step::delivered;
            case Outcome::Kind::refused:
                refused_ = true;
                return Step::failed;
            case Outcome::Kind::gone:
                refused_ = gone_ = true;
                if (gone_list_) gone_list_->mark(route_.chat_id, address_.url);
                return Step::gone;
            case Outcome::Kind::migrated:
                if (++migrations > kMaxMigrations || v.new_chat_id == chat_) {
                    refused_ = true;
                    return Step::failed;
                }
                console_.write(chat_migrated_line(chat_, v.new_chat_id));
                outbox_.migrate(chat_, v.new_chat_id);
                if (shared_) shared_->migrate(chat_, v.new_chat_id);
                chat_ = v.new_chat_id;
                changed_ = true;
                request = build();
                continue;
            case Outcome::Kind::held:
                // Kept in the outbox until waited out, so that no later cycle or process posts
                // to the destination before it allows it.
                outbox_.hold_chat(chat_, context.now + v.retry_after);
                if (shared_) shared_->hold(chat_, services_.monotonic_seconds() + v.retry_after);
                changed_ = true;
                if (!wait_for_holds) return Step::deferred;
                // A pause shared with others is not this route's doing.
                if (!v.shared && ++floods > kMaxFloodWaits) return Step::failed;
                if (Step s = waited(waits_.wait(v.retry_after)); s != Step::delivered) return s;
                outbox_.release_chat(chat_);
                continue;
            case Outcome::Kind::transient:
                if (++transient >= kTransientAttempts) return Step::failed;
                if (Step s = waited(waits_.wait(kTransientWaits[transient - 1])); s != Step::delivered)
                    return s;
                continue;
        }
    }
}

}  // namespace emberscope::engine
