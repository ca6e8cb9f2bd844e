// The commands waiting for their answers.
#include "bot/inbox.hpp"

#include <algorithm>
#include <chrono>

namespace emberscope::bot {
namespace {

std::chrono::duration<double> span_of(double seconds) {
    // A day at most: a longer wait is woken by its own purpose first.
    return std::chrono::duration<double>(seconds < 0 ? 0 : seconds > 86400 ? 86400 : seconds);
}

}  // namespace

void Inbox::restore(const OffsetRecord& record) {
    std::lock_guard lock(mutex_);
    next_ = record.offset;
    done_ = {record.answered.begin(), record.answered.end()};
    open_.clear();
}

// Telegram hands updates out in the order of their ids, from the offset asked for: an id below
// the highest read that was not read does not exist. So everything before the first update still
// open is done, and with none open, everything read.
std::int64_t Inbox::first_not_done() const { return open_.empty() ? next_ : *open_.begin(); }

OffsetRecord Inbox::record() const {
    std::lock_guard lock(mutex_);
    return OffsetRecord{first_not_done(), {done_.begin(), done_.end()}};
}

std::int64_t Inbox::offset() const {
    std::lock_guard lock(mutex_);
    return first_not_done();
}

bool Inbox::read(std::int64_t id) {
    std::lock_guard lock(mutex_);
    const bool known = id < first_not_done() || open_.contains(id) || done_.contains(id);
    next_ = std::max(next_, id + 1);
    return known;
}

void Inbox::finish(std::int64_t id) {
    open_.erase(id);
    next_ = std::max(next_, id + 1);
    done_.insert(id);
    const std::int64_t first = first_not_done();
    while (!done_.empty() && *done_.begin() < first) done_.erase(done_.begin());
    ++progress_;
    changed_.notify_all();
}

void Inbox::skip(std::int64_t id) {
    std::lock_guard lock(mutex_);
    finish(id);
}

bool Inbox::queue(Pending pending) {
    std::lock_guard lock(mutex_);
    next_ = std::max(next_, pending.message.update_id + 1);
    std::deque<Pending>& chat = chats_[pending.message.chat_id];
    if (chat.size() >= per_chat_) {
        finish(pending.message.update_id);
        return false;
    }
    open_.insert(pending.message.update_id);
    chat.push_back(std::move(pending));
    ++work_;
    changed_.notify_all();
    return true;
}

void Inbox::put_back(Pending pending) {
    std::lock_guard lock(mutex_);
    chats_[pending.message.chat_id].push_front(std::move(pending));
    ++work_;
    changed_.notify_all();
}

void Inbox::done(std::int64_t id) {
    std::lock_guard lock(mutex_);
    finish(id);
}

std::variant<Pending, double, std::nullopt_t> Inbox::next(double now, const engine::ChatHolds& holds) {
    std::lock_guard lock(mutex_);
    std::deque<Pending>* first = nullptr;
    double first_ready = 0;
    for (auto it = chats_.begin(); it != chats_.end();) {
        if (it->second.empty()) {
            it = chats_.erase(it);
            continue;
        }
        const double ready = std::max(holds.ready_at(holds.chat_for(it->first), now),
                                      it->second.front().not_before);
        if (!first || ready < first_ready) first = &it->second, first_ready = ready;
        ++it;
    }
    if (!first) return std::nullopt;
    if (first_ready > now) return first_ready - now;
    Pending out = std::move(first->front());
    first->pop_front();
    return out;
}

std::size_t Inbox::unanswered() const {
    std::lock_guard lock(mutex_);
    return open_.size();
}

std::uint64_t Inbox::progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

void Inbox::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

bool Inbox::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

std::uint64_t Inbox::work() const {
    std::lock_guard lock(mutex_);
    return work_;
}

void Inbox::wait_for_work(std::uint64_t since, double seconds) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, span_of(seconds), [&] { return stopped_ || work_ != since; });
}

void Inbox::pause(double seconds) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, span_of(seconds), [&] { return stopped_; });
}

void Inbox::wait_for_progress(std::uint64_t since, double seconds) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, span_of(seconds), [&] { return stopped_ || progress_ != since; });
}

}  // namespace emberscope::bot
