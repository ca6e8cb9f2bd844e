// Host-facing operations of the monitor module.
#include "host/monitor_ops.hpp"

#include <Python.h>

#include <cmath>
#include <limits>
#include <optional>

#include "config/route_rules.hpp"
#include "engine/cycle.hpp"
#include "engine/state.hpp"
#include "engine/outbox.hpp"
#include "routes/quiet_hours.hpp"
#include "host/command_services.hpp"
#include "host/error.hpp"
#include "host/host_services.hpp"

namespace emberscope::host {
namespace {

// A setting the engine cannot work with is refused before anything is done.
void check_positive(const char* name, double value, bool zero_allowed) {
    const bool ok = std::isfinite(value) && (value > 0 || (zero_allowed && value == 0));
    if (!ok)
        throw_value_error(std::string(name) + " must be a finite number " +
                          (zero_allowed ? ">= 0" : "> 0") + ", not " + real(value).repr());
}

// A whole number that fits in 64 bits, or the error naming `what`.
std::int64_t whole_of(const Object& value, const std::string& what) {
    if (value.kind() != Kind::integer) throw_type_error(what + " must be an int, not " + value.type_name());
    const std::optional<std::int64_t> n = value.small_integer();
    if (!n) throw_value_error(what + " is out of range: " + value.repr());
    return *n;
}

double number_of(const Object& value, const std::string& what) {
    if (value.kind() != Kind::integer && value.kind() != Kind::real)
        throw_type_error(what + " must be a number, not " + value.type_name());
    const double d = value.real();
    check_positive(what.c_str(), d, true);
    return d;
}

// One route dict: "chat_id" (str) and the optional "threshold", "netuids" (list of int or
// None), "min_relative_change", "silent" (bool), "thread_id" (int or None) and "quiet_hours"
// ("HH:MM-HH:MM" or None). Other keys are refused: a misspelt rule would be silently dropped.
routes::Route route_of(const Object& item, std::size_t index, double default_threshold) {
    const std::string name = "routes[" + std::to_string(index) + "]";
    if (item.kind() != Kind::map) throw_type_error(name + " must be a dict, not " + item.type_name());
    routes::Route route;
    route.threshold = default_threshold;
    bool has_chat = false;
    for (const auto& [key, value] : item.items()) {
        if (key.kind() != Kind::text) throw_type_error(name + " has a key that is not a str");
        const std::string k = key.text();
        const std::string what = name + "[" + key.repr() + "]";
        if (k == "chat_id") {
            if (value.kind() != Kind::text) throw_type_error(what + " must be a str, not " + value.type_name());
            route.chat_id = value.text();
            has_chat = !route.chat_id.empty();
        } else if (k == "threshold") {
            route.threshold = number_of(value, what);
        } else if (k == "min_relative_change") {
            route.min_relative_change = number_of(value, what);
        } else if (k == "silent") {
            if (value.kind() != Kind::boolean) throw_type_error(what + " must be a bool, not " + value.type_name());
            route.silent = value.truthy();
        } else if (k == "thread_id") {
            if (!value.is_null()) route.thread_id = whole_of(value, what);
        } else if (k == "netuids") {
            if (value.is_null()) continue;
            if (value.kind() != Kind::list) throw_type_error(what + " must be a list or None, not " + value.type_name());
            std::vector<std::int64_t> netuids;
            for (std::size_t i = 0; i < value.size(); ++i)
                netuids.push_back(whole_of(value.at(i), what + "[" + std::to_string(i) + "]"));
            route.netuids = std::move(netuids);
        } else if (k == "quiet_hours") {
            if (value.is_null()) continue;
            if (value.kind() != Kind::text) throw_type_error(what + " must be a str or None, not " + value.type_name());
            route.quiet_hours = routes::parse_quiet_hours(value.text());
            if (!route.quiet_hours) throw_value_error(what + " must be \"HH:MM-HH:MM\", not " + value.repr());
        } else {
            throw_value_error(name + " has an unknown key " + key.repr());
        }
    }
    if (!has_chat) throw_value_error(name + " has no \"chat_id\"");
    return route;
}

template <const auto& Params>
std::vector<routes::Route> routes_of(const Args& args, double default_threshold) {
    RawObject* given = args.raw<Params, "routes">();
    if (given == nullptr || given == Py_None) return {};
    const Object list = Object::borrow(given);
    if (list.size() == 0) throw_value_error("routes must not be empty");
    std::vector<routes::Route> out;
    for (std::size_t i = 0; i < list.size(); ++i) out.push_back(route_of(list.at(i), i, default_threshold));
    // The values, by the rules the configuration file is read with.
    if (const std::optional<std::string> error = config::check_routes(out)) throw_value_error("routes: " + *error);
    return out;
}

template <const auto& Params>
engine::CycleSettings settings_of(const Args& args) {
    engine::CycleSettings s;
    s.state_path = std::string(args.text<Params, "state_path">());
    s.token = std::string(args.text<Params, "burn_token">());
    s.chat_id = std::string(args.text<Params, "burn_chat_id">());
    s.pause_path = std::string(args.text<Params, "pause_path">());
    s.interval_seconds = args.real<Params, "interval_seconds">();
    s.outbox_max_age_seconds = args.real<Params, "outbox_max_age_seconds">();
    check_positive("interval_seconds", s.interval_seconds, false);
    check_positive("outbox_max_age_seconds", s.outbox_max_age_seconds, false);
    if (std::optional<double> budget = args.optional_real<Params, "wait_budget_seconds">()) {
        check_positive("wait_budget_seconds", *budget, true);
        s.wait_budget_seconds = *budget;
    }
    if (std::optional<double> deadline = args.optional_real<Params, "exchange_deadline_seconds">()) {
        check_positive("exchange_deadline_seconds", *deadline, false);
        s.exchange_deadline_seconds = *deadline;
    }
    if (std::optional<double> stale = args.optional_real<Params, "stale_after_minutes">()) {
        check_positive("stale_after_minutes", *stale, false);
        s.stale_after_seconds = *stale * 60;
    }
    return s;
}

Object report_dict(const engine::CycleReport& r) {
    Object d = new_map();
    d.set("outcome", text(r.outcome));
    d.set("detail", text(r.detail));
    d.set("updated_at_utc", text(r.updated_at_utc));
    d.set("subnets", integer(static_cast<std::int64_t>(r.subnets)));
    Object changes = new_list();
    for (const auto& c : r.changes)
        changes.append(text_list({c.netuid, c.old_burn, c.new_burn}));
    d.set("changes", changes);
    d.set("delivered", integer(static_cast<std::int64_t>(r.delivered)));
    d.set("telegram_failure", text(r.telegram_failure));
    d.set("outbox_size", integer(static_cast<std::int64_t>(r.outbox_size)));
    d.set("outbox_oldest_utc", r.outbox_oldest_utc ? text(*r.outbox_oldest_utc) : none());
    d.set("invalid_rows", integer(static_cast<std::int64_t>(r.invalid_rows)));
    d.set("chat_id", text(r.chat_id));
    Object routes = new_list();
    for (const engine::RouteReport& one : r.routes) {
        Object e = new_map();
        e.set("chat_id", text(one.chat_id));
        e.set("thread_id", one.thread_id ? integer(*one.thread_id) : none());
        e.set("queued", integer(static_cast<std::int64_t>(one.queued)));
        e.set("delivered", integer(static_cast<std::int64_t>(one.delivered)));
        e.set("held", integer(static_cast<std::int64_t>(one.held)));
        e.set("telegram_failure", text(one.telegram_failure));
        e.set("last_failure", text(one.last_failure));
        routes.append(e);
    }
    d.set("routes", routes);
    return d;
}

// Runs one of the engine's operations on the command's services, the lock released.
template <typename F>
Object released_report(F&& operation) {
    std::optional<engine::CycleReport> report;
    command_services().run_released([&] { report = operation(command_services()); });
    return report_dict(*report);
}

Redirects redirects_of(std::string_view rule) {
    if (rule == "follow") return Redirects::follow;
    if (rule == "keep_credentials_on_origin") return Redirects::keep_credentials_on_origin;
    if (rule == "none") return Redirects::none;
    throw_value_error("redirects must be 'follow', 'keep_credentials_on_origin' or 'none', not '" +
                      std::string(rule) + "'");
}

// A limit as the exchange takes it: negative for none.
std::size_t limit_of(std::int64_t bytes) {
    return bytes < 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(bytes);
}

}  // namespace

Object monitor_run_cycle(const Args& args) {
    engine::CycleSettings s = settings_of<kRunCycleParams>(args);
    s.threshold = args.real<kRunCycleParams, "threshold">();
    s.routes = routes_of<kRunCycleParams>(args, s.threshold);
    std::string_view muted = args.text<kRunCycleParams, "muted">();
    while (!muted.empty()) {
        const std::size_t comma = muted.find(',');
        if (std::string_view item = muted.substr(0, comma); !item.empty())
            s.muted.emplace_back(item);
        muted = comma == std::string_view::npos ? std::string_view() : muted.substr(comma + 1);
    }
    return released_report([&](Services& services) { return engine::run_cycle(services, s); });
}

Object monitor_run_snapshot(const Args& args) {
    engine::CycleSettings s = settings_of<kRunSnapshotParams>(args);
    s.routes = routes_of<kRunSnapshotParams>(args, 0);
    return released_report([&](Services& services) { return engine::run_snapshot(services, s); });
}

Object monitor_read_state(const Args& args) {
    const std::string path(args.text<kReadStateParams, "state_path">());
    // Only a missing file means "no state yet": one that cannot be read raises its own error.
    const FileText file = services().read_text_file(path);
    if (file.kind == FileText::Kind::missing) return none();
    if (file.original) std::rethrow_exception(file.original);
    if (file.kind != FileText::Kind::text)
        throw_value_error("cannot read the state file " + path + ": " + file.text);
    auto read = engine::read_state_document(file.text);
    if (auto* reason = std::get_if<std::string>(&read))
        throw_value_error("cannot read the state file " + path + ": " + *reason);
    const engine::StateDocument& state = std::get<engine::StateDocument>(read);
    Object values = new_map();
    for (const auto& [key, value] : state.burns) values.set(key, text(value));
    return tuple({values, state.updated_at ? text(*state.updated_at) : none()});
}

Object monitor_http_exchange(const Args& args) {
    HttpRequest request;
    request.method = std::string(args.text<kExchangeParams, "method">());
    request.url = std::string(args.text<kExchangeParams, "url">());
    request.body = std::string(args.text<kExchangeParams, "body">());
    const std::string_view authorization = args.text<kExchangeParams, "authorization">();
    if (!authorization.empty()) request.headers.emplace_back("Authorization", authorization);
    request.timeout_seconds = static_cast<double>(args.whole<kExchangeParams, "timeout">());
    request.max_body_bytes = limit_of(args.whole<kExchangeParams, "body_limit">());
    request.max_error_body_bytes = limit_of(args.whole<kExchangeParams, "error_body_limit">());
    request.deadline_seconds = args.real<kExchangeParams, "deadline_seconds">();
    request.redirects = redirects_of(args.text<kExchangeParams, "redirects">());
    HttpAnswer answer;
    command_services().run_released([&] { answer = command_services().http(request); });
    if (answer.failure) raise_transport_failure(*answer.failure);
    return tuple({integer(answer.status), bytes(answer.body), boolean(answer.body_over_limit)});
}

}  // namespace emberscope::host
