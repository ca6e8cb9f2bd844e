// The bot's threads.
#include "bot/bot.hpp"

#include <exception>

namespace emberscope::bot {
namespace {

// What a thread does with an error nothing below it expected: said once a run, then a pause so
// that a fault that repeats never spins.
constexpr double kPauseAfterFault = 30.0;

}  // namespace

Bot::Bot(BotSettings settings, Services& poll_services, Services& answer_services,
         engine::ChatHolds& holds, Answerer& answerer, ChartDrawer* charts, BotHooks hooks)
    : context_(std::move(settings), holds, hooks.note_changed),
      poller_(context_, poll_services),
      answering_(context_, answer_services, answerer, charts),
      poll_services_(poll_services), answer_services_(answer_services), hooks_(std::move(hooks)) {}

Bot::~Bot() { close(); }

void Bot::start() {
    context_.restore_offset(poll_services_);
    poller_thread_ = std::thread([this] { poll_loop(); });
    answer_thread_ = std::thread([this] { answer_loop(); });
}

void Bot::close() {
    if (closed_) return;
    closed_ = true;
    context_.stopping = true;
    context_.inbox.stop();
    if (hooks_.interrupt) hooks_.interrupt();
    if (poller_thread_.joinable()) poller_thread_.join();
    if (answer_thread_.joinable()) answer_thread_.join();
    context_.set_note(std::nullopt);
}

std::optional<std::string> Bot::note() const { return context_.note(); }

void Bot::poll_loop() {
    while (!context_.stopping) {
        Poller::Next next;
        const std::uint64_t progress = context_.inbox.progress();
        try {
            next = poller_.step();
        } catch (const std::exception& e) {
            poll_services_.console(std::string("[bot] the poller met a fault: ") + e.what() + "\n");
            next.wait = kPauseAfterFault;
        }
        if (context_.stopping || next.wait <= 0) continue;
        if (next.until_progress)
            context_.inbox.wait_for_progress(progress, next.wait);
        else
            context_.inbox.pause(next.wait);
    }
}

void Bot::answer_loop() {
    while (!context_.stopping) {
        const std::uint64_t work = context_.inbox.work();
        std::optional<double> due;
        try {
            due = answering_.step();
        } catch (const std::exception& e) {
            answer_services_.console(std::string("[bot] an answer met a fault: ") + e.what() + "\n");
            due = kPauseAfterFault;
        }
        if (context_.stopping) break;
        if (!due) context_.inbox.wait_for_work(work, 86400);
        else if (*due > 0) context_.inbox.wait_for_work(work, *due);
    }
}

}  // namespace emberscope::bot
