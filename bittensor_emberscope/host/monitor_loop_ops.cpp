// `watch`'s loop, glued to the interpreter: the hooks are the command's Python functions, the
// interpreter's lock is let go while the loop sleeps, the interpreter's signal handlers run when
// a signal woke it, and the command's stop (an exception of the hooks' "stop_error" class)
// becomes the loop's StopRequest wherever it is raised.
#include "host/monitor_loop_ops.hpp"

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/stepped_wait.hpp"
#include "engine/watch_loop.hpp"
#include "host/command_services.hpp"
#include "host/error.hpp"
#include "native/loop_services.hpp"
#include "native/posix_waiter.hpp"

namespace emberscope::host {
namespace {

// The hooks of the dict, looked up once; a missing one is the caller's error.
struct Hooks {
    explicit Hooks(const Object& map) : map_(map) {}

    Object get(std::string_view name) const {
        std::optional<Object> hook = map_.get(name);
        if (!hook || hook->is_null())
            throw_type_error("hooks[" + std::string(name) + "] is missing");
        return *hook;
    }
    std::optional<Object> optional(std::string_view name) const {
        std::optional<Object> hook = map_.get(name);
        if (!hook || hook->is_null()) return std::nullopt;
        return hook;
    }

private:
    Object map_;
};

// Runs `work`; the command's stop, raised from it, becomes the loop's StopRequest.
class StopGuard {
public:
    explicit StopGuard(std::optional<Object> stop_error) : stop_error_(std::move(stop_error)) {}

    template <typename Work>
    auto operator()(Work&& work) const {
        try {
            return work();
        } catch (Error& error) {
            if (!stop_error_ || !matches(error, *stop_error_)) throw;
            const Object stop = exception_value(error);
            std::string name = "signal";
            try {
                name = stop.attr("signame").str();
            } catch (Error&) {
            }
            throw engine::StopRequest{std::move(name)};
        }
    }

private:
    std::optional<Object> stop_error_;
};

int fd_of(std::int64_t fd) {
    if (fd > std::numeric_limits<int>::max())
        throw_value_error("wake_fd is not a file descriptor: " + std::to_string(fd));
    return fd < 0 ? -1 : static_cast<int>(fd);
}

// The POSIX services with the interpreter's lock let go while they sleep, and the interpreter's
// signal handlers run when asked.
class UnlockedServices : public native::PosixLoopServices {
public:
    UnlockedServices(native::SystemdNotifier& notifier, int wake_fd, const StopGuard& guard)
        : PosixLoopServices(notifier, wake_fd), guard_(guard) {}

    engine::SleepEnd sleep(double seconds, std::string_view pause_path,
                           std::optional<double> watchdog_in) override {
        engine::SleepEnd end = engine::SleepEnd::deadline;
        without_lock([&] {
#if defined(__GLIBC__)
            // The first sleep after a cycle: the listing and messages it freed go back to the
            // system rather than counting for the waiting process.
            if (std::exchange(trim_, false)) ::malloc_trim(0);
#endif
            end = PosixLoopServices::sleep(seconds, pause_path, watchdog_in);
        });
        // As the host's own sleep does: the handlers of signals that came run before it returns,
        // also when no wake-up descriptor told (a wait given none).
        run_signal_handlers();
        return end;
    }
    void cover_cycle(bool on, double limit) override {
        PosixLoopServices::cover_cycle(on, limit);
        if (!on) trim_ = true;
    }
    void run_signal_handlers() override {
        guard_([] {
            if (PyErr_CheckSignals() < 0) throw_pending();
        });
    }

protected:
    const StopGuard& guard_;

private:
    bool trim_ = true;
};

// The services of a program that substituted its clock (a test shortening the waits, the demo
// skipping them): sleeps of at most a second through the substitute's sleep(), looked up at call
// time, on a clock that counts what was slept and what the bot took.
class SteppedServices : public UnlockedServices {
public:
    SteppedServices(native::SystemdNotifier& notifier, int wake_fd, const StopGuard& guard,
                    Object clock)
        : UnlockedServices(notifier, wake_fd, guard), clock_(std::move(clock)) {}

    double monotonic() override { return elapsed_; }
    double wall_clock() override {
        return guard_([&] { return clock_.attr("time").call().real(); });
    }
    engine::SleepEnd sleep(double seconds, std::string_view pause_path,
                           std::optional<double> watchdog_in) override {
        if (paused(pause_path)) return engine::SleepEnd::paused;
        const double step = std::min(seconds, kWaitStepSeconds);
        guard_([&] { clock_.attr("sleep").call({real(step)}); });
        elapsed_ += step;
        if (native::wake_pending(wake_fd())) return engine::SleepEnd::woken;
        if (watchdog_in && step >= *watchdog_in) return engine::SleepEnd::watchdog;
        return engine::SleepEnd::step;
    }
    void spent(double seconds) override {
        if (std::isfinite(seconds) && seconds > 0) elapsed_ += seconds;
    }
    // Under notifications, the watchdog is fed every other step (or every half interval when
    // that is shorter), whether or not systemd asked for it.
    std::optional<double> watchdog_period() override {
        if (!notifier().enabled()) return std::nullopt;
        const std::optional<double> half = UnlockedServices::watchdog_period();
        return half ? std::min(*half, kFeedSteps) : kFeedSteps;
    }

private:
    static constexpr double kFeedSteps = 2.0;
    Object clock_;
    double elapsed_ = 0;
};

// The command's Python side as the loop's host.
class PythonHost : public engine::LoopHost {
public:
    PythonHost(const Hooks& hooks, const StopGuard& guard) : hooks_(hooks), guard_(guard) {}

    void announce() override {
        guard_([&] {
            if (std::optional<Object> announce = hooks_.optional("announce")) announce->call();
        });
    }
    engine::CycleLine cycle(engine::CycleKind kind, double next_cycle) override {
        return guard_([&] {
            const Object answer = hooks_.get("cycle").call(
                {text(kind == engine::CycleKind::snapshot ? "snapshot" : "cycle"),
                 real(next_cycle)});
            if (!answer.is_tuple() || answer.size() != 2)
                throw_type_error("hooks[cycle] must return (summary, said), not " +
                                 answer.type_name());
            return engine::CycleLine{answer.at(0).str(), answer.at(1).truthy()};
        });
    }
    void record_loop(std::string_view loop, std::optional<double> next_cycle) override {
        guard_([&] {
            hooks_.get("record_loop").call({text(loop), next_cycle ? real(*next_cycle) : none()});
        });
    }
    std::optional<std::string> reload_if_asked() override {
        return guard_([&]() -> std::optional<std::string> {
            const Object pause = hooks_.get("reload").call();
            if (pause.is_null()) return std::nullopt;
            return pause.str();
        });
    }
    void start_bot() override {
        guard_([&] {
            if (std::optional<Object> start = hooks_.optional("start_bot")) start->call();
        });
    }
    double serve() override {
        return guard_([&] {
            std::optional<Object> serve = hooks_.optional("serve");
            if (!serve) return 0.0;
            const Object took = serve->call();
            return took.kind() == Kind::integer || took.kind() == Kind::real ? took.real() : 0.0;
        });
    }
    std::optional<double> due() override {
        return guard_([&]() -> std::optional<double> {
            std::optional<Object> due = hooks_.optional("due");
            if (!due) return std::nullopt;
            const Object in = due->call();
            if (in.is_null()) return std::nullopt;
            const double seconds = in.real();
            if (std::isnan(seconds)) return std::nullopt;
            return seconds;
        });
    }
    void say(std::string_view line) override {
        guard_([&] { hooks_.get("say").call({text(line)}); });
    }

private:
    const Hooks& hooks_;
    const StopGuard& guard_;
};

engine::FirstStep first_of(std::string_view first) {
    if (first == "snapshot") return engine::FirstStep::snapshot;
    if (first == "cycle") return engine::FirstStep::cycle;
    if (first == "wait") return engine::FirstStep::wait;
    throw_value_error("first must be 'snapshot', 'cycle' or 'wait', not '" + std::string(first) +
                      "'");
}

// Runs `work` over the loop's services: the stepped ones when the hooks give a clock.
template <typename Work>
auto with_services(const Hooks& hooks, const StopGuard& guard, int wake_fd, Work&& work) {
    native::SystemdNotifier notifier;
    if (std::optional<Object> clock = hooks.optional("clock")) {
        SteppedServices services(notifier, wake_fd, guard, *clock);
        return work(static_cast<engine::LoopServices&>(services));
    }
    UnlockedServices services(notifier, wake_fd, guard);
    return work(static_cast<engine::LoopServices&>(services));
}

}  // namespace

Object monitor_watch_loop(const Args& args) {
    const Hooks hooks(args.object<kWatchLoopParams, "hooks">());
    const StopGuard guard(hooks.optional("stop_error"));
    engine::LoopSettings settings;
    settings.interval_seconds = args.real<kWatchLoopParams, "interval_seconds">();
    if (!std::isfinite(settings.interval_seconds) || settings.interval_seconds <= 0)
        throw_value_error("interval_seconds must be a finite number > 0, not " +
                          real(settings.interval_seconds).repr());
    settings.pause_path = std::string(args.text<kWatchLoopParams, "pause_path">());
    settings.first = first_of(args.text<kWatchLoopParams, "first">());
    settings.verbose = args.whole<kWatchLoopParams, "verbose">() != 0;
    settings.bot = args.whole<kWatchLoopParams, "bot">() != 0;
    const int wake_fd = fd_of(args.whole<kWatchLoopParams, "wake_fd">());
    PythonHost host(hooks, guard);
    const int code = with_services(hooks, guard, wake_fd, [&](engine::LoopServices& services) {
        return engine::run_watch_loop(services, host, settings);
    });
    return integer(code);
}

Object monitor_wait_between(const Args& args) {
    const Hooks hooks(args.object<kWaitBetweenParams, "hooks">());
    const StopGuard guard(std::nullopt);  // a stop raised here stays the host's own error
    const double seconds = args.real<kWaitBetweenParams, "seconds">();
    if (std::isnan(seconds)) throw_value_error("seconds must be a number, not nan");
    const std::string pause_path(args.text<kWaitBetweenParams, "pause_path">());
    const int wake_fd = fd_of(args.whole<kWaitBetweenParams, "wake_fd">());
    PythonHost host(hooks, guard);
    const engine::WaitEnd end =
        with_services(hooks, guard, wake_fd, [&](engine::LoopServices& services) {
            return engine::wait_between_cycles(services, &host, seconds, pause_path);
        });
    switch (end) {
        case engine::WaitEnd::done: return text("done");
        case engine::WaitEnd::paused: return text("paused");
        case engine::WaitEnd::signal: return text("signal");
    }
    return text("done");
}

}  // namespace emberscope::host
