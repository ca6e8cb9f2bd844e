#include "records/answers.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "bot/commands.hpp"
#include "records/files.hpp"
#include "records/history.hpp"
#include "records/mutes.hpp"
#include "records/records_fixture.hpp"
#include "records/status_file.hpp"

namespace emberscope::records {
namespace {

class RecordsAnswers : public RecordsTest {
protected:
    void SetUp() override {
        RecordsTest::SetUp();
        write(state_, R"({"owner_burn_rate": {"3": "0.75", "12": "1", "64": "0"}, "updated_at_utc": "2026-12-08T11:55:00Z"})");
        const std::vector<std::pair<const char*, burns::BurnChange>> history = {
            {"2026-11-01T00:00:00Z", {"3", "0.1", "0.2"}},
            {"2026-12-01T00:00:00Z", {"3", "0.2", "0.3"}},
            {"2026-12-07T12:00:00Z", {"64", "0.5", "0"}},
            {"2026-12-08T06:00:00Z", {"3", "0.3", "0.5"}},
            {"2026-12-08T09:30:00Z", {"3", "0.5", "0.6"}},
            {"2026-12-08T10:00:00Z", {"3", "0.6", "0.7"}},
            {"2026-12-08T11:00:00Z", {"3", "0.7", "0.75"}},
        };
        for (const auto& [stamp, change] : history) append_history(state_, stamp, {change});
    }
    Answers answers() const { return Answers(state_); }
    static Clock now(double later = 0) { return Clock{kNow + later, "", 0}; }
};

TEST_F(RecordsAnswers, BurnTellsTheValueWhenItChangedAndItsLastFiveChanges) {
    EXPECT_EQ(answers().burn("3", now()),
              "SN3 owner burn: 0.7500\n"
              "changed 2026-12-08T11:00:00Z (60 min ago)\n"
              "last 5 change(s):\n"
              "2026-12-01T00:00:00Z  0.2000 → 0.3000\n"
              "2026-12-08T06:00:00Z  0.3000 → 0.5000\n"
              "2026-12-08T09:30:00Z  0.5000 → 0.6000\n"
              "2026-12-08T10:00:00Z  0.6000 → 0.7000\n"
              "2026-12-08T11:00:00Z  0.7000 → 0.7500\n"
              "values as of 2026-12-08T11:55:00Z");
    EXPECT_EQ(answers().burn("12", now()),
              "SN12 owner burn: 1.0000\nno change recorded since the monitor began\nvalues as of 2026-12-08T11:55:00Z");
    EXPECT_EQ(answers().burn("99", now()), "SN99 is not among the 3 stored subnets (as of 2026-12-08T11:55:00Z).");
    EXPECT_EQ(Answers(path("none.json")).burn("3", now()),
              "No values stored yet: the monitor's first cycle records them.");
}

TEST_F(RecordsAnswers, ChangesListsEveryChangeOfThePeriod) {
    const std::pair<double, std::string> cases[] = {
        // A change exactly at the start of the period is in it.
        {1, "1 change(s) in the last 1 h:\n2026-12-08T11:00:00Z  SN3  0.7000 → 0.7500"},
        {0.99, "No changes in the last 59.4 min."},
        {24, "5 change(s) in the last 24 h:\n"
             "2026-12-07T12:00:00Z  SN64  0.5000 → 0.0000\n"
             "2026-12-08T06:00:00Z  SN3  0.3000 → 0.5000\n"
             "2026-12-08T09:30:00Z  SN3  0.5000 → 0.6000\n"
             "2026-12-08T10:00:00Z  SN3  0.6000 → 0.7000\n"
             "2026-12-08T11:00:00Z  SN3  0.7000 → 0.7500"},
        {0.5, "No changes in the last 30 min."},
    };
    for (const auto& [hours, text] : cases) EXPECT_EQ(answers().changes(hours * 3600, now()), text) << hours;
}

TEST_F(RecordsAnswers, ChangesThatDoNotFitOneMessageKeepTheNewest) {
    const std::string many = path("many.json");
    std::vector<burns::BurnChange> changes;
    for (int n = 0; n < 200; ++n) changes.push_back({std::to_string(n), "0.1", "0.2"});
    append_history(many, "2026-12-08T11:00:00Z", changes);
    const std::string text = Answers(many).changes(24 * 3600, now());
    EXPECT_LE(text.size(), kMessageLimit);
    std::vector<std::string> lines;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    const std::size_t left_out = 200 - (lines.size() - 2);
    EXPECT_GT(left_out, 0u);
    EXPECT_EQ(lines[0], "200 change(s) in the last 24 h:");
    EXPECT_EQ(lines[1], "(the oldest " + std::to_string(left_out) + " left out; `emberscope history` lists them all)");
    EXPECT_EQ(lines.back(), "2026-12-08T11:00:00Z  SN199  0.1000 → 0.2000");
}

TEST_F(RecordsAnswers, MuteAndUnmuteThroughTheMutesFile) {
    const Answers a = answers();
    EXPECT_EQ(a.mute("3", 7200, now(0.6)),
              "SN3 muted until 2026-12-08T14:00:00Z: changes are still recorded, but not alerted. "
              "/unmute ends it sooner.");
    EXPECT_TRUE(a.mute("all", 600, now()).starts_with("Every subnet muted until 2026-12-08T12:10:00Z:"));
    EXPECT_EQ(muted_netuids(state_, kNow), (std::vector<std::string>{"3", "all"}));
    EXPECT_NE(a.burn("3", now()).find("\nalerts muted until 2026-12-08T14:00:00Z\n"), std::string::npos);
    EXPECT_EQ(muted_netuids(state_, kNow + 660), std::vector<std::string>{"3"});
    EXPECT_EQ(a.unmute("12", now()), "SN12 was not muted (every subnet is muted: /unmute all).");
    EXPECT_EQ(a.unmute("3", now()), "SN3 unmuted: its changes are alerted again.");
    EXPECT_EQ(a.unmute("3", now()), "SN3 was not muted (every subnet is muted: /unmute all).");
    EXPECT_EQ(a.unmute("all", now()), "Every mute lifted: alerts for all subnets again.");
    EXPECT_EQ(a.unmute("all", now()), "Nothing is muted.");
    EXPECT_EQ(a.unmute("3", now()), "SN3 was not muted.");
    EXPECT_TRUE(muted_netuids(state_, kNow).empty());
}

// `/mute 60000 1h` was accepted for a subnet that is not in the listing: it is refused as /burn
// refuses it, and nothing is written.
TEST_F(RecordsAnswers, AMuteOfASubnetNotStoredIsRefused) {
    EXPECT_EQ(answers().mute("60000", 3600, now()),
              "SN60000 is not among the 3 stored subnets (as of 2026-12-08T11:55:00Z).");
    EXPECT_EQ(Answers(path("none.json")).mute("3", 3600, now()),
              "No values stored yet: the monitor's first cycle records them.");
    EXPECT_TRUE(muted_netuids(state_, kNow).empty());
    EXPECT_EQ(irregular(mutes_path(state_)), std::nullopt);
    EXPECT_EQ(Answers(path("none.json")).mute("all", 60, now()).substr(0, 12), "Every subnet");
}

TEST_F(RecordsAnswers, StatusAnswersTheStatusSummaryWithTheMutes) {
    engine::CycleReport report;
    report.outcome = "ok";
    report.updated_at_utc = "2026-12-08T11:55:00Z";
    report.subnets = 3;
    report.chat_id = "-1001";
    record_cycle(state_, report, {.interval_seconds = 300}, now());
    record_bot(state_, "answering as @emberscope_bot", now());
    answers().mute("64", 3600, now());
    const std::string text = answers().status(now());
    EXPECT_EQ(text,
              "last cycle: 2026-12-08T11:55:00Z (5 min ago): ok\n"
              "seen: 3 subnets, 0 changed, 0 message(s) delivered\n"
              "outbox: empty\n"
              "chat: -1001\n"
              "bot: answering as @emberscope_bot\n"
              "health: ok\n"
              "muted: SN64 until 2026-12-08T13:00:00Z\n"
              "values: 3 subnets as of 2026-12-08T11:55:00Z");
    EXPECT_EQ(Answers(path("none.json")).status(now()), "No cycle recorded yet.");
}

TEST_F(RecordsAnswers, ChartPointsCoverThePeriod) {
    struct Case { const char* netuid; double days; std::vector<std::pair<const char*, double>> points; const char* caption; };
    const Case cases[] = {
        // The value at the start of the period is the one the last earlier change left.
        {"3", 1, {{"2026-12-07T12:00:00Z", 0.3}, {"2026-12-08T06:00:00Z", 0.5}, {"2026-12-08T09:30:00Z", 0.6},
                  {"2026-12-08T10:00:00Z", 0.7}, {"2026-12-08T11:00:00Z", 0.75}, {"2026-12-08T12:00:00Z", 0.75}},
         "SN3 owner burn, last 1 day: now 0.7500 (since 2026-12-08T11:00:00Z)"},
        // Without an earlier change, the first change's old value.
        {"64", 30, {{"2026-11-08T12:00:00Z", 0.5}, {"2026-12-07T12:00:00Z", 0.0}, {"2026-12-08T12:00:00Z", 0.0}},
         "SN64 owner burn, last 30 days: now 0.0000 (since 2026-12-07T12:00:00Z)"},
        // Without any change, a flat line at the stored value.
        {"12", 7, {{"2026-12-01T12:00:00Z", 1.0}, {"2026-12-08T12:00:00Z", 1.0}}, "SN12 owner burn, last 7 days: now 1.0000"},
    };
    for (const Case& c : cases) {
        const auto drawn = answers().chart(c.netuid, c.days * 86400, now());
        ASSERT_TRUE(std::holds_alternative<ChartData>(drawn)) << c.netuid;
        const ChartData& chart = std::get<ChartData>(drawn);
        std::vector<std::pair<double, double>> expected;
        for (const auto& [stamp, value] : c.points) expected.emplace_back(*parse_utc(stamp), value);
        EXPECT_EQ(chart.points, expected) << c.netuid;
        EXPECT_EQ(chart.caption, c.caption);
    }
    EXPECT_EQ(std::get<std::string>(answers().chart("99", 86400, now())), "No values stored for SN99.");
    write(state_, R"({"owner_burn_rate": {"5": "n/a"}, "updated_at_utc": "x"})");
    EXPECT_EQ(std::get<std::string>(answers().chart("5", 86400, now())),
              "SN5's stored values are not numbers; nothing to draw.");
    EXPECT_EQ(chart_title("5", 86400 * 1.5), "SN5 owner burn, last 1.5 days");
}

TEST_F(RecordsAnswers, HelpListsEveryCommandOfTheMenu) {
    const std::string text = Answers(path("none.json")).help();
    EXPECT_EQ(text.substr(0, text.find('\n')), "I answer, from what the monitor stored (no live lookup):");
    std::size_t lines = 0;
    for (const bot::CommandInfo& c : bot::command_table()) {
        const std::string line = "\n/" + std::string(c.name) + (c.arguments.empty() ? "" : " " + std::string(c.arguments)) +
                                 ": " + std::string(c.description);
        EXPECT_NE(text.find(line), std::string::npos) << line;
        ++lines;
    }
    EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), lines);
}

}  // namespace
}  // namespace emberscope::records
