// The health of the monitor, from its status file.
#include "records/health.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "records/files.hpp"
#include "records/status_file.hpp"
#include "records/values.hpp"

namespace emberscope::records {

namespace {

// Netuids shown in a route's line before the rest is counted.
constexpr std::size_t kShownSubnetPieces = 12;

bool is_loop(const JsonValue* loop, std::string_view state) {
    const std::string* text = text_of(loop);
    return text && *text == state;
}

// "<stamp> (N ago)" or "<stamp> (in N)"; "(none)" for a member that is not a time.
std::string when(const JsonValue& where, std::string_view key, const Clock& now, bool with_clock) {
    std::optional<Moment> moment = status_moment(where, key);
    if (!moment) return "(none)";
    if (!with_clock) moment->boot.clear();
    const double delta = seconds_since(*moment, now);
    const std::string relative = delta >= 0 ? span_text(delta) + " ago" : "in " + span_text(-delta);
    return str_of(where.get(key)) + " (" + relative + ")";
}

std::string describe_route(const JsonValue& route, const Clock& now) {
    std::string text = "chat " + str_of(route.get("chat_id"));
    const JsonValue* thread = route.get("thread_id");
    if (thread && thread->kind != JsonValue::Kind::null) text += " topic " + str_of(thread);
    text += ", " + describe_subnets(route.get("netuids"));
    if (const std::optional<double> threshold = number_of(route.get("threshold")))
        text += ", threshold " + general_form(*threshold);
    text += "; " + std::to_string(int_of(route.get("queued"))) + " queued";
    if (const long long held = int_of(route.get("held")))
        text += ", " + std::to_string(held) + " held for the digest";
    text += "; last delivery " + when(route, "last_delivery_utc", now, false);
    if (truthy(route.get("last_refusal_utc")))
        text += "; last refusal " + when(route, "last_refusal_utc", now, false) + ": " +
                str_of(route.get("last_refusal"));
    return text;
}

}  // namespace

Health assess(const JsonValue* status, const Clock& now, std::optional<bool> alive) {
    if (!status) return {false, {"no cycle recorded yet"}};
    Health health;
    double interval = 300;
    if (const std::optional<double> n = number_of(status->get("interval_seconds")); n && *n > 0) interval = *n;
    const std::optional<Moment> last = status_moment(*status, "last_cycle_utc");
    const std::optional<Moment> started = status_moment(*status, "started_utc");
    // The more recent of the two; the last cycle when they are the same moment.
    std::optional<Moment> reference = last;
    bool is_last = bool(last);
    if (started && (!last || seconds_since(*started, now) < seconds_since(*last, now))) {
        reference = started;
        is_last = false;
    }
    if (!reference) {
        health.problems.push_back("no cycle recorded yet");
    } else {
        const double age = seconds_since(*reference, now);
        if (age < -kFutureSlackSeconds) {
            health.problems.push_back(std::string("clock: ") + (is_last ? "the last cycle" : "the start of watch") +
                                      " is recorded " + span_text(-age) + " in the future (" +
                                      format_utc(reference->epoch) + "); was the clock set back?");
        } else if (age > kStaleAfterIntervals * interval) {
            health.problems.push_back(std::string("stale: ") + (is_last ? "last cycle" : "watch started") + " " +
                                      span_text(age) + " ago, more than " +
                                      std::to_string(kStaleAfterIntervals) + " intervals (" +
                                      span_text(kStaleAfterIntervals * interval) + ")");
        }
    }
    const long long failures = int_of(status->get("consecutive_failures"));
    if (failures >= kFailingAfter) {
        const JsonValue* detail = status->get("detail");
        health.problems.push_back("failing: the last " + std::to_string(failures) + " cycles failed (" +
                                  str_of(status->get("outcome")) + ": " +
                                  (truthy(detail) ? str_of(detail) : std::string("no detail")) + ")");
    }
    const JsonValue* loop = status->get("loop");
    if (is_loop(loop, kLoopPaused) || is_loop(loop, kLoopStopped)) {
        health.problems.push_back("not running: watch " + str_of(loop) + " at " + str_of(status->get("written_utc")));
    } else if (is_loop(loop, kLoopRunning) && alive == false) {
        health.problems.push_back("not running: watch (pid " + str_of(status->get("pid")) +
                                  ") is gone without recording an end (killed or crashed)");
    }
    health.ok = health.problems.empty();
    return health;
}

std::string describe_subnets(const JsonValue* netuids) {
    if (!netuids || !netuids->is_array()) return "every subnet";
    // Whole numbers are shown in order, runs as ranges; any other list as it is.
    std::vector<long long> numbers;
    bool all_whole = true;
    for (const JsonValue& n : netuids->items) {
        if (n.kind != JsonValue::Kind::integer || n.text.size() > 18) {
            all_whole = false;
            break;
        }
        numbers.push_back(std::stoll(n.text));
    }
    std::vector<std::string> pieces;
    std::vector<std::size_t> counts;  // subnets each piece stands for
    if (all_whole) {
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        for (std::size_t i = 0; i < numbers.size();) {
            std::size_t j = i;
            while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
            if (j - i >= 2) {
                pieces.push_back(std::to_string(numbers[i]) + "-" + std::to_string(numbers[j]));
                counts.push_back(j - i + 1);
            } else {
                for (std::size_t k = i; k <= j; ++k) {
                    pieces.push_back(std::to_string(numbers[k]));
                    counts.push_back(1);
                }
            }
            i = j + 1;
        }
    } else {
        for (const JsonValue& n : netuids->items) {
            pieces.push_back(engine::host_str(n));
            counts.push_back(1);
        }
    }
    std::string text = "subnets ";
    const std::size_t shown = std::min(pieces.size(), kShownSubnetPieces);
    std::size_t left = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i < shown) text += (i ? ", " : "") + pieces[i];
        else left += counts[i];
    }
    if (left) text += ", and " + std::to_string(left) + " more";
    return text;
}

std::vector<Row> describe(const JsonValue& status, const Clock& now, std::optional<bool> alive) {
    std::vector<Row> rows;
    const JsonValue* loop = status.get("loop");
    const std::string pid = str_of(status.get("pid"));
    const std::string started = str_of(status.get("started_utc"));
    if (is_loop(loop, kLoopRunning) && alive == false)
        rows.emplace_back("watch", "gone (pid " + pid + " recorded as running, started " + started + ")");
    else if (truthy(loop))
        rows.emplace_back("watch", str_of(loop) + " (pid " + pid + ", started " + started + ")");
    if (truthy(status.get("last_cycle_utc"))) {
        const JsonValue* detail = status.get("detail");
        rows.emplace_back("last cycle", when(status, "last_cycle_utc", now, true) + ": " +
                                            str_of(status.get("outcome")) +
                                            (truthy(detail) ? ": " + str_of(detail) : std::string()));
        std::string seen = std::to_string(int_of(status.get("subnets"))) + " subnets, " +
                           std::to_string(int_of(status.get("changes"))) + " changed, " +
                           std::to_string(int_of(status.get("delivered"))) + " message(s) delivered";
        if (const long long invalid = int_of(status.get("invalid_rows")))
            seen += ", " + std::to_string(invalid) + " invalid row(s)";
        rows.emplace_back("seen", seen);
        if (const long long failures = int_of(status.get("consecutive_failures")))
            rows.emplace_back("failures", std::to_string(failures) + " in a row; last good cycle " +
                                              when(status, "last_ok_utc", now, true));
        const long long size = int_of(status.get("outbox_size"));
        rows.emplace_back("outbox", size ? std::to_string(size) + " waiting, oldest " +
                                               when(status, "outbox_oldest_utc", now, true)
                                         : std::string("empty"));
    } else {
        rows.emplace_back("last cycle", "(none yet)");
    }
    if (truthy(status.get("next_cycle_utc"))) {
        std::string text = when(status, "next_cycle_utc", now, true);
        if (text.ends_with(" ago)")) text.replace(text.find('('), 1, "(overdue: due ");
        rows.emplace_back("next cycle", text);
    }
    if (truthy(status.get("chat_id"))) rows.emplace_back("chat", str_of(status.get("chat_id")));
    if (const JsonValue* routes = status.get("routes"); routes && routes->is_array()) {
        std::size_t i = 0;
        for (const JsonValue& route : routes->items) {
            ++i;
            if (route.is_object()) rows.emplace_back("route " + std::to_string(i), describe_route(route, now));
        }
    }
    if (truthy(status.get("bot"))) rows.emplace_back("bot", str_of(status.get("bot")));
    return rows;
}

std::string summary(const JsonValue& status) {
    const JsonValue* last = status.get("last_cycle_utc");
    if (!truthy(last)) return "waiting for the first cycle";
    const std::string* outcome = text_of(status.get("outcome"));
    std::string text;
    if (outcome && *outcome == engine::kOutcomeOk) {
        text = "cycle " + str_of(last) + ": " + std::to_string(int_of(status.get("subnets"))) + " subnets, " +
               std::to_string(int_of(status.get("changes"))) + " changed";
    } else {
        const JsonValue* detail = status.get("detail");
        text = "cycle " + str_of(last) + ": " + str_of(status.get("outcome")) +
               (truthy(detail) ? " (" + str_of(detail) + ")" : std::string());
        if (const long long failures = int_of(status.get("consecutive_failures")); failures > 1)
            text += ", " + std::to_string(failures) + " failures in a row";
    }
    if (const long long waiting = int_of(status.get("outbox_size")))
        text += ", " + std::to_string(waiting) + " waiting in the outbox";
    return text;
}

std::optional<bool> watch_alive(std::string_view state_path, const JsonValue* status) {
    if (!status || !is_loop(status->get("loop"), kLoopRunning)) return std::nullopt;
    const JsonValue* pid_value = status->get("pid");
    const long long pid = int_of(pid_value);
    if (!pid_value || pid_value->kind != JsonValue::Kind::integer || pid <= 0) return false;
    const std::optional<LockHolder> held = lock_holder(state_path);
    if (held && held->held && held->pid == pid) return true;
    if (held && !held->held) return false;
    // The lock is held by another run (a `once`), or cannot be read by this user.
    const std::optional<std::string> cmdline = read_regular("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmdline) return cmdline->find("emberscope") != std::string::npos;
    return false;
}

std::optional<std::string> next_cycle_text(const JsonValue& status) {
    const std::string* text = text_of(status.get("next_cycle_utc"));
    const std::optional<double> at = text ? parse_utc(*text) : std::nullopt;
    if (!at) return std::nullopt;
    const auto t = static_cast<std::time_t>(std::floor(*at));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char out[16];
    const std::size_t n = std::strftime(out, sizeof out, "%H:%M UTC", &tm);
    return std::string(out, n);
}

}  // namespace emberscope::records
