// Host-facing operations of the monitor module.
#include "host/monitor_ops.hpp"

#include <cmath>

#include "engine/cycle.hpp"
#include "engine/state.hpp"
#include "host/error.hpp"
#include "host/host_services.hpp"
#include "host/http.hpp"

namespace emberscope::host {
namespace {

// A setting the engine cannot work with is refused before anything is done.
void check_positive(const char* name, double value, bool zero_allowed) {
    const bool ok = std::isfinite(value) && (value > 0 || (zero_allowed && value == 0));
    if (!ok)
        throw_value_error(std::string(name) + " must be a finite number " +
                          (zero_allowed ? ">= 0" : "> 0") + ", not " + real(value).repr());
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
    return d;
}

}  // namespace

Object monitor_run_cycle(const Args& args) {
    engine::CycleSettings s = settings_of<kRunCycleParams>(args);
    s.threshold = args.real<kRunCycleParams, "threshold">();
    std::string_view muted = args.text<kRunCycleParams, "muted">();
    while (!muted.empty()) {
        const std::size_t comma = muted.find(',');
        if (std::string_view item = muted.substr(0, comma); !item.empty())
            s.muted.emplace_back(item);
        muted = comma == std::string_view::npos ? std::string_view() : muted.substr(comma + 1);
    }
    return report_dict(engine::run_cycle(services(), s));
}

Object monitor_run_snapshot(const Args& args) {
    return report_dict(engine::run_snapshot(services(), settings_of<kRunSnapshotParams>(args)));
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
    ExchangeOptions options;
    options.timeout_seconds = args.whole<kExchangeParams, "timeout">();
    options.body_limit = args.whole<kExchangeParams, "body_limit">();
    options.deadline_seconds = args.real<kExchangeParams, "deadline_seconds">();
    const HttpOutcome outcome =
        http_exchange(http_request(args.text<kExchangeParams, "url">(), new_map()), options);
    if (!outcome.http_error.empty()) {
        return tuple({outcome.http_error.attr("code"),
                      outcome.error_body ? *outcome.error_body : none(),
                      boolean(outcome.error_over_limit)});
    }
    return tuple({integer(outcome.status), outcome.body, boolean(outcome.over_limit)});
}

}  // namespace emberscope::host
