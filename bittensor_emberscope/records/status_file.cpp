// The status file.
#include "records/status_file.hpp"

#include <unistd.h>

#include "native/posix_files.hpp"
#include "records/files.hpp"
#include "records/values.hpp"

namespace emberscope::records {

namespace {

constexpr std::string_view kClock = "clock";
constexpr std::string_view kBoot = "boot";
constexpr std::string_view kRoutes = "routes";

long own_pid(long pid) { return pid > 0 ? pid : static_cast<long>(::getpid()); }

JsonValue integer(long long n) { return JsonValue::make_integer(n); }

JsonValue member_or_null(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.get(key);
    return value ? *value : null_value();
}

JsonValue write_status(std::string_view state_path, JsonValue status, const Clock& now) {
    status.set("format", integer(kStatusFormat));
    status.set("written_utc", JsonValue::make_text(format_utc(now.epoch)));
    native::replace_file_atomically(status_path(state_path), engine::dump_json(status, {.indent = 2}) + "\n");
    return status;
}

// The monotonic readings of the status's times, kept for the boot of `now` only.
JsonValue& clock_of(JsonValue& status, const Clock& now) {
    const JsonValue* clock = status.get(kClock);
    const std::string* boot = clock ? text_of(clock->get(kBoot)) : nullptr;
    if (!clock || !clock->is_object() || !boot || *boot != now.boot) {
        JsonValue fresh = JsonValue::make_object();
        fresh.set(std::string(kBoot), JsonValue::make_text(now.boot));
        status.set(std::string(kClock), std::move(fresh));
    }
    for (auto& [key, value] : status.members)
        if (key == kClock) return value;
    return status;  // not reached: set() above made it
}

// Sets the time member `key` to `epoch` (null for nullopt) with its monotonic reading.
void set_time(JsonValue& status, std::string_view key, std::optional<double> epoch, const Clock& now) {
    if (!epoch) {
        status.set(std::string(key), null_value());
        if (JsonValue* clock = status.get(kClock) ? &clock_of(status, now) : nullptr)
            remove_member(*clock, key);
        return;
    }
    const std::string text = format_utc(*epoch);
    status.set(std::string(key), JsonValue::make_text(text));
    if (now.boot.empty()) return;
    JsonValue reading = list_value();
    reading.items.push_back(JsonValue::make_text(text));
    reading.items.push_back(real_value(moment_at(*epoch, now).monotonic));
    clock_of(status, now).set(std::string(key), std::move(reading));
}

// Keeps the reading `previous` had for its time member `key`, when `status` holds the same time.
void carry_time(const JsonValue& previous, JsonValue& status, std::string_view key, const Clock& now) {
    if (now.boot.empty()) return;
    const JsonValue* old_clock = previous.get(kClock);
    const JsonValue* reading = old_clock ? old_clock->get(key) : nullptr;
    const std::string* boot = old_clock ? text_of(old_clock->get(kBoot)) : nullptr;
    if (!reading || !boot || *boot != now.boot || !same_value(previous.get(key), status.get(key)))
        return;
    clock_of(status, now).set(std::string(key), *reading);
}

JsonValue netuid_list(const routes::Route& rule) {
    if (!rule.netuids) return null_value();
    JsonValue list = list_value();
    for (const std::int64_t n : *rule.netuids) list.items.push_back(integer(n));
    return list;
}

JsonValue thread_value(std::optional<std::int64_t> thread) {
    return thread ? integer(*thread) : null_value();
}

// The previous route entry of that chat and topic (the last one, as a mapping of them keeps).
const JsonValue* previous_route(const JsonValue* routes, const std::string& chat,
                                std::optional<std::int64_t> thread) {
    const JsonValue* found = nullptr;
    if (!routes || !routes->is_array()) return nullptr;
    const JsonValue chat_value = JsonValue::make_text(chat);
    const JsonValue thread_json = thread_value(thread);
    for (const JsonValue& r : routes->items)
        if (r.is_object() && same_value(r.get("chat_id"), &chat_value) &&
            same_value(r.get("thread_id"), &thread_json))
            found = &r;
    return found;
}

JsonValue route_entry(const std::string& chat, std::optional<std::int64_t> thread,
                      const routes::Route* rule) {
    JsonValue entry = JsonValue::make_object();
    entry.set("chat_id", JsonValue::make_text(chat));
    entry.set("thread_id", thread_value(thread));
    entry.set("netuids", rule ? netuid_list(*rule) : null_value());
    entry.set("threshold", rule ? real_value(rule->threshold) : null_value());
    return entry;
}

JsonValue route_status(const engine::CycleReport& report, const std::vector<routes::Route>& rules,
                       const JsonValue* previous, const std::string& stamp) {
    JsonValue out = list_value();
    for (std::size_t i = 0; i < report.routes.size(); ++i) {
        const engine::RouteReport& result = report.routes[i];
        const JsonValue* old = previous_route(previous, result.chat_id, result.thread_id);
        // A chat that migrated in this cycle was recorded under the id the route configures.
        if (!old && i < rules.size()) old = previous_route(previous, rules[i].chat_id, result.thread_id);
        const JsonValue none;
        if (!old) old = &none;
        const bool refused = result.telegram_failure == "refused" || result.telegram_failure == "gone";
        JsonValue entry = route_entry(result.chat_id, result.thread_id, i < rules.size() ? &rules[i] : nullptr);
        entry.set("queued", integer(static_cast<long long>(result.queued)));
        entry.set("held", integer(static_cast<long long>(result.held)));
        entry.set("telegram_failure", JsonValue::make_text(result.telegram_failure));
        entry.set("last_delivery_utc",
                  result.delivered ? JsonValue::make_text(stamp) : member_or_null(*old, "last_delivery_utc"));
        entry.set("last_refusal_utc",
                  refused ? JsonValue::make_text(stamp) : member_or_null(*old, "last_refusal_utc"));
        entry.set("last_refusal",
                  refused ? JsonValue::make_text(result.last_failure) : member_or_null(*old, "last_refusal"));
        out.items.push_back(std::move(entry));
    }
    return out;
}

JsonValue counters_value(const Counters& counters) {
    JsonValue out = JsonValue::make_object();
    for (const auto& [name, total] : counters) out.set(name, integer(total));
    return out;
}

}  // namespace

std::optional<JsonValue> read_status(std::string_view state_path) {
    const std::optional<std::string> bytes = read_regular(status_path(state_path));
    if (!bytes || !engine::is_utf8(*bytes)) return std::nullopt;
    auto parsed = engine::parse_json(*bytes);
    JsonValue* status = std::get_if<JsonValue>(&parsed);
    if (!status || !status->is_object()) return std::nullopt;
    return std::move(*status);
}

JsonValue record_cycle(std::string_view state_path, const engine::CycleReport& report,
                       const CycleContext& context, const Clock& now) {
    const std::string stamp = report.updated_at_utc.empty() ? format_utc(now.epoch) : report.updated_at_utc;
    append_history(state_path, stamp, report.changes, context.history_max_bytes);
    append_history(state_path, stamp, report.unconfirmed, context.history_max_bytes, true);
    const JsonValue previous = read_status(state_path).value_or(JsonValue::make_object());
    const std::string outcome = report.outcome.empty() ? std::string(engine::kOutcomeError) : report.outcome;
    const bool ok = outcome == engine::kOutcomeOk;
    const bool looping = context.next_cycle.has_value();

    JsonValue status = JsonValue::make_object();
    status.set("last_cycle_utc", JsonValue::make_text(stamp));
    status.set("outcome", JsonValue::make_text(outcome));
    status.set("detail", JsonValue::make_text(report.detail));
    status.set("subnets", integer(static_cast<long long>(report.subnets)));
    status.set("changes", integer(static_cast<long long>(report.changes.size())));
    status.set("delivered", integer(static_cast<long long>(report.delivered)));
    status.set("outbox_size", integer(static_cast<long long>(report.outbox_size)));
    status.set("outbox_oldest_utc", text_or_null(report.outbox_oldest_utc));
    status.set("invalid_rows", integer(static_cast<long long>(report.invalid_rows)));
    if (!report.chat_id.empty()) status.set("chat_id", JsonValue::make_text(report.chat_id));
    else if (truthy(previous.get("chat_id"))) status.set("chat_id", *previous.get("chat_id"));
    else status.set("chat_id", JsonValue::make_text(""));
    status.set("consecutive_failures", integer(ok ? 0 : int_of(previous.get("consecutive_failures")) + 1));
    status.set("last_ok_utc", ok ? JsonValue::make_text(stamp) : member_or_null(previous, "last_ok_utc"));
    status.set("interval_seconds", real_value(context.interval_seconds));
    status.set("next_cycle_utc", looping ? JsonValue::make_text(format_utc(*context.next_cycle)) : null_value());
    status.set("loop", looping ? member_or_null(previous, "loop") : null_value());
    status.set("pid", looping ? member_or_null(previous, "pid") : integer(own_pid(context.pid)));
    status.set("started_utc", looping ? member_or_null(previous, "started_utc") : null_value());
    if (looping && truthy(previous.get("bot"))) status.set("bot", *previous.get("bot"));
    const JsonValue* previous_routes = previous.get(kRoutes);
    if (previous_routes && !previous_routes->is_array()) previous_routes = nullptr;
    if (!report.routes.empty())
        status.set(std::string(kRoutes), route_status(report, context.routes, previous_routes, stamp));
    else if (previous_routes && !previous_routes->items.empty())
        // A cycle that ended before the engine ran (an error): what was known stays.
        status.set(std::string(kRoutes), *previous_routes);
    if (context.counters) status.set("counters", counters_value(*context.counters));
    else if (const JsonValue* kept = previous.get("counters"); kept && kept->is_object())
        status.set("counters", *kept);

    if (!now.boot.empty()) {
        if (const std::optional<double> at = parse_utc(stamp)) {
            JsonValue reading = list_value();
            reading.items.push_back(JsonValue::make_text(stamp));
            reading.items.push_back(real_value(moment_at(*at, now).monotonic));
            clock_of(status, now).set("last_cycle_utc", reading);
            if (ok) clock_of(status, now).set("last_ok_utc", reading);
        }
        if (!ok) carry_time(previous, status, "last_ok_utc", now);
        if (looping) {
            set_time(status, "next_cycle_utc", context.next_cycle, now);
            carry_time(previous, status, "started_utc", now);
        }
    }
    return write_status(state_path, std::move(status), now);
}

JsonValue record_loop(std::string_view state_path, std::string_view loop, double interval_seconds,
                      std::optional<double> next_cycle, const Clock& now, long pid) {
    JsonValue status = read_status(state_path).value_or(JsonValue::make_object());
    status.set("loop", JsonValue::make_text(std::string(loop)));
    status.set("interval_seconds", real_value(interval_seconds));
    status.set("pid", integer(own_pid(pid)));
    if (loop == kLoopRunning) {
        set_time(status, "started_utc", now.epoch, now);
        set_time(status, "next_cycle_utc", next_cycle, now);
    } else {
        set_time(status, "next_cycle_utc", std::nullopt, now);
    }
    return write_status(state_path, std::move(status), now);
}

JsonValue record_bot(std::string_view state_path, const std::optional<std::string>& note, const Clock& now) {
    JsonValue status = read_status(state_path).value_or(JsonValue::make_object());
    if (note && !note->empty()) status.set("bot", JsonValue::make_text(*note));
    else remove_member(status, "bot");
    return write_status(state_path, std::move(status), now);
}

JsonValue record_routes(std::string_view state_path, const std::vector<routes::Route>& routes,
                        const std::vector<std::pair<std::string, std::string>>& migrations,
                        const Clock& now) {
    JsonValue status = read_status(state_path).value_or(JsonValue::make_object());
    engine::Outbox moves;
    moves.migrations = migrations;
    const JsonValue* previous = status.get(kRoutes);
    JsonValue out = list_value();
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const routes::Route& rule = routes[i];
        const std::string chat = moves.chat_for(rule.chat_id);
        const JsonValue* old = previous_route(previous, chat, rule.thread_id);
        if (!old && chat != rule.chat_id) old = previous_route(previous, rule.chat_id, rule.thread_id);
        JsonValue entry = route_entry(chat, rule.thread_id, &rule);
        entry.set("queued", old ? JsonValue::make_integer(int_of(old->get("queued"))) : integer(0));
        entry.set("held", old ? JsonValue::make_integer(int_of(old->get("held"))) : integer(0));
        const std::string* failure = old ? text_of(old->get("telegram_failure")) : nullptr;
        entry.set("telegram_failure", JsonValue::make_text(failure ? *failure : ""));
        for (const char* key : {"last_delivery_utc", "last_refusal_utc", "last_refusal"})
            entry.set(key, old ? member_or_null(*old, key) : null_value());
        out.items.push_back(std::move(entry));
    }
    if (!routes.empty()) status.set("chat_id", JsonValue::make_text(moves.chat_for(routes.front().chat_id)));
    status.set(std::string(kRoutes), std::move(out));
    return write_status(state_path, std::move(status), now);
}

Counters read_counters(const JsonValue& status) {
    Counters out;
    const JsonValue* counters = status.get("counters");
    if (!counters || !counters->is_object()) return out;
    for (const auto& [name, value] : counters->members)
        if (value.kind == JsonValue::Kind::integer && value.text.size() <= 18)
            out.emplace_back(name, std::stoll(value.text));
    return out;
}

std::optional<Moment> status_moment(const JsonValue& status, std::string_view key) {
    const std::string* text = text_of(status.get(key));
    const std::optional<double> epoch = text ? parse_utc(*text) : std::nullopt;
    if (!epoch) return std::nullopt;
    Moment moment{*epoch, "", 0};
    const JsonValue* clock = status.get(kClock);
    const std::string* boot = clock ? text_of(clock->get(kBoot)) : nullptr;
    const JsonValue* reading = clock ? clock->get(key) : nullptr;
    if (boot && !boot->empty() && reading && reading->is_array() && reading->items.size() == 2 &&
        reading->items[0].is_text() && reading->items[0].text == *text) {
        if (const std::optional<double> monotonic = number_of(&reading->items[1])) {
            moment.boot = *boot;
            moment.monotonic = *monotonic;
        }
    }
    return moment;
}

}  // namespace emberscope::records
