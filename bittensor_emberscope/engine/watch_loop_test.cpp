#include "engine/watch_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace emberscope::engine {
namespace {

// Every call the loop makes, in order, as one line each.
using Log = std::vector<std::string>;

// A clock that moves only when the loop sleeps; each sleep takes the next scripted step (by
// default: the whole time passes).
struct FakeServices : LoopServices {
    Log& log;
    double now = 1000;
    double wall = 1765195200;  // 2025-12-08 12:00:00 UTC
    bool pause = false;
    std::optional<double> period;
    Woken pending;
    std::function<void()> on_signals = [] {};
    std::deque<std::function<SleepEnd(double)>> script;
    int sleeps = 0;

    explicit FakeServices(Log& l) : log(l) {}

    double monotonic() override { return now; }
    double wall_clock() override { return wall + (now - 1000); }
    bool paused(std::string_view) override { return pause; }
    SleepEnd sleep(double seconds, std::string_view, std::optional<double> watchdog_in) override {
        ++sleeps;
        if (!script.empty()) {
            auto step = std::move(script.front());
            script.pop_front();
            return step(seconds);
        }
        if (watchdog_in && *watchdog_in < seconds) {
            now += *watchdog_in;
            return SleepEnd::watchdog;
        }
        now += seconds;
        return SleepEnd::deadline;
    }
    Woken drain() override { return std::exchange(pending, Woken{}); }
    void run_signal_handlers() override { on_signals(); }
    void notify(std::string_view fields) override { log.push_back("notify " + std::string(fields)); }
    std::optional<double> watchdog_period() override { return period; }
    void cover_cycle(bool on, double) override { log.push_back(on ? "cover" : "uncover"); }
};

struct FakeHost : LoopHost {
    Log& log;
    std::function<CycleLine(CycleKind)> on_cycle = [](CycleKind) { return CycleLine{"cycle ok"}; };
    std::optional<std::string> reloaded;
    double serve_takes = 0;
    std::optional<double> held;

    explicit FakeHost(Log& l) : log(l) {}

    void announce() override { log.push_back("announce"); }
    CycleLine cycle(CycleKind kind, double next) override {
        log.push_back(std::string("cycle ") + (kind == CycleKind::snapshot ? "snapshot" : "watch") +
                      " next " + std::to_string(static_cast<long long>(next)));
        return on_cycle(kind);
    }
    void record_loop(std::string_view loop, std::optional<double> next) override {
        log.push_back("record " + std::string(loop) +
                      (next ? " next " + std::to_string(static_cast<long long>(*next)) : ""));
    }
    std::optional<std::string> reload_if_asked() override {
        log.push_back("reload");
        return std::exchange(reloaded, std::nullopt);
    }
    void start_bot() override { log.push_back("start bot"); }
    double serve() override {
        log.push_back("serve");
        held.reset();
        return serve_takes;
    }
    std::optional<double> due() override { return held; }
    void say(std::string_view line) override { log.push_back("say " + std::string(line)); }
};

// Runs the loop until its `cycles`-th watch cycle has run, then has the pause file appear.
struct LoopRun {
    Log log;
    FakeServices services{log};
    FakeHost host{log};
    LoopSettings settings{.interval_seconds = 300, .pause_path = "/p"};

    int until_paused_after(int cycles) {
        auto inner = host.on_cycle;
        int seen = 0;
        host.on_cycle = [this, inner, cycles, seen](CycleKind kind) mutable {
            (void)kind;
            if (++seen == cycles) services.pause = true;
            return inner(kind);
        };
        return run_watch_loop(services, host, settings);
    }
};

const std::string kPausedTail[] = {"say [burn] monitoring paused", "record paused",
                                   "notify STOPPING=1\nSTATUS=paused (pause file)"};

TEST(WatchLoop, APauseFileAtStartIsReadyThenPausedWithoutACycle) {
    LoopRun r;
    r.services.pause = true;
    EXPECT_EQ(run_watch_loop(r.services, r.host, r.settings), 0);
    EXPECT_EQ(r.log, (Log{"announce", "notify READY=1\nSTATUS=paused (pause file)", kPausedTail[0],
                          kPausedTail[1], kPausedTail[2]}));
}

TEST(WatchLoop, FirstStepsInOrder) {
    struct Case {
        FirstStep first;
        Log head;
    };
    const Case cases[] = {
        {FirstStep::snapshot,
         {"announce", "record running next 1765195500",
          "notify READY=1\nSTATUS=started; sending the start-up list", "start bot", "cover",
          "cycle snapshot next 1765195500", "uncover",
          "notify STATUS=cycle ok, next at 12:05 UTC"}},
        {FirstStep::cycle,
         {"announce", "record running next 1765195500",
          "notify READY=1\nSTATUS=started; looking for changes since the last run", "start bot",
          "cover", "cycle watch next 1765195500", "uncover",
          "notify STATUS=cycle ok, next at 12:05 UTC"}},
        {FirstStep::wait,
         {"announce", "record running next 1765195500",
          "notify READY=1\nSTATUS=started; waiting for the first cycle", "start bot",
          // the first wait, then the first cycle after the interval
          "reload", "cover", "cycle watch next 1765195800"}},
    };
    for (const Case& c : cases) {
        LoopRun r;
        r.settings.first = c.first;
        r.settings.bot = true;
        r.services.pause = false;
        EXPECT_EQ(r.until_paused_after(1), 0);
        ASSERT_GE(r.log.size(), c.head.size());
        EXPECT_EQ(Log(r.log.begin(), r.log.begin() + static_cast<long>(c.head.size())), c.head);
        EXPECT_EQ(Log(r.log.end() - 3, r.log.end()), Log(std::begin(kPausedTail), std::end(kPausedTail)));
    }
}

TEST(WatchLoop, ACycleEveryIntervalUntilThePauseFile) {
    LoopRun r;
    r.settings.first = FirstStep::wait;
    EXPECT_EQ(r.until_paused_after(3), 0);
    Log cycles;
    for (const std::string& line : r.log)
        if (line.starts_with("cycle ")) cycles.push_back(line);
    EXPECT_EQ(cycles, (Log{"cycle watch next 1765195800", "cycle watch next 1765196100",
                           "cycle watch next 1765196400"}));
    EXPECT_EQ(r.services.sleeps, 4);  // a quiet wait is one sleep: three waits and the paused one
    EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "start bot"), 0);  // no bot asked for
}

TEST(WatchLoop, AVerboseLineOnlyForACycleThatSaidNothing) {
    for (bool said : {false, true}) {
        LoopRun r;
        r.settings.verbose = true;
        r.settings.first = FirstStep::cycle;
        r.host.on_cycle = [said](CycleKind) { return CycleLine{"cycle ok, 12 subnets", said}; };
        r.until_paused_after(1);
        const auto lines = std::count(r.log.begin(), r.log.end(),
                                      "say [burn] cycle ok, 12 subnets, next at 12:05 UTC");
        EXPECT_EQ(lines, said ? 0 : 1) << said;
    }
}

TEST(WatchLoop, AStopEndsTheRunWhereverItComes) {
    for (const char* where : {"wait", "cycle"}) {
        LoopRun r;
        r.settings.first = FirstStep::cycle;
        if (std::string(where) == "wait") {
            r.services.script.push_back([&](double) {
                r.services.pending.signalled = true;
                return SleepEnd::woken;
            });
            r.services.on_signals = [] { throw StopRequest{"SIGTERM"}; };
        } else {
            r.host.on_cycle = [](CycleKind) -> CycleLine { throw StopRequest{"SIGTERM"}; };
        }
        EXPECT_EQ(run_watch_loop(r.services, r.host, r.settings), 0);
        EXPECT_EQ(Log(r.log.end() - 4, r.log.end()),
                  (Log{"uncover", "say [burn] stopped (SIGTERM)", "record stopped",
                       "notify STOPPING=1\nSTATUS=stopped (SIGTERM)"}))
            << where;
    }
}

TEST(WatchLoop, AHandledSignalHasTheSettingsReadAgainAndTheWaitGoesOn) {
    LoopRun r;
    r.settings.first = FirstStep::wait;
    r.services.script.push_back([&](double) {
        r.services.now += 100;
        r.services.pending.signalled = true;
        r.host.reloaded = "/new-pause";
        return SleepEnd::woken;
    });
    r.until_paused_after(1);
    // The wait went on for the rest of its interval: the cycle still came 300 s after the start.
    EXPECT_NE(std::find(r.log.begin(), r.log.end(), "cycle watch next 1765195800"), r.log.end());
    EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "reload"), 2);  // after the signal, before the cycle
    EXPECT_EQ(r.services.sleeps, 3);  // the woken sleep, the rest of the wait, the paused one
}

TEST(WaitBetweenCycles, TheBotIsServedWhenItWokeTheWaitOrAnAnswerIsDue) {
    struct Case {
        const char* name;
        Woken woken;
        std::optional<double> held;
        WaitEnd end;
        int served;
    };
    const Case cases[] = {
        {"poked", {false, true}, std::nullopt, WaitEnd::done, 1},
        {"a signal", {true, false}, std::nullopt, WaitEnd::signal, 0},
        {"both", {true, true}, std::nullopt, WaitEnd::signal, 1},
        {"held answer due", {}, 2.0, WaitEnd::done, 1},
    };
    for (const Case& c : cases) {
        Log log;
        FakeServices services(log);
        FakeHost host(log);
        host.held = c.held;
        if (c.woken.signalled || c.woken.poked)
            services.script.push_back([&](double) {
                services.now += 1;
                services.pending = c.woken;
                return SleepEnd::woken;
            });
        EXPECT_EQ(wait_between_cycles(services, &host, 10, "/p"), c.end) << c.name;
        EXPECT_EQ(std::count(log.begin(), log.end(), "serve"), c.served) << c.name;
        if (c.end == WaitEnd::done) {
            EXPECT_EQ(services.now, 1010) << c.name;
        }
    }
}

TEST(WaitBetweenCycles, TheWatchdogIsFedAtTheStartAndEveryHalfInterval) {
    Log log;
    FakeServices services(log);
    services.period = 2.0;
    EXPECT_EQ(wait_between_cycles(services, nullptr, 7, "/p"), WaitEnd::done);
    EXPECT_EQ(std::count(log.begin(), log.end(), "notify WATCHDOG=1"), 4);  // at 0, 2, 4, 6 s
}

TEST(WaitBetweenCycles, ASteppedClockServesAfterEachStepAndCountsTheAnswersTime) {
    Log log;
    FakeServices services(log);
    FakeHost host(log);
    host.serve_takes = 0.75;
    std::vector<double> slept;
    struct Stepped : FakeServices {
        using FakeServices::FakeServices;
        std::vector<double>* slept = nullptr;
        SleepEnd sleep(double seconds, std::string_view, std::optional<double>) override {
            const double step = std::min(seconds, 1.0);
            slept->push_back(step);
            now += step;
            return SleepEnd::step;
        }
        void spent(double seconds) override { now += seconds; }
    } stepped(log);
    stepped.slept = &slept;
    EXPECT_EQ(wait_between_cycles(stepped, &host, 4, ""), WaitEnd::done);
    // Steps of 1, 1 and 0.5 s, each followed by 0.75 s of answering: the wait ends on time.
    EXPECT_EQ(slept, (std::vector<double>{1, 1, 0.5}));
    EXPECT_EQ(std::count(log.begin(), log.end(), "serve"), 3);
}

TEST(WaitBetweenCycles, ThePauseFileEndsIt) {
    Log log;
    FakeServices services(log);
    services.script.push_back([&](double) { return SleepEnd::paused; });
    EXPECT_EQ(wait_between_cycles(services, nullptr, 10, "/p"), WaitEnd::paused);
    // Its time up with the file there, the wait says paused too.
    FakeServices late(log);
    late.script.push_back([&](double s) {
        late.now += s;
        late.pause = true;
        return SleepEnd::deadline;
    });
    EXPECT_EQ(wait_between_cycles(late, nullptr, 10, "/p"), WaitEnd::paused);
}

TEST(WatchLoopTexts, NextCycleSuffix) {
    EXPECT_EQ(next_cycle_suffix(1765195200), ", next at 12:00 UTC");
    EXPECT_EQ(next_cycle_suffix(1765195259.9), ", next at 12:00 UTC");
    EXPECT_EQ(next_cycle_suffix(1765238340), ", next at 23:59 UTC");
    EXPECT_EQ(next_cycle_suffix(0), ", next at 00:00 UTC");
}

}  // namespace
}  // namespace emberscope::engine
