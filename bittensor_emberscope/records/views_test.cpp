#include "records/views.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "records/files.hpp"
#include "records/history.hpp"
#include "records/records_fixture.hpp"
#include "records/status_file.hpp"

namespace emberscope::records {
namespace {

using RecordsViews = RecordsTest;

TEST_F(RecordsViews, StatusPrintsTheStateInNetuidOrder) {
    write(state_, R"({"owner_burn_rate": {"10": "0.5", "2": "1", "0": "n/a"}, "updated_at_utc": "2026-03-01T12:00:00Z"})");
    const ViewOutput view = status_view(state_, false, wall(kT0));
    EXPECT_EQ(view.exit_status, 0);
    EXPECT_TRUE(view.errors.empty());
    EXPECT_EQ(view.out, "state file  " + state_ +
                            "\n"
                            "updated     2026-03-01T12:00:00Z UTC\n"
                            "subnets     3\n"
                            "\n"
                            "netuid  owner burn  stored text\n"
                            "     0         n/a  n/a\n"
                            "     2      1.0000  1\n"
                            "    10      0.5000  0.5\n");
}

TEST_F(RecordsViews, StatusWithoutAUsableStateFile) {
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "no state file at "},
        {"{not json", "cannot read the state file "},
        {R"({"updated_at_utc": "x"})", "no \"owner_burn_rate\" object"},
        {"[1, 2]", "the top level is not a JSON object"},
        {"\xff\xfe{}", "not UTF-8"},
    };
    for (const auto& [content, message] : cases) {
        std::filesystem::remove(state_);
        if (content) write(state_, content);
        const ViewOutput view = status_view(state_, false, wall(kT0));
        EXPECT_EQ(view.exit_status, 1) << message;
        EXPECT_EQ(view.out, "");
        ASSERT_EQ(view.errors.size(), 1u);
        EXPECT_NE(view.errors[0].find(message), std::string::npos) << view.errors[0];
    }
}

TEST_F(RecordsViews, StatusAboveTheValuesAndItsHealth) {
    write(state_, R"({"owner_burn_rate": {"1": "0.5"}, "updated_at_utc": "2026-03-01T12:00:00Z"})");
    engine::CycleReport report;
    report.outcome = "ok";
    report.updated_at_utc = format_utc(kT0);
    report.subnets = 1;
    report.chat_id = "-100777";
    record_cycle(state_, report, {.interval_seconds = 300}, wall(kT0));
    ViewOutput view = status_view(state_, false, wall(kT0 + 60));
    EXPECT_EQ(view.exit_status, 0);
    EXPECT_EQ(view.out.substr(0, view.out.find("updated")),
              "state file  " + state_ +
                  "\n"
                  "last cycle  2026-03-01T12:00:00Z (60 s ago): ok\n"
                  "seen        1 subnets, 0 changed, 0 message(s) delivered\n"
                  "outbox      empty\n"
                  "chat        -100777\n"
                  "health      ok\n");
    view = status_view(state_, false, wall(kT0 + 3600));
    EXPECT_EQ(view.exit_status, 3);
    EXPECT_NE(view.out.find("\nhealth      UNHEALTHY: stale: last cycle 60 min ago, more than 3 intervals (15 min)\n"),
              std::string::npos);
    // Without values, the status alone.
    std::filesystem::remove(state_);
    view = status_view(state_, false, wall(kT0 + 60));
    EXPECT_EQ(view.exit_status, 0);
    EXPECT_TRUE(view.out.ends_with("health      ok\nvalues      none stored yet\n")) << view.out;
}

TEST_F(RecordsViews, StatusAsJson) {
    write(state_, R"({"owner_burn_rate": {"10": "0.5", "2": "é"}, "updated_at_utc": "2026-03-01T12:00:00Z"})");
    ViewOutput view = status_view(state_, true, wall(kT0));
    EXPECT_EQ(view.out, "{\n  \"state_file\": \"" + state_ + "\",\n  \"status_file\": \"" + status_path(state_) +
                            "\",\n  \"healthy\": null,\n  \"problems\": [],\n  \"watch_alive\": null,\n"
                            "  \"status\": null,\n  \"updated_at_utc\": \"2026-03-01T12:00:00Z\",\n"
                            "  \"owner_burn_rate\": {\n    \"2\": \"é\",\n    \"10\": \"0.5\"\n  }\n}\n");
    engine::CycleReport report;
    report.outcome = "fetch_failed";
    report.updated_at_utc = format_utc(kT0);
    for (int n = 0; n < 3; ++n) record_cycle(state_, report, {.interval_seconds = 300}, wall(kT0));
    view = status_view(state_, true, wall(kT0));
    EXPECT_EQ(view.exit_status, 3);
    EXPECT_NE(view.out.find("  \"healthy\": false,\n  \"problems\": [\n    \"failing: the last 3 cycles failed "
                            "(fetch_failed: no detail)\"\n  ],\n"),
              std::string::npos)
        << view.out;
    EXPECT_NE(view.out.find("\n    \"consecutive_failures\": 3,\n"), std::string::npos);
}

TEST_F(RecordsViews, AFifoBesideTheStateIsNamedAndNotWaitedOn) {
    ASSERT_EQ(::mkfifo(status_path(state_).c_str(), 0600), 0);
    const ViewOutput view = status_view(state_, false, wall(kT0));
    EXPECT_EQ(view.exit_status, 1);
    EXPECT_EQ(view.errors, std::vector<std::string>{status_path(state_) + " is a FIFO, not a regular file; remove it"});
    ASSERT_EQ(::mkfifo(history_path(state_).c_str(), 0600), 0);
    EXPECT_EQ(history_view(state_, std::nullopt, std::nullopt, false).errors,
              std::vector<std::string>{history_path(state_) + " is a FIFO, not a regular file; remove it"});
}

class RecordsHistoryView : public RecordsTest {
protected:
    void SetUp() override {
        RecordsTest::SetUp();
        append_history(state_, "2026-03-01T12:00:00Z", {{"7", "0.1", "0.9"}});
        append_history(state_, "2026-03-01T12:05:00Z", {{"64", "n/a", "0.5"}});
        append_history(state_, "2026-03-01T12:10:00Z", {{"7", "0.9", "0.2"}});
    }
};

TEST_F(RecordsHistoryView, ListsTheChangesAndEachSubnetsTrend) {
    const ViewOutput view = history_view(state_, std::nullopt, std::nullopt, false);
    EXPECT_EQ(view.exit_status, 0);
    EXPECT_EQ(view.out,
              "time (UTC)            netuid         old            new\n"
              "2026-03-01T12:00:00Z       7      0.1000  →      0.9000\n"
              "2026-03-01T12:05:00Z      64         n/a  →      0.5000\n"
              "2026-03-01T12:10:00Z       7      0.9000  →      0.2000\n"
              "\n"
              "netuid  changes       first           last  trend\n"
              "     7        2      0.1000  →      0.2000  ▁█▂\n"
              "    64        1         n/a  →      0.5000   ▄\n");
}

TEST_F(RecordsHistoryView, SelectsBySubnetAndTimeAndAnswersInJson) {
    ViewOutput view = history_view(state_, "64", std::nullopt, true);
    EXPECT_EQ(view.out,
              "{\n  \"history_file\": \"" + history_path(state_) +
                  "\",\n  \"changes\": [\n    {\n      \"time_utc\": \"2026-03-01T12:05:00Z\",\n"
                  "      \"netuid\": \"64\",\n      \"old\": \"n/a\",\n      \"new\": \"0.5\"\n    }\n  ],\n"
                  "  \"subnets\": {\n    \"64\": {\n      \"values\": [\n        \"n/a\",\n        \"0.5\"\n"
                  "      ],\n      \"sparkline\": \" \u2584\"\n    }\n  }\n}\n");
    view = history_view(state_, std::nullopt, std::get<double>(parse_since("2026-03-01T12:05:00Z")), false);
    EXPECT_EQ(view.out.substr(0, view.out.find("\n\n")),
              "time (UTC)            netuid         old            new\n"
              "2026-03-01T12:05:00Z      64         n/a  →      0.5000\n"
              "2026-03-01T12:10:00Z       7      0.9000  →      0.2000");
    view = history_view(state_, std::nullopt, std::get<double>(parse_since("2999-01-01")), false);
    EXPECT_EQ(view.out, "no changes recorded in " + history_path(state_) + " for that selection\n");
    EXPECT_EQ(history_view(path("other.json"), std::nullopt, std::nullopt, false).out,
              "no changes recorded in " + path("other.history.jsonl") + "\n");
    EXPECT_EQ(std::get<std::string>(parse_since("yesterday")),
              "--since: 'yesterday' is not a date (YYYY-MM-DD) or a UTC time (YYYY-MM-DDTHH:MM:SSZ)");
}

TEST_F(RecordsHistoryView, UnreadableLinesAreCountedOnStandardError) {
    append(history_path(state_), "{\"cut\n");
    const ViewOutput view = history_view(state_, "7", std::nullopt, false);
    EXPECT_EQ(view.errors, std::vector<std::string>{"1 unreadable line(s) in " + history_path(state_) + " skipped"});
    EXPECT_EQ(view.exit_status, 0);
}

}  // namespace
}  // namespace emberscope::records
