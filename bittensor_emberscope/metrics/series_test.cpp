#include "metrics/series.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "metrics/exporter.hpp"

namespace emberscope::metrics {
namespace {

constexpr double kT0 = 1772366400;  // 2026-03-01T12:00:00Z

engine::CycleReport report(std::string outcome, std::string at = "2026-03-01T12:00:00Z") {
    engine::CycleReport r;
    r.outcome = std::move(outcome);
    r.updated_at_utc = std::move(at);
    return r;
}

Resume with_values(burns::BurnMap values) {
    Resume start;
    start.values = std::move(values);
    return start;
}

// The exposition of the series alone, as /metrics writes it.
std::string text_of(const std::shared_ptr<MonitorSeries>& series) {
    return exposition({series});
}

const char kCycleHelp[] =
    "# HELP emberscope_cycles_total Cycles run, by outcome (kept across restarts with the status file)\n"
    "# TYPE emberscope_cycles_total counter\n";

TEST(MonitorSeries, TheCyclesAddUpByteForByte) {
    double now = kT0 + 100;
    const burns::BurnMap state = {{"0", "0"}, {"1", "0.5"}, {"12", "1"}, {"3", "n/a"}, {"4", "nan"}};
    auto series = std::make_shared<MonitorSeries>(with_values(state), [&] { return now; });

    auto first = report("ok");
    first.changes.resize(2);
    first.delivered = 1;
    series->observe(first, state);
    auto second = report("telegram_failed", "2026-03-01T12:05:00Z");
    second.changes.resize(1);
    second.delivered = 2;
    second.telegram_failure = "refused";
    second.outbox_size = 3;
    second.outbox_oldest_utc = "2026-03-01T12:01:00Z";
    second.invalid_rows = 2;
    series->observe(second, state);
    auto third = report("telegram_failed", "2026-03-01T12:10:00Z");
    third.telegram_failure = "failed";
    third.outbox_size = 3;
    third.outbox_oldest_utc = "2026-03-01T12:01:00Z";
    series->observe(third, state);
    auto fourth = report("fetch_failed", "2026-03-01T12:15:00Z");
    fourth.outbox_size = 3;
    fourth.outbox_oldest_utc = "2026-03-01T12:01:00Z";
    series->observe(fourth, state);
    now = kT0 + 20 * 60;

    EXPECT_EQ(text_of(series),
              std::string(kCycleHelp) +
              "emberscope_cycles_total{outcome=\"ok\"} 1\n"
              "emberscope_cycles_total{outcome=\"no_api_key\"} 0\n"
              "emberscope_cycles_total{outcome=\"fetch_failed\"} 1\n"
              "emberscope_cycles_total{outcome=\"telegram_failed\"} 2\n"
              "emberscope_cycles_total{outcome=\"error\"} 0\n"
              "# HELP emberscope_changes_total Owner burn changes beyond the threshold detected (kept across restarts with the status file)\n"
              "# TYPE emberscope_changes_total counter\n"
              "emberscope_changes_total 3\n"
              "# HELP emberscope_telegram_messages_total Telegram messages by result: sent, refused by "
              "Telegram, or failed (no usable answer in time); a message that failed stays in the "
              "outbox and is counted again when it is sent\n"
              "# TYPE emberscope_telegram_messages_total counter\n"
              "emberscope_telegram_messages_total{result=\"sent\"} 3\n"
              "emberscope_telegram_messages_total{result=\"refused\"} 1\n"
              "emberscope_telegram_messages_total{result=\"failed\"} 1\n"
              "# HELP emberscope_messages_total Messages by kind of destination (telegram, discord, "
              "webhook) and result: sent, refused (a destination found gone included), or failed; a "
              "stop is counted once per route and cycle\n"
              "# TYPE emberscope_messages_total counter\n"
              "emberscope_messages_total{destination=\"telegram\",result=\"sent\"} 3\n"
              "emberscope_messages_total{destination=\"telegram\",result=\"refused\"} 1\n"
              "emberscope_messages_total{destination=\"telegram\",result=\"failed\"} 1\n"
              "emberscope_messages_total{destination=\"discord\",result=\"sent\"} 0\n"
              "emberscope_messages_total{destination=\"discord\",result=\"refused\"} 0\n"
              "emberscope_messages_total{destination=\"discord\",result=\"failed\"} 0\n"
              "emberscope_messages_total{destination=\"webhook\",result=\"sent\"} 0\n"
              "emberscope_messages_total{destination=\"webhook\",result=\"refused\"} 0\n"
              "emberscope_messages_total{destination=\"webhook\",result=\"failed\"} 0\n"
              "# HELP emberscope_last_cycle_timestamp_seconds Unix time of the last cycle, whatever its outcome\n"
              "# TYPE emberscope_last_cycle_timestamp_seconds gauge\n"
              "emberscope_last_cycle_timestamp_seconds 1772367300\n"
              "# HELP emberscope_last_success_timestamp_seconds Unix time of the last cycle whose outcome was ok\n"
              "# TYPE emberscope_last_success_timestamp_seconds gauge\n"
              "emberscope_last_success_timestamp_seconds 1772366400\n"
              "# HELP emberscope_outbox_messages Messages waiting for delivery in the outbox\n"
              "# TYPE emberscope_outbox_messages gauge\n"
              "emberscope_outbox_messages 3\n"
              "# HELP emberscope_invalid_rows Rows of the last listing that could not be read\n"
              "# TYPE emberscope_invalid_rows gauge\n"
              "emberscope_invalid_rows 0\n"
              "# HELP emberscope_owner_burn Owner burn value of each subnet as last stored, unscaled "
              "(subnets whose value is not a number are left out)\n"
              "# TYPE emberscope_owner_burn gauge\n"
              "emberscope_owner_burn{netuid=\"0\"} 0\n"
              "emberscope_owner_burn{netuid=\"1\"} 0.5\n"
              "emberscope_owner_burn{netuid=\"12\"} 1\n"
              "# HELP emberscope_subnets Subnets with a stored owner burn value\n"
              "# TYPE emberscope_subnets gauge\n"
              "emberscope_subnets 5\n"
              // Oldest queued at 12:01, scraped at 12:20.
              "# HELP emberscope_outbox_oldest_age_seconds Age of the oldest message waiting for "
              "delivery in the outbox (0 when it is empty)\n"
              "# TYPE emberscope_outbox_oldest_age_seconds gauge\n"
              "emberscope_outbox_oldest_age_seconds 1140\n");
}

// What the status file kept is where a new process starts: the last cycles, the outbox, and the
// counters, which continue (Prometheus' increase() across a restart whose first cycle ran
// before the first scrape used to see 1 -> 1 and miss the message sent).
TEST(MonitorSeries, ARestartContinuesFromWhatTheFilesKept) {
    auto before = std::make_shared<MonitorSeries>(Resume{}, [] { return kT0; });
    auto sent = report("ok");
    sent.delivered = 1;
    before->observe(sent, burns::BurnMap{{"7", "0.25"}});
    EXPECT_NE(text_of(before).find("emberscope_telegram_messages_total{result=\"sent\"} 1\n"),
              std::string::npos);

    Resume kept = with_values({{"7", "0.25"}});
    kept.last_cycle = kT0 + 300;
    kept.last_success = kT0;
    kept.outbox_size = 1;
    kept.outbox_oldest = kT0;
    kept.counters = before->counters();
    auto after = std::make_shared<MonitorSeries>(kept, [] { return kT0 + 600; });
    const std::string start = text_of(after);
    for (const char* line : {"emberscope_last_success_timestamp_seconds 1772366400\n",
                             "emberscope_last_cycle_timestamp_seconds 1772366700\n",
                             "emberscope_outbox_messages 1\n",
                             "emberscope_outbox_oldest_age_seconds 600\n",
                             "emberscope_owner_burn{netuid=\"7\"} 0.25\n",
                             "emberscope_cycles_total{outcome=\"ok\"} 1\n",
                             "emberscope_telegram_messages_total{result=\"sent\"} 1\n"})
        EXPECT_NE(start.find(line), std::string::npos) << line << start;

    after->observe(sent, burns::BurnMap{{"7", "0.25"}});
    const std::string next = text_of(after);
    EXPECT_NE(next.find("emberscope_telegram_messages_total{result=\"sent\"} 2\n"), std::string::npos);
    EXPECT_NE(next.find("emberscope_cycles_total{outcome=\"ok\"} 2\n"), std::string::npos);
    EXPECT_EQ(after->counters(), counted(counted(Counters{}, sent), sent));
}

TEST(MonitorSeries, AFirstStartShowsZerosAndNoValues) {
    auto series = std::make_shared<MonitorSeries>(Resume{}, [] { return kT0; });
    const std::string text = text_of(series);
    for (const char* line : {"emberscope_last_cycle_timestamp_seconds 0\n",
                             "emberscope_last_success_timestamp_seconds 0\n",
                             "emberscope_subnets 0\n", "emberscope_outbox_oldest_age_seconds 0\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("emberscope_owner_burn{"), std::string::npos);
}

TEST(MonitorSeries, AnUnreadableStateKeepsTheValuesLastRead) {
    auto series = std::make_shared<MonitorSeries>(with_values({{"7", "0.25"}}),
                                                  [] { return kT0; });
    series->observe(report("error"), std::nullopt);
    EXPECT_NE(text_of(series).find("emberscope_owner_burn{netuid=\"7\"} 0.25\n"), std::string::npos);
    series->observe(report("ok"), burns::BurnMap{});
    const std::string text = text_of(series);
    EXPECT_EQ(text.find("emberscope_owner_burn{"), std::string::npos);
    EXPECT_NE(text.find("emberscope_subnets 0\n"), std::string::npos);
}

TEST(MonitorSeries, AReportWithoutATimeTakesTheClock) {
    auto series = std::make_shared<MonitorSeries>(Resume{}, [] { return kT0 + 0.5; });
    series->observe(report("ok", "not a time"), std::nullopt);
    const std::string text = text_of(series);
    EXPECT_NE(text.find("emberscope_last_cycle_timestamp_seconds 1772366400.5\n"), std::string::npos);
    EXPECT_NE(text.find("emberscope_last_success_timestamp_seconds 1772366400.5\n"), std::string::npos);
}

}  // namespace
}  // namespace emberscope::metrics
