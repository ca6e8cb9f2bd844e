// once, snapshot and watch.
#include "program/monitor_commands.hpp"

#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "bot/access.hpp"
#include "burns/repr.hpp"
#include "engine/cycle.hpp"
#include "engine/watch_loop.hpp"
#include "native/posix_files.hpp"
#include "native/posix_waiter.hpp"
#include "native/systemd_notify.hpp"
#include "program/monitor_parts.hpp"
#include "program/services.hpp"
#include "records/files.hpp"
#include "records/health.hpp"
#include "records/mutes.hpp"
#include "records/status_file.hpp"

namespace emberscope::program {
namespace {

// "the state file X is in use by pid N (lock file L)", or nullopt once the lock is held.
std::optional<std::string> take_lock(records::StateLock& lock, const std::string& state_path,
                                     double wait_seconds) {
    try {
        if (std::optional<records::StateLock::Busy> busy = lock.acquire(wait_seconds))
            return std::string(kProgram) + ": the state file " + state_path + " is in use by " +
                   busy->holder() + " (lock file " + lock.path() + ")";
    } catch (const std::exception& e) {
        return std::string(kProgram) + ": cannot lock the state file: " + e.what();
    }
    return std::nullopt;
}

// One cycle of `once` or `snapshot`: skipped while paused, run under the state file's lock.
int one_cycle(const config::Settings& settings, Console& console, engine::CycleKind kind) {
    if (native::pause_file_present(settings.pause_path)) {
        console.say(std::string(kPausedLine) + "\n");
        return 0;
    }
    records::StateLock lock(settings.state_path);
    if (std::optional<std::string> refusal =
            take_lock(lock, settings.state_path, kOnceLockWaitSeconds)) {
        console.say(*refusal + "; gave up after 5 s, nothing ran\n");
        return 1;
    }
    const Clock clock = Clock::from_environment();
    Signals signals(/*stops=*/true, /*reloads=*/false);
    ProgramServices services(console, clock, &signals);
    services.set_taostats_key(settings.taostats_key);
    const engine::CycleReport report = guarded_cycle(services, settings, kind);
    record(services, [&] {
        records::CycleContext context;
        context.interval_seconds = settings.interval_minutes * 60;
        context.routes = settings.config.routes;
        return records::record_cycle(settings.state_path, report, context, clock_reading(services));
    });
    return report.outcome == engine::kOutcomeOk ? 0 : 1;
}

// The command's side of the engine's loop: the cycle with its records, the settings read again,
// the bot, the console.
class WatchHost : public engine::LoopHost {
public:
    WatchHost(const Invocation& invocation, config::Settings settings, Console& console,
              ProgramServices& services, Signals& signals, MonitorParts& parts)
        : invocation_(invocation), settings_(std::move(settings)), console_(console),
          services_(services), signals_(signals), parts_(parts) {}

    void announce() override {
        say("[burn] watching every " + general_number(settings_.interval_minutes) +
            " min, threshold " + general_number(settings_.threshold) + ", state file " +
            settings_.state_path + ", pause file " +
            (settings_.pause_path.empty() ? std::string("(none)") : settings_.pause_path));
        if (parts_.exporter()) say("[burn] metrics at " + parts_.exporter()->url());
    }

    engine::CycleLine cycle(engine::CycleKind kind, double next_cycle) override {
        const std::size_t said_before = services_.lines();
        engine::CycleReport report;
        if (std::vector<std::string> problems = irregular_files(settings_); !problems.empty()) {
            // The engine would block on a FIFO in place of its outbox, say.
            std::string detail;
            for (const std::string& p : problems) detail += (detail.empty() ? "" : "; ") + p;
            services_.console("[burn] error: " + detail + "\n");
            report = error_report(services_, settings_, detail);
        } else {
            report = guarded_cycle(services_, settings_, kind, parts_.chat_holds(), &gone_);
        }
        parts_.observe(report, settings_.state_path);
        std::optional<engine::JsonValue> status = record(services_, [&] {
            records::CycleContext context;
            context.interval_seconds = settings_.interval_minutes * 60;
            context.next_cycle = next_cycle;
            context.routes = settings_.config.routes;
            context.counters = parts_.counters();
            return records::record_cycle(settings_.state_path, report, context,
                                         clock_reading(services_));
        });
        return {status ? records::summary(*status) : records::summary(report_status(report)),
                services_.lines() != said_before};
    }

    void record_loop(std::string_view loop, std::optional<double> next_cycle) override {
        record(services_, [&] {
            return records::record_loop(settings_.state_path, loop, settings_.interval_minutes * 60,
                                        next_cycle, clock_reading(services_));
        });
    }

    std::optional<std::string> reload_if_asked() override {
        if (!signals_.take_reload()) return std::nullopt;
        config::Reloaded reloaded = reload(invocation_, settings_);
        if (!reloaded.settings) {
            say("[burn] config not reloaded: " + reloaded.reason + "; keeping the previous one");
            return std::nullopt;
        }
        settings_ = std::move(*reloaded.settings);
        parts_.reconfigure(settings_);
        // A destination found gone is tried again with the configuration read again.
        gone_.clear();
        // `status` and /status show the new routes at once, not after the next cycle.
        record(services_, [&] {
            return records::record_routes(settings_.state_path, settings_.config.routes,
                                          parts_.migrations(), clock_reading(services_));
        });
        say("[burn] config reloaded (" + std::to_string(settings_.config.routes.size()) + " routes)");
        return settings_.pause_path;
    }

    void start_bot() override { parts_.start_bot(settings_); }
    double serve() override { return parts_.serve_bot_note(settings_.state_path, services_); }
    std::optional<double> due() override { return std::nullopt; }
    void say(std::string_view line) override { console_.say(std::string(line) + "\n"); }

private:
    const Invocation& invocation_;
    config::Settings settings_;
    Console& console_;
    ProgramServices& services_;
    Signals& signals_;
    MonitorParts& parts_;
    engine::GoneDestinations gone_;
};

}  // namespace

int run_once(const config::Settings& settings, Console& console) {
    return one_cycle(settings, console, engine::CycleKind::watch);
}

int run_snapshot(const config::Settings& settings, Console& console) {
    return one_cycle(settings, console, engine::CycleKind::snapshot);
}

int run_watch(const Invocation& invocation, const config::Settings& given, Console& console) {
    config::Settings settings = given;
    // The users the bot answers besides the routes' chats: each a whole number.
    std::vector<std::string> users;
    for (const std::string& text : settings.bot_allow_users) {
        std::string bad;
        std::optional<std::vector<std::string>> ids = bot::parse_user_ids(text, &bad);
        if (!ids) {
            console.say_plain(usage_error("watch", {settings.bot_allow_users_origin +
                                                    ": not a user id: " + burns::repr(bad)}));
            return 2;
        }
        users.insert(users.end(), ids->begin(), ids->end());
    }
    settings.bot_allow_users = std::move(users);
    records::StateLock lock(settings.state_path);
    if (std::optional<std::string> refusal =
            take_lock(lock, settings.state_path, kWatchLockWaitSeconds)) {
        console.say(*refusal + "; not starting a second watch\n");
        return 2;
    }
    const Clock clock = Clock::from_environment();
    Signals signals(/*stops=*/true, /*reloads=*/true);
    ProgramServices services(console, clock, &signals);
    services.set_taostats_key(settings.taostats_key);
    MonitorParts parts(invocation, console, clock, signals);
    if (std::optional<int> refused = parts.start_exporter(settings)) return *refused;

    engine::LoopSettings loop;
    loop.interval_seconds = settings.interval_minutes * 60;
    loop.pause_path = settings.pause_path;
    loop.verbose = invocation.verbose || ::isatty(STDERR_FILENO) == 1;
    loop.bot = !invocation.no_bot;
    loop.first = native::pause_file_present(settings.pause_path) ? engine::FirstStep::wait
                                                                  : first_step(invocation, settings);
    WatchHost host(invocation, settings, console, services, signals, parts);
    native::SystemdNotifier notifier;
    ProgramLoopServices loop_services(notifier, signals, clock);
    return engine::run_watch_loop(loop_services, host, loop);
}

}  // namespace emberscope::program
