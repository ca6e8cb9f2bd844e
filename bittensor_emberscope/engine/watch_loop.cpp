// The loop of `emberscope watch`, over its services and its host.
#include "engine/watch_loop.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace emberscope::engine {
namespace {

std::string status_fields(std::string_view status) {
    // One notification line: a newline inside the text would start a field of its own.
    std::string out = "STATUS=";
    for (char c : status) out += c == '\n' ? ' ' : c;
    return out;
}

class Loop {
public:
    Loop(LoopServices& services, LoopHost& host, LoopSettings settings)
        : s_(services), h_(host), settings_(std::move(settings)) {}

    int run() {
        try {
            h_.announce();
            if (s_.paused(settings_.pause_path)) {
                // READY first: a service that ends before it is ready counts as failed and is
                // restarted, while a paused monitor is meant to stay stopped.
                s_.notify("READY=1\n" + status_fields(kPausedStatus));
                return paused();
            }
            h_.record_loop(kLoopRunning, s_.wall_clock() + settings_.interval_seconds);
            s_.notify("READY=1\n" + status_fields(std::string("started; ") +
                                                  std::string(first_step_status(settings_.first))));
            if (settings_.bot) h_.start_bot();
            if (settings_.first == FirstStep::snapshot) cycle(CycleKind::snapshot);
            if (settings_.first == FirstStep::cycle) cycle(CycleKind::watch);
            if (!wait_interval()) return paused();
            for (;;) {
                if (s_.paused(settings_.pause_path)) return paused();
                reload_if_asked();
                cycle(CycleKind::watch);
                if (!wait_interval()) return paused();
            }
        } catch (const StopRequest& stop) {
            s_.cover_cycle(false, 0);
            // A stop during the way out is not looked at: the handlers ignore a second signal.
            h_.say("[burn] stopped (" + stop.signal_name + ")");
            h_.record_loop(kLoopStopped, std::nullopt);
            s_.notify("STOPPING=1\n" + status_fields("stopped (" + stop.signal_name + ")"));
            return 0;
        }
    }

private:
    int paused() {
        h_.say(kLoopPausedLine);
        h_.record_loop(kLoopPaused, std::nullopt);
        s_.notify("STOPPING=1\n" + status_fields(kPausedStatus));
        return 0;
    }

    void cycle(CycleKind kind) {
        const double next = s_.wall_clock() + settings_.interval_seconds;
        CycleLine line;
        s_.cover_cycle(true, kCycleWatchdogLimit);
        try {
            line = h_.cycle(kind, next);
        } catch (...) {
            s_.cover_cycle(false, 0);
            throw;
        }
        s_.cover_cycle(false, 0);
        std::string text = line.summary + next_cycle_suffix(next);
        s_.notify(status_fields(text));
        // One line per cycle: a cycle that said something (an alert sent, a failure) has its
        // line already.
        if (settings_.verbose && !line.said) h_.say("[burn] " + text);
    }

    void reload_if_asked() {
        if (std::optional<std::string> pause = h_.reload_if_asked()) settings_.pause_path = *pause;
    }

    // Waits an interval; false when the pause file ended it.
    bool wait_interval() {
        const double end = s_.monotonic() + settings_.interval_seconds;
        for (;;) {
            const WaitEnd why = wait_between_cycles(s_, settings_.bot ? &h_ : nullptr,
                                                    end - s_.monotonic(), settings_.pause_path);
            if (why != WaitEnd::signal) return why == WaitEnd::done;
            reload_if_asked();  // a handled signal: SIGHUP, say
        }
    }

    LoopServices& s_;
    LoopHost& h_;
    LoopSettings settings_;
};

}  // namespace

std::string_view first_step_status(FirstStep first) {
    switch (first) {
        case FirstStep::snapshot: return "sending the start-up list";
        case FirstStep::cycle: return "looking for changes since the last run";
        case FirstStep::wait: return "waiting for the first cycle";
    }
    return "";
}

std::string next_cycle_suffix(double next_cycle) {
    const std::time_t t = static_cast<std::time_t>(std::floor(next_cycle));
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buffer[32];
    const std::size_t n = std::strftime(buffer, sizeof buffer, ", next at %H:%M UTC", &utc);
    return std::string(buffer, n);
}

int run_watch_loop(LoopServices& services, LoopHost& host, LoopSettings settings) {
    return Loop(services, host, std::move(settings)).run();
}

WaitEnd wait_between_cycles(LoopServices& s, LoopHost* bot, double seconds,
                            std::string_view pause_path) {
    const double deadline = s.monotonic() + (std::isnan(seconds) ? 0.0 : seconds);
    const std::optional<double> period = s.watchdog_period();
    if (period) s.notify("WATCHDOG=1");
    double fed = s.monotonic();
    for (;;) {
        const double now = s.monotonic();
        const double left = deadline - now;
        if (left <= 0) return s.paused(pause_path) ? WaitEnd::paused : WaitEnd::done;
        const std::optional<double> held = bot ? bot->due() : std::nullopt;
        const double length = held ? std::min(left, std::max(*held, 0.0)) : left;
        std::optional<double> watchdog_in;
        if (period) watchdog_in = std::max(0.0, fed + *period - now);
        switch (s.sleep(length, pause_path, watchdog_in)) {
            case SleepEnd::paused:
                return WaitEnd::paused;
            case SleepEnd::watchdog:
                s.notify("WATCHDOG=1");
                fed = s.monotonic();
                break;
            case SleepEnd::woken: {
                const Woken woken = s.drain();
                if (woken.signalled) s.run_signal_handlers();
                if (woken.poked && bot) s.spent(bot->serve());
                if (woken.signalled) return WaitEnd::signal;
                break;
            }
            case SleepEnd::step:
                if (bot) s.spent(bot->serve());
                break;
            case SleepEnd::deadline:
                // An answer held back by flood control is due.
                if (held && bot && s.monotonic() < deadline) s.spent(bot->serve());
                break;
        }
    }
}

}  // namespace emberscope::engine
