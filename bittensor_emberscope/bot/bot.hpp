// The bot of `emberscope watch`: operators ask in the chat, the monitor answers. It runs beside
// the watch loop on two threads of its own, the poller (getUpdates) and the answering, so a
// cycle starts on time and the watchdog is fed whatever the bot is doing: nothing the loop calls
// here waits on Telegram, on an answer or on a chart.
//
// Every command from an allowed chat is answered once, one message a second per chat, from a
// queue per chat; the offset file confirms only updates answered or deliberately skipped.
//
// The loop's side: make it (the program gives it services of its own), start() it before
// the first wait, set_access() after a configuration is read again, record note() in the status
// file when note_changed pokes the loop, close() on the way out. The chats' holds it shares
// with the cycle (engine::ChatHolds) carry the outbox's migrations from the start, so a chat
// that moved before a restart is answered under its new id.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "bot/answering.hpp"
#include "bot/context.hpp"
#include "bot/poller.hpp"
#include "bot/replies.hpp"

namespace emberscope::bot {

struct BotHooks {
    /// Called on a bot thread when note() changed (the loop records it in the status file);
    /// must not block (poke the loop's wake-up descriptor, say).
    std::function<void()> note_changed;
    /// Called by close() to end an exchange or a chart under way (a byte on the descriptor the
    /// bot's services watch).
    std::function<void()> interrupt;
};

class Bot {
public:
    /// `poll_services` and `answer_services` serve one thread each (their own HTTP handles:
    /// an answer never waits behind a long poll); `holds` is the process's, shared with the
    /// cycle's deliveries; `charts` may be null.
    Bot(BotSettings settings, Services& poll_services, Services& answer_services,
        engine::ChatHolds& holds, Answerer& answerer, ChartDrawer* charts, BotHooks hooks = {});
    /// Closes.
    ~Bot();
    Bot(const Bot&) = delete;
    Bot& operator=(const Bot&) = delete;

    /// Reads the offset file and starts both threads.
    void start();
    /// Ends both threads: the exchange or chart under way is interrupted, nothing is waited out.
    /// A command not yet answered stays unconfirmed, for the next start. Idempotent.
    void close();

    /// Who is answered from now on (a configuration read again).
    void set_access(AccessList access) { context_.set_access(std::move(access)); }
    /// What the status file says of the bot: "answering as @name", "not answering: ... (since
    /// ...)"; nullopt before the first word and after close().
    std::optional<std::string> note() const;

private:
    void poll_loop();
    void answer_loop();

    Context context_;
    Poller poller_;
    Answering answering_;
    Services& poll_services_;
    Services& answer_services_;
    BotHooks hooks_;
    std::thread poller_thread_;
    std::thread answer_thread_;
    bool closed_ = false;
};

}  // namespace emberscope::bot
