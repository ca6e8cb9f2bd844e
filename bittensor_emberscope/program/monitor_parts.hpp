// What a monitoring command runs beside the engine's cycle: the cycle guarded and recorded, the
// metrics exporter, and the bot with its answers.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bot/bot.hpp"
#include "config/settings.hpp"
#include "engine/chat_holds.hpp"
#include "engine/cycle.hpp"
#include "engine/json.hpp"
#include "engine/watch_loop.hpp"
#include "metrics/exporter.hpp"
#include "native/chart_child.hpp"
#include "program/command_line.hpp"
#include "program/services.hpp"
#include "records/answers.hpp"
#include "records/clock.hpp"
#include "records/status_file.hpp"

namespace emberscope::program {

/// The engine's settings of a cycle.
engine::CycleSettings cycle_settings(const config::Settings& settings, std::vector<std::string> muted);

/// One cycle (or the start-up list); an ordinary error outside the engine's own handling is said
/// on an error line and reported as outcome "error".
/// `holds`: the chats' holds the cycle shares with the bot's answers (null: none); `gone`, when
/// given, keeps the destinations found gone across the cycles of one `watch`.
engine::CycleReport guarded_cycle(ProgramServices& services, const config::Settings& settings,
                                  engine::CycleKind kind, engine::ChatHolds* holds = nullptr,
                                  engine::GoneDestinations* gone = nullptr);

/// The report of a cycle that failed before the engine ran.
engine::CycleReport error_report(Services& services, const config::Settings& settings,
                                 const std::string& detail);

/// The clocks now, as the records read them.
records::Clock clock_reading(Services& services);

/// Why each file beside the state cannot be used (not a regular file).
std::vector<std::string> irregular_files(const config::Settings& settings);

/// A number as the console shows it ("0.05", "5", "1e-05").
std::string general_number(double value);

/// The status a report would make, for the summary line when it could not be recorded.
engine::JsonValue report_status(const engine::CycleReport& report);

/// The start-up list on a first start (no usable state) or when asked; with stored values a
/// watch cycle at once; --no-snapshot: the first wait.
engine::FirstStep first_step(const Invocation& invocation, const config::Settings& settings);

/// The settings with the configuration file read again.
config::Reloaded reload(const Invocation& invocation, const config::Settings& settings);

/// Runs `write` (a record for the operator): failing to write it never stops the monitor, a line
/// says so. nullopt when it failed.
std::optional<engine::JsonValue> record(Services& services,
                                        const std::function<engine::JsonValue()>& write);

/// The metrics' totals as the status file keeps them ("cycles_ok", "changes", "telegram_sent",
/// ...), and back.
records::Counters kept_counters(const metrics::Counters& counters);
metrics::Counters counters_kept(const records::Counters& kept);

/// The exporter and the bot of `watch`.
class MonitorParts {
public:
    MonitorParts(const Invocation& invocation, Console& console, const Clock& clock,
                 Signals& signals);
    ~MonitorParts();

    /// Starts the exporter when --metrics-listen or EMBERSCOPE_METRICS_LISTEN asks; the exit
    /// status when it cannot (2, with the line that says why).
    std::optional<int> start_exporter(const config::Settings& settings);
    metrics::Exporter* exporter() { return exporter_.get(); }
    /// Counts a cycle's report in the metrics.
    void observe(const engine::CycleReport& report, const std::string& state_path);
    /// The metrics' totals to keep with the status; nullopt without metrics.
    std::optional<records::Counters> counters() const;

    void start_bot(const config::Settings& settings);
    /// Records the bot's note in the status file when it changed; the seconds it took.
    double serve_bot_note(const std::string& state_path, Services& services);
    /// The bot answers the routes of settings read again.
    void reconfigure(const config::Settings& settings);
    /// The chats' holds the cycles share with the bot's answers.
    engine::ChatHolds* chat_holds() { return &holds_; }
    /// Chats Telegram moved, old id -> new id.
    std::vector<std::pair<std::string, std::string>> migrations() const { return holds_.migrations(); }

private:
    void seed_holds(const std::string& state_path);

    const Invocation& invocation_;
    Console& console_;
    const Clock& clock_;
    Signals& signals_;
    std::unique_ptr<metrics::Exporter> exporter_;
    engine::ChatHolds holds_;
    int cancel_[2] = {-1, -1};
    std::unique_ptr<ProgramServices> poll_services_;
    std::unique_ptr<ProgramServices> answer_services_;
    std::unique_ptr<bot::Answerer> answerer_;
    std::unique_ptr<native::ChartChild> charts_;
    std::unique_ptr<bot::Bot> bot_;
    std::optional<std::string> noted_;
};

}  // namespace emberscope::program
