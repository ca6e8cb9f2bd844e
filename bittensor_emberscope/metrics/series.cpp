#include "metrics/series.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "burns/numeric.hpp"
#include "common/utf8.hpp"
#include "metrics/stamps.hpp"

namespace emberscope::metrics {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily family(std::string name, std::string help, MetricType type) {
    return MetricFamily{std::move(name), std::move(help), type, {}};
}

ClientMetric sample(double value, MetricType type, std::string label = {},
                    std::string label_value = {}) {
    ClientMetric metric;
    if (!label.empty()) metric.label.push_back({std::move(label), std::move(label_value)});
    (type == MetricType::Counter ? metric.counter.value : metric.gauge.value) = value;
    return metric;
}

MetricFamily single(std::string name, std::string help, MetricType type, double value) {
    MetricFamily out = family(std::move(name), std::move(help), type);
    out.metric.push_back(sample(value, type));
    return out;
}

template <std::size_t N>
MetricFamily labelled(std::string name, std::string help, std::string label,
                      const std::array<std::string_view, N>& values,
                      const std::array<std::uint64_t, N>& counts) {
    MetricFamily out = family(std::move(name), std::move(help), MetricType::Counter);
    for (std::size_t i = 0; i < N; ++i)
        out.metric.push_back(sample(static_cast<double>(counts[i]), MetricType::Counter, label,
                                    std::string(values[i])));
    return out;
}

}  // namespace

MonitorSeries::MonitorSeries(const Resume& start, WallClock clock)
    : clock_(std::move(clock)),
      counters_(start.counters),
      last_cycle_(start.last_cycle),
      last_success_(start.last_success),
      outbox_size_(start.outbox_size),
      outbox_oldest_(start.outbox_oldest),
      invalid_rows_(start.invalid_rows) {
    if (start.values) take_values(*start.values);
}

void MonitorSeries::take_values(const burns::BurnMap& stored) {
    std::vector<std::pair<std::string, double>> values;
    for (const auto& [netuid, text] : stored) {
        const std::optional<double> value = burns::parse_numeric_text(text);
        if (value && std::isfinite(*value)) values.emplace_back(netuid, *value);
    }
    std::sort(values.begin(), values.end(), [](const auto& a, const auto& b) {
        const std::size_t la = utf8::length(a.first), lb = utf8::length(b.first);
        return la != lb ? la < lb : a.first < b.first;
    });
    values_ = std::move(values);
    subnets_ = stored.size();
}

void MonitorSeries::observe(const engine::CycleReport& report,
                            const std::optional<burns::BurnMap>& stored) {
    const double now = utc_seconds(report.updated_at_utc).value_or(clock_());
    std::lock_guard lock(mutex_);
    counters_ = counted(counters_, report);
    last_cycle_ = now;
    if (report.outcome == engine::kOutcomeOk) last_success_ = now;
    outbox_size_ = report.outbox_size;
    outbox_oldest_ = report.outbox_oldest_utc ? utc_seconds(*report.outbox_oldest_utc) : std::nullopt;
    invalid_rows_ = report.invalid_rows;
    if (stored) take_values(*stored);
}

Counters MonitorSeries::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::vector<MetricFamily> MonitorSeries::Collect() const {
    const double now = clock_();
    std::lock_guard lock(mutex_);
    std::vector<MetricFamily> out;
    out.push_back(labelled("emberscope_cycles_total", "Cycles run, by outcome (kept across restarts with the status file)",
                           "outcome", kOutcomes, counters_.cycles));
    out.push_back(single("emberscope_changes_total",
                         "Owner burn changes beyond the threshold detected (kept across restarts with the status file)",
                         MetricType::Counter, static_cast<double>(counters_.changes)));
    out.push_back(labelled(
        "emberscope_telegram_messages_total",
        "Telegram messages by result: sent, refused by Telegram, or failed (no usable answer in "
        "time); a message that failed stays in the outbox and is counted again when it is sent",
        "result", kTelegramResults, counters_.telegram));
    {
        MetricFamily messages = family(
            "emberscope_messages_total",
            "Messages by kind of destination (telegram, discord, webhook) and result: sent, refused "
            "(a destination found gone included), or failed; a stop is counted once per route and "
            "cycle", MetricType::Counter);
        for (std::size_t d = 0; d < kDestinations.size(); ++d)
            for (std::size_t k = 0; k < kTelegramResults.size(); ++k) {
                ClientMetric metric;
                metric.label.push_back({"destination", std::string(kDestinations[d])});
                metric.label.push_back({"result", std::string(kTelegramResults[k])});
                metric.counter.value = static_cast<double>(counters_.messages[d][k]);
                messages.metric.push_back(std::move(metric));
            }
        out.push_back(std::move(messages));
    }
    out.push_back(single("emberscope_last_cycle_timestamp_seconds",
                         "Unix time of the last cycle, whatever its outcome", MetricType::Gauge,
                         last_cycle_.value_or(0)));
    out.push_back(single("emberscope_last_success_timestamp_seconds",
                         "Unix time of the last cycle whose outcome was ok", MetricType::Gauge,
                         last_success_.value_or(0)));
    out.push_back(single("emberscope_outbox_messages", "Messages waiting for delivery in the outbox",
                         MetricType::Gauge, static_cast<double>(outbox_size_)));
    out.push_back(single("emberscope_invalid_rows", "Rows of the last listing that could not be read",
                         MetricType::Gauge, static_cast<double>(invalid_rows_)));
    MetricFamily burn = family(
        "emberscope_owner_burn",
        "Owner burn value of each subnet as last stored, unscaled (subnets whose value is not a "
        "number are left out)",
        MetricType::Gauge);
    for (const auto& [netuid, value] : values_)
        burn.metric.push_back(sample(value, MetricType::Gauge, "netuid", netuid));
    out.push_back(std::move(burn));
    out.push_back(single("emberscope_subnets", "Subnets with a stored owner burn value",
                         MetricType::Gauge, static_cast<double>(subnets_)));
    const double age = outbox_oldest_ ? std::max(0.0, now - *outbox_oldest_) : 0.0;
    out.push_back(single(
        "emberscope_outbox_oldest_age_seconds",
        "Age of the oldest message waiting for delivery in the outbox (0 when it is empty)",
        MetricType::Gauge, age));
    return out;
}

}  // namespace emberscope::metrics
