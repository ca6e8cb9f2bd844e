// The loop of `emberscope watch`: a cycle every interval and, between cycles, one wait that ends
// on the interval, the pause file or a signal, with systemd told what happens and the bot
// answering while it waits. The loop only sequences: the clock, the sleeps and the notifications
// are the loop's services (POSIX in native/, the host's when a program substituted its clock),
// and the cycle, its records and the bot are the loop's host (the command's Python side).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace emberscope::engine {

/// What `watch` does first: the start-up list, a watch cycle, or the first wait.
enum class FirstStep { snapshot, cycle, wait };
/// The two kinds of cycle the loop runs.
enum class CycleKind { snapshot, watch };

/// How one sleep of the loop's services ended. `step` is a sleep that ended before its time with
/// nothing to say (a stepped clock's one-second step): the loop looks around and sleeps on.
enum class SleepEnd { deadline, paused, woken, watchdog, step };

/// Why a wait between two cycles ended: its time was up, the pause file appeared, or a signal
/// came whose handler did not stop the command.
enum class WaitEnd { done, paused, signal };

/// What a wake-up descriptor held: a signal's number, the bot's zero byte, or both.
struct Woken {
    bool signalled = false;
    bool poked = false;
};

/// A signal asked the command to stop (SIGTERM, SIGINT): the cycle or wait under way is abandoned.
struct StopRequest {
    std::string signal_name;
};

/// The clock, sleeps and systemd notifications of the loop.
class LoopServices {
public:
    virtual ~LoopServices() = default;
    /// Seconds on a clock that never steps back.
    virtual double monotonic() = 0;
    /// Seconds since the epoch, for the next cycle's time.
    virtual double wall_clock() = 0;
    /// True while the pause file exists (never for an empty path).
    virtual bool paused(std::string_view pause_path) = 0;
    /// One sleep of at most `seconds` that ends early on the pause file, the wake descriptor or
    /// the watchdog falling due (`watchdog_in` seconds from now, when there is one to feed).
    virtual SleepEnd sleep(double seconds, std::string_view pause_path,
                           std::optional<double> watchdog_in) = 0;
    /// Reads what the wake descriptor holds.
    virtual Woken drain() = 0;
    /// Runs the handlers of the signals that came; one that stops the command throws StopRequest.
    virtual void run_signal_handlers() = 0;
    /// Time the loop's host spent answering, which a stepped clock adds to its own.
    virtual void spent(double seconds) { (void)seconds; }

    /// systemd's notifications: each does nothing outside a notify service.
    virtual void notify(std::string_view fields) = 0;
    /// Half of the watchdog interval systemd asks for; nullopt when there is no watchdog.
    virtual std::optional<double> watchdog_period() = 0;
    /// Keeps the watchdog fed while a cycle runs, for at most `limit` seconds; `false` ends it.
    virtual void cover_cycle(bool on, double limit) = 0;
};

/// A cycle's outcome as the operator reads it.
struct CycleLine {
    std::string summary;     ///< "cycle ok, 128 subnets, ..." (the status file's summary)
    bool said = false;       ///< the cycle wrote a console line of its own (an alert, a failure)
};

/// The command's side of the loop: the cycles with their records, the settings read again,
/// the bot, the console.
class LoopHost {
public:
    virtual ~LoopHost() = default;
    /// The first lines of the run (what is watched, where).
    virtual void announce() {}
    /// One cycle, recorded in the status and history files; `next_cycle` in epoch seconds.
    virtual CycleLine cycle(CycleKind kind, double next_cycle) = 0;
    /// The loop's state in the status file: "running" (with the next cycle's time), "paused",
    /// "stopped".
    virtual void record_loop(std::string_view loop, std::optional<double> next_cycle) = 0;
    /// Reads the configuration again when a signal asked for it; the pause file to follow from
    /// then on, nullopt when nothing was asked (or the new settings were refused).
    virtual std::optional<std::string> reload_if_asked() = 0;
    /// Starts the bot, once the service is ready.
    virtual void start_bot() = 0;
    /// Answers what has arrived and what flood control held back; the seconds it took.
    virtual double serve() = 0;
    /// Seconds until the bot has a held answer to send; nullopt for none.
    virtual std::optional<double> due() = 0;
    virtual void say(std::string_view line) = 0;
};

struct LoopSettings {
    double interval_seconds = 300;
    std::string pause_path;
    FirstStep first = FirstStep::snapshot;
    /// A line for every cycle, also one that said nothing.
    bool verbose = false;
    /// Whether the bot answers: it is served while the loop waits.
    bool bot = false;
};

/// How long a cycle may keep systemd's watchdog fed: far beyond a slow cycle with every retry.
inline constexpr double kCycleWatchdogLimit = 15 * 60.0;

/// The loop's state as the status file keeps it: watching, ended by the pause file, ended by a
/// stop signal.
inline constexpr std::string_view kLoopRunning = "running";
inline constexpr std::string_view kLoopPaused = "paused";
inline constexpr std::string_view kLoopStopped = "stopped";

inline constexpr std::string_view kLoopPausedLine = "[burn] monitoring paused";
inline constexpr std::string_view kPausedStatus = "paused (pause file)";

/// "sending the start-up list", "looking for changes since the last run", "waiting for the
/// first cycle".
std::string_view first_step_status(FirstStep first);
/// ", next at 12:05 UTC" for a time in epoch seconds.
std::string next_cycle_suffix(double next_cycle);

/// The whole `watch` run, until the pause file or a stop; its exit status (0). Errors other than
/// a stop propagate.
int run_watch_loop(LoopServices& services, LoopHost& host, LoopSettings settings);

/// One wait between two cycles: `seconds` long unless the pause file appears or a signal comes.
/// The watchdog is fed at its start and every half interval, and the bot is served when it woke
/// the wait, when a held answer is due, and after each step of a stepped clock.
WaitEnd wait_between_cycles(LoopServices& services, LoopHost* bot, double seconds,
                            std::string_view pause_path);

}  // namespace emberscope::engine
