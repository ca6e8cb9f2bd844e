// The parts of a monitoring command beside the engine's cycle.
#include "program/monitor_parts.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "burns/repr.hpp"
#include "config/describe.hpp"
#include "engine/outbox.hpp"
#include "engine/state.hpp"
#include "metrics/listen.hpp"
#include "metrics/stamps.hpp"
#include "records/files.hpp"
#include "records/health.hpp"
#include "records/mutes.hpp"
#include "records/status_file.hpp"
#include "records/views.hpp"

namespace emberscope::program {
namespace {

std::string one_line(std::string_view text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

// The bot's answers, from the files beside the state.
class RecordAnswers : public bot::Answerer {
public:
    RecordAnswers(std::string state_path, Services& services)
        : answers_(std::move(state_path)), services_(services) {}

    std::optional<bot::Reply> answer(const bot::Parsed& command, const bot::Message&) override {
        const records::Clock now = clock_reading(services_);
        const std::string& name = command.name;
        bot::Reply reply;
        if (name == "help") reply.text = answers_.help();
        else if (name == "burn") reply.text = answers_.burn(command.netuid, now);
        else if (name == "changes") reply.text = answers_.changes(command.period_seconds, now);
        else if (name == "status") reply.text = answers_.status(now);
        else if (name == "mute") reply.text = answers_.mute(command.netuid, command.period_seconds, now);
        else if (name == "unmute") reply.text = answers_.unmute(command.netuid, now);
        else if (name == "chart") {
            auto chart = answers_.chart(command.netuid, command.period_seconds, now);
            if (auto* text = std::get_if<std::string>(&chart)) {
                reply.text = *text;
            } else {
                const records::ChartData& data = std::get<records::ChartData>(chart);
                bot::Chart drawn;
                drawn.title = records::chart_title(command.netuid, command.period_seconds);
                for (const auto& [t, v] : data.points) drawn.points.push_back({t, v});
                drawn.caption = data.caption;
                drawn.filename = "sn" + command.netuid + ".png";
                reply.chart = std::move(drawn);
            }
        } else {
            return std::nullopt;
        }
        return reply;
    }

private:
    records::Answers answers_;
    Services& services_;
};

}  // namespace

engine::CycleSettings cycle_settings(const config::Settings& settings, std::vector<std::string> muted) {
    engine::CycleSettings s;
    s.state_path = settings.state_path;
    s.threshold = settings.threshold;
    s.token = settings.token;
    s.chat_id = settings.chat_id;
    s.pause_path = settings.pause_path;
    s.interval_seconds = settings.interval_minutes * 60;
    s.outbox_max_age_seconds = settings.outbox_max_age_hours * 3600;
    s.wait_budget_seconds = settings.wait_budget_seconds;
    s.muted = std::move(muted);
    // A file's routes; without a file, one route to the chat, which the engine builds itself.
    if (settings.config.path) s.routes = settings.config.routes;
    if (settings.config.stale) s.stale_after_seconds = settings.config.stale->after_minutes * 60;
    return s;
}

records::Clock clock_reading(Services& services) {
    return records::Clock{services.epoch_seconds(), services.boot_id(), services.monotonic_seconds()};
}

engine::CycleReport error_report(Services& services, const config::Settings& settings,
                                 const std::string& detail) {
    engine::CycleReport report;
    report.outcome = std::string(engine::kOutcomeError);
    report.detail = detail;
    report.updated_at_utc = records::format_utc(services.epoch_seconds());
    report.chat_id = settings.chat_id;
    return report;
}

engine::CycleReport guarded_cycle(ProgramServices& services, const config::Settings& settings,
                                  engine::CycleKind kind, engine::ChatHolds* holds,
                                  engine::GoneDestinations* gone) {
    try {
        if (kind == engine::CycleKind::snapshot) {
            engine::CycleSettings s = cycle_settings(settings, {});
            s.chat_holds = holds;
            s.gone = gone;
            return engine::run_snapshot(services, s);
        }
        engine::CycleSettings s = cycle_settings(
            settings, records::muted_netuids(settings.state_path, services.epoch_seconds()));
        s.chat_holds = holds;
        s.gone = gone;
        return engine::run_cycle(services, s);
    } catch (const std::exception& e) {
        services.console(std::string("[burn] error: ") + e.what() + "\n");
        std::string detail = one_line(e.what());
        return error_report(services, settings, detail.empty() ? "error" : detail);
    }
}

std::vector<std::string> irregular_files(const config::Settings& settings) {
    std::vector<std::string> problems;
    for (const std::string& path : records::own_files(settings.state_path, settings.pause_path))
        if (std::optional<std::string> why = records::irregular(path)) problems.push_back(*why);
    return problems;
}

std::string general_number(double value) { return config::number_text(value); }

engine::JsonValue report_status(const engine::CycleReport& report) {
    using engine::JsonValue;
    auto text = [](std::string t) {
        JsonValue v;
        v.kind = JsonValue::Kind::text;
        v.text = std::move(t);
        return v;
    };
    auto whole = [](std::size_t n) {
        JsonValue v;
        v.kind = JsonValue::Kind::integer;
        v.text = std::to_string(n);
        return v;
    };
    JsonValue status;
    status.kind = JsonValue::Kind::object;
    status.members = {{"last_cycle_utc", text(report.updated_at_utc)},
                      {"outcome", text(report.outcome)},
                      {"detail", text(report.detail)},
                      {"subnets", whole(report.subnets)},
                      {"changes", whole(report.changes.size())},
                      {"outbox_size", whole(report.outbox_size)}};
    return status;
}

engine::FirstStep first_step(const Invocation& invocation, const config::Settings& settings) {
    if (invocation.snapshot) return engine::FirstStep::snapshot;
    if (invocation.no_snapshot) return engine::FirstStep::wait;
    auto values = records::load_values(settings.state_path);
    return std::holds_alternative<records::StoredValues>(values) ? engine::FirstStep::cycle
                                                                 : engine::FirstStep::snapshot;
}

config::Reloaded reload(const Invocation& invocation, const config::Settings& settings) {
    const config::Environment environment = environment_variable;
    config::PosixFiles files;
    const config::Sources sources{environment, files, [](std::string_view state_path) {
                                      return records::own_files(state_path, "");
                                  }};
    return config::reload_settings(invocation.flags, settings, sources);
}

std::optional<engine::JsonValue> record(Services& services,
                                        const std::function<engine::JsonValue()>& write) {
    try {
        return write();
    } catch (const std::exception& e) {
        services.console(std::string("[burn] cannot record the cycle: ") + e.what() + "\n");
    }
    return std::nullopt;
}

records::Counters kept_counters(const metrics::Counters& counters) {
    records::Counters kept;
    auto keep = [&](std::string name, std::uint64_t n) {
        kept.emplace_back(std::move(name), static_cast<std::int64_t>(std::min<std::uint64_t>(n, INT64_MAX)));
    };
    for (std::size_t k = 0; k < metrics::kOutcomes.size(); ++k)
        keep("cycles_" + std::string(metrics::kOutcomes[k]), counters.cycles[k]);
    keep("changes", counters.changes);
    for (std::size_t k = 0; k < metrics::kTelegramResults.size(); ++k)
        keep("telegram_" + std::string(metrics::kTelegramResults[k]), counters.telegram[k]);
    for (std::size_t d = 0; d < metrics::kDestinations.size(); ++d)
        for (std::size_t k = 0; k < metrics::kTelegramResults.size(); ++k)
            keep("messages_" + std::string(metrics::kDestinations[d]) + "_" +
                     std::string(metrics::kTelegramResults[k]),
                 counters.messages[d][k]);
    return kept;
}

metrics::Counters counters_kept(const records::Counters& kept) {
    metrics::Counters counters;
    for (const auto& [name, n] : kept) {
        if (n < 0) continue;
        const auto value = static_cast<std::uint64_t>(n);
        if (name == "changes") counters.changes = value;
        for (std::size_t k = 0; k < metrics::kOutcomes.size(); ++k)
            if (name == "cycles_" + std::string(metrics::kOutcomes[k])) counters.cycles[k] = value;
        for (std::size_t k = 0; k < metrics::kTelegramResults.size(); ++k)
            if (name == "telegram_" + std::string(metrics::kTelegramResults[k])) counters.telegram[k] = value;
        for (std::size_t d = 0; d < metrics::kDestinations.size(); ++d)
            for (std::size_t k = 0; k < metrics::kTelegramResults.size(); ++k)
                if (name == "messages_" + std::string(metrics::kDestinations[d]) + "_" +
                                std::string(metrics::kTelegramResults[k]))
                    counters.messages[d][k] = value;
    }
    return counters;
}

MonitorParts::MonitorParts(const Invocation& invocation, Console& console, const Clock& clock,
                           Signals& signals)
    : invocation_(invocation), console_(console), clock_(clock), signals_(signals) {}

MonitorParts::~MonitorParts() {
    if (bot_) bot_->close();
    bot_.reset();
    for (int fd : cancel_)
        if (fd >= 0) ::close(fd);
}

std::optional<int> MonitorParts::start_exporter(const config::Settings& settings) {
    if (!settings.metrics_listen) return std::nullopt;
    const config::Picked& listen = *settings.metrics_listen;
    auto address = metrics::parse_listen(listen.value);
    if (auto* why = std::get_if<std::string>(&address)) {
        console_.say_plain(usage_error("watch", {listen.origin + ": " + burns::repr(listen.value) + " " + *why}));
        return 2;
    }
    metrics::Resume resume;
    if (std::optional<engine::JsonValue> status = records::read_status(settings.state_path)) {
        auto time_of = [&](const char* key) -> std::optional<double> {
            const engine::JsonValue* v = status->get(key);
            return v && v->is_text() ? metrics::utc_seconds(v->text) : std::nullopt;
        };
        resume.last_cycle = time_of("last_cycle_utc");
        resume.last_success = time_of("last_ok_utc");
        resume.outbox_oldest = time_of("outbox_oldest_utc");
        if (const engine::JsonValue* n = status->get("outbox_size"); n && n->kind == engine::JsonValue::Kind::integer)
            resume.outbox_size = std::stoull(n->text);
        resume.counters = counters_kept(records::read_counters(*status));
    }
    if (auto values = records::load_values(settings.state_path);
        std::holds_alternative<records::StoredValues>(values))
        resume.values = std::get<records::StoredValues>(values).burns;
    const std::string state_path = settings.state_path;
    // Judged on the program's clock, the one the records were written on.
    const Clock& clock = clock_;
    const std::string boot = native::PosixServices().boot_id();
    metrics::HealthCheck health = [state_path, &clock, boot]() {
        const std::optional<engine::JsonValue> status = records::read_status(state_path);
        const records::Health h = records::assess(status ? &*status : nullptr,
                                                  records::Clock{clock.wall(), boot, clock.monotonic()});
        return metrics::HealthVerdict{h.ok, h.problems};
    };
    metrics::ExporterOptions options;
    options.clock = [&clock] { return clock.wall(); };
    auto started = metrics::Exporter::start(std::get<metrics::Address>(address), resume, health,
                                            std::move(options));
    if (auto* why = std::get_if<std::string>(&started)) {
        console_.say(std::string(kProgram) + " watch: error: " + listen.origin + ": cannot listen on " +
                     metrics::format_address(std::get<metrics::Address>(address)) + ": " + *why + "\n");
        return 2;
    }
    exporter_ = std::move(std::get<std::unique_ptr<metrics::Exporter>>(started));
    return std::nullopt;
}

void MonitorParts::observe(const engine::CycleReport& report, const std::string& state_path) {
    if (!exporter_) return;
    std::optional<burns::BurnMap> stored;
    if (auto values = records::load_values(state_path); std::holds_alternative<records::StoredValues>(values))
        stored = std::get<records::StoredValues>(values).burns;
    exporter_->series().observe(report, stored);
}

std::optional<records::Counters> MonitorParts::counters() const {
    if (!exporter_) return std::nullopt;
    return kept_counters(exporter_->series().counters());
}

// The chats the outbox file knows Telegram moved, and the pauses it asked for: the bot answers
// a moved chat under its new id and honours a pause from before the start, before the first
// cycle brings them in.
void MonitorParts::seed_holds(const std::string& state_path) {
    const std::optional<std::string> text =
        records::read_regular(records::outbox_path(state_path), std::size_t{64} << 20);
    if (!text) return;
    std::variant<engine::Outbox, std::string> box = engine::read_outbox(*text);
    const auto* outbox = std::get_if<engine::Outbox>(&box);
    if (!outbox) return;  // the first cycle moves it aside and says so
    engine::take_outbox_holds(holds_, *outbox, clock_.wall(), clock_.monotonic());
}

void MonitorParts::start_bot(const config::Settings& settings) {
    seed_holds(settings.state_path);
    if (::pipe2(cancel_, O_CLOEXEC | O_NONBLOCK) != 0) {
        console_.say("[bot] not answering commands: no pipe for the bot's threads\n");
        return;
    }
    poll_services_ = std::make_unique<ProgramServices>(console_, clock_, nullptr, cancel_[0]);
    answer_services_ = std::make_unique<ProgramServices>(console_, clock_, nullptr, cancel_[0]);
    answerer_ = std::make_unique<RecordAnswers>(settings.state_path, *answer_services_);
    charts_ = std::make_unique<native::ChartChild>(native::find_interpreter(native::program_dir()),
                                                   std::string(), cancel_[0]);
    bot::BotSettings b;
    b.token = settings.token;
    b.api_base = telegram_api_base();
    b.offset_path = records::bot_offset_path(settings.state_path);
    // The bot answers in the routes' Telegram chats; other destinations cannot ask it anything.
    for (const auto& route : settings.config.routes)
        if (route.kind == routes::DestinationKind::telegram) b.access.chats.push_back(route.chat_id);
    b.access.users = settings.bot_allow_users;
    b.verbose = invocation_.verbose;
    Signals& signals = signals_;
    const int writer = cancel_[1];
    bot::BotHooks hooks{[&signals] { signals.poke(); },
                        [writer] { [[maybe_unused]] ssize_t n = ::write(writer, "x", 1); }};
    bot_ = std::make_unique<bot::Bot>(std::move(b), *poll_services_, *answer_services_, holds_,
                                      *answerer_, charts_.get(), std::move(hooks));
    bot_->start();
}

double MonitorParts::serve_bot_note(const std::string& state_path, Services& services) {
    if (!bot_) return 0;
    std::optional<std::string> note = bot_->note();
    if (note == noted_) return 0;
    noted_ = note;
    record(services, [&] { return records::record_bot(state_path, note, clock_reading(services)); });
    return 0;
}

void MonitorParts::reconfigure(const config::Settings& settings) {
    if (!bot_) return;
    bot::AccessList access;
    for (const auto& route : settings.config.routes)
        if (route.kind == routes::DestinationKind::telegram) access.chats.push_back(route.chat_id);
    access.users = settings.bot_allow_users;
    bot_->set_access(std::move(access));
}

}  // namespace emberscope::program
