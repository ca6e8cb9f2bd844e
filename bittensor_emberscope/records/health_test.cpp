#include "records/health.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "records/files.hpp"
#include "records/records_fixture.hpp"
#include "records/status_file.hpp"
#include "records/values.hpp"

namespace emberscope::records {
namespace {

JsonValue parsed(std::string_view text) { return std::get<JsonValue>(engine::parse_json(text)); }

TEST(RecordsHealth, Assess) {
    struct Case { double minutes_later; long long failures; const char* loop; std::vector<std::string> problems; };
    const Case cases[] = {
        {14, 0, "null", {}},
        {16, 0, "null", {"stale: last cycle 16 min ago, more than 3 intervals (15 min)"}},
        {1, 3, "null", {"failing: the last 3 cycles failed (fetch_failed: why)"}},
        {1, 2, "null", {}},
        {1, 0, "\"stopped\"", {"not running: watch stopped at 2026-03-01T12:00:00Z"}},
        {-5, 0, "null", {"clock: the last cycle is recorded 5 min in the future (2026-03-01T12:00:00Z); "
                         "was the clock set back?"}},
        {-1, 0, "null", {}},  // within the slack
    };
    for (const Case& c : cases) {
        const JsonValue status = parsed(
            std::string(R"({"last_cycle_utc": "2026-03-01T12:00:00Z", "interval_seconds": 300.0, )") +
            "\"consecutive_failures\": " + std::to_string(c.failures) + ", \"outcome\": \"" +
            (c.failures ? "fetch_failed" : "ok") + R"(", "detail": "why", "loop": )" + c.loop +
            R"(, "written_utc": "2026-03-01T12:00:00Z"})");
        const Health verdict = assess(&status, Clock{kT0 + c.minutes_later * 60, "", 0});
        EXPECT_EQ(verdict.problems, c.problems) << c.minutes_later;
        EXPECT_EQ(verdict.ok, c.problems.empty());
    }
    EXPECT_EQ(assess(nullptr, Clock{kT0, "", 0}).problems, std::vector<std::string>{"no cycle recorded yet"});
    const JsonValue odd = parsed(R"({"interval_seconds": true, "consecutive_failures": 4, "outcome": null, "detail": ""})");
    EXPECT_EQ(assess(&odd, Clock{kT0, "", 0}).problems,
              (std::vector<std::string>{"no cycle recorded yet", "failing: the last 4 cycles failed (None: no detail)"}));
}

using RecordsHealthFiles = RecordsTest;

TEST_F(RecordsHealthFiles, AWatchBeforeItsFirstCycleCountsFromItsStart) {
    record_loop(state_, kLoopRunning, 60, kT0 + 60, wall(kT0));
    const JsonValue status = *read_status(state_);
    EXPECT_TRUE(assess(&status, wall(kT0 + 120)).ok);
    EXPECT_EQ(assess(&status, wall(kT0 + 240)).problems,
              std::vector<std::string>{"stale: watch started 4 min ago, more than 3 intervals (3 min)"});
    EXPECT_EQ(assess(&status, wall(kT0 + 240), false).problems.back(),
              "not running: watch (pid " + std::to_string(::getpid()) +
                  ") is gone without recording an end (killed or crashed)");
}

// The status's ages are taken on the monotonic clock within a boot: a step of the wall clock
// neither makes a fresh status stale nor hides a stale one; across boots, the wall clock.
TEST_F(RecordsHealthFiles, AgesFollowTheMonotonicClockWithinABoot) {
    engine::CycleReport report;
    report.outcome = "ok";
    report.updated_at_utc = format_utc(kT0);
    record_cycle(state_, report, {.interval_seconds = 300}, Clock{kT0, "b1", 1000});
    const JsonValue status = *read_status(state_);
    struct Case { Clock now; std::vector<std::string> problems; std::string last_cycle; };
    const Case cases[] = {
        {{kT0 + 3 * 3600 + 300, "b1", 1300}, {}, "2026-03-01T12:00:00Z (5 min ago): ok"},
        {{kT0 - 86400 + 3600, "b1", 4600},
         {"stale: last cycle 60 min ago, more than 3 intervals (15 min)"},
         "2026-03-01T12:00:00Z (60 min ago): ok"},
        {{kT0 + 3600, "b2", 30},
         {"stale: last cycle 60 min ago, more than 3 intervals (15 min)"},
         "2026-03-01T12:00:00Z (60 min ago): ok"},
        {{kT0 - 600, "b2", 30},
         {"clock: the last cycle is recorded 10 min in the future (2026-03-01T12:00:00Z); was the clock set back?"},
         "2026-03-01T12:00:00Z (in 10 min): ok"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(assess(&status, c.now).problems, c.problems) << c.now.boot << " " << c.now.epoch - kT0;
        EXPECT_EQ(describe(status, c.now).at(0).second, c.last_cycle) << c.now.boot << " " << c.now.epoch - kT0;
    }
}

// A writer that knows nothing of the readings (an earlier version's record of a start) changes a
// time without its reading: the reading no longer stands for it, and the wall clock is used.
TEST(RecordsHealth, AReadingIsUsedOnlyForTheTimeItWasTakenFor) {
    const JsonValue status = parsed(
        R"({"last_cycle_utc": "2026-03-01T12:00:00Z", "next_cycle_utc": "2026-03-01T11:00:00Z", )"
        R"("interval_seconds": 300.0, "clock": {"boot": "b1", "last_cycle_utc": ["2026-03-01T11:55:00Z", 700], )"
        R"("next_cycle_utc": ["2026-03-01T11:00:00Z", 0]}})");
    const Clock now{kT0 + 3 * 3600, "b1", 1000};  // the wall clock 3 h ahead of the readings
    EXPECT_EQ(status_moment(status, "last_cycle_utc")->boot, "");
    EXPECT_EQ(status_moment(status, "next_cycle_utc")->boot, "b1");
    EXPECT_EQ(seconds_since(*status_moment(status, "next_cycle_utc"), now), 1000);
    EXPECT_EQ(describe(status, now).at(0).second, "2026-03-01T12:00:00Z (3 h 0 min ago): None");
    EXPECT_EQ(assess(&status, now).problems,
              std::vector<std::string>{"stale: last cycle 3 h 0 min ago, more than 3 intervals (15 min)"});
}

TEST_F(RecordsHealthFiles, DescribesTheStatusRowByRow) {
    record_loop(state_, kLoopRunning, 300, std::nullopt, wall(kT0 - 600), 4242);
    engine::CycleReport report;
    report.outcome = "telegram_failed";
    report.detail = "telegram: HTTP 403 Forbidden";
    report.updated_at_utc = format_utc(kT0);
    report.subnets = 128;
    report.changes = {{"1", "0.1", "0.5"}};
    report.delivered = 1;
    report.outbox_size = 2;
    report.outbox_oldest_utc = format_utc(kT0 - 1800);
    report.invalid_rows = 2;
    report.chat_id = "-100777";
    report.routes = {{"-100777", std::nullopt, 2, 0, 0, "refused", "telegram: HTTP 403 Forbidden"},
                     {"-100888", 42, 0, 1, 3, "", ""}};
    const routes::Route first = route("-100777");
    const routes::Route second = route("-100888", 0.1, std::vector<std::int64_t>{7, 9}, 42);
    record_cycle(state_, report, {.interval_seconds = 300, .next_cycle = kT0 + 300, .routes = {first, second}},
                 wall(kT0));
    record_bot(state_, "answering as @emberscope_bot", wall(kT0));
    const std::vector<Row> rows = describe(*read_status(state_), wall(kT0 + 60));
    const std::vector<Row> expected = {
        {"watch", "running (pid 4242, started 2026-03-01T11:50:00Z)"},
        {"last cycle", "2026-03-01T12:00:00Z (60 s ago): telegram_failed: telegram: HTTP 403 Forbidden"},
        {"seen", "128 subnets, 1 changed, 1 message(s) delivered, 2 invalid row(s)"},
        {"failures", "1 in a row; last good cycle (none)"},
        {"outbox", "2 waiting, oldest 2026-03-01T11:30:00Z (31 min ago)"},
        {"next cycle", "2026-03-01T12:05:00Z (in 4 min)"},
        {"chat", "-100777"},
        {"route 1", "chat -100777, every subnet, threshold 0.01; 2 queued; last delivery (none); "
                    "last refusal 2026-03-01T12:00:00Z (60 s ago): telegram: HTTP 403 Forbidden"},
        {"route 2", "chat -100888 topic 42, subnets 7, 9, threshold 0.1; 0 queued, 3 held for the digest; "
                    "last delivery 2026-03-01T12:00:00Z (60 s ago)"},
        {"bot", "answering as @emberscope_bot"},
    };
    EXPECT_EQ(rows, expected);
    const JsonValue status = *read_status(state_);
    EXPECT_EQ(describe(status, wall(kT0 + 900)).at(5).second,
              "2026-03-01T12:05:00Z (overdue: due 10 min ago)");
    EXPECT_EQ(summary(status),
              "cycle 2026-03-01T12:00:00Z: telegram_failed (telegram: HTTP 403 Forbidden), 2 waiting in the outbox");
    EXPECT_EQ(next_cycle_text(status), "12:05 UTC");
}

TEST(RecordsHealth, Summary) {
    const std::pair<const char*, const char*> cases[] = {
        {"{}", "waiting for the first cycle"},
        {R"({"last_cycle_utc": "T", "outcome": "ok", "subnets": 3, "changes": 1})", "cycle T: 3 subnets, 1 changed"},
        {R"({"last_cycle_utc": "T", "outcome": "fetch_failed", "detail": "", "consecutive_failures": 2})",
         "cycle T: fetch_failed, 2 failures in a row"},
        {R"({"last_cycle_utc": "T", "outcome": "error", "detail": "d", "consecutive_failures": 1})", "cycle T: error (d)"},
    };
    for (const auto& [status, line] : cases) EXPECT_EQ(summary(parsed(status)), line) << status;
}

// A route of every netuid made a status line of 447,744 characters: runs show as ranges, and a
// long list is cut with a count.
TEST(RecordsHealth, ARoutesSubnetsShowAsRangesAndALongListIsCut) {
    std::string every = "[";
    for (int n = 0; n < 65536; ++n) every += (n ? ", " : "") + std::to_string(n);
    every += "]";
    std::string odd = "[";
    for (int n = 1; n < 2000; n += 2) odd += (n > 1 ? ", " : "") + std::to_string(n);
    odd += "]";
    const std::pair<std::string, std::string> cases[] = {
        {every, "subnets 0-65535"},
        {"[1, 4, 64]", "subnets 1, 4, 64"},
        {"[7, 9]", "subnets 7, 9"},
        {"[64, 3, 3]", "subnets 3, 64"},
        {"[1, 2, 3, 5, 6, 10, 11, 12, 13]", "subnets 1-3, 5, 6, 10-13"},
        {odd, "subnets 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, and 988 more"},
        {"[]", "subnets "},
        {"null", "every subnet"},
        {"[\"7\", 9.5]", "subnets 7, 9.5"},  // as the values' str() shows them
    };
    for (const auto& [netuids, text] : cases) {
        const JsonValue value = parsed(netuids);
        EXPECT_EQ(describe_subnets(&value), text) << text;
    }
    EXPECT_EQ(describe_subnets(nullptr), "every subnet");
}

TEST_F(RecordsHealthFiles, AWatchIsAliveWhileItHoldsTheLock) {
    record_loop(state_, kLoopRunning, 300, std::nullopt, wall(kT0));
    const JsonValue running = *read_status(state_);
    StateLock lock(state_);
    ASSERT_EQ(lock.acquire(), std::nullopt);
    EXPECT_EQ(watch_alive(state_, &running), true);
    lock.release();
    EXPECT_EQ(watch_alive(state_, &running), false);  // the lock file tells: nobody holds it
    record_loop(state_, kLoopStopped, 300, std::nullopt, wall(kT0));
    const JsonValue stopped = *read_status(state_);
    EXPECT_EQ(watch_alive(state_, &stopped), std::nullopt);
    const JsonValue no_pid = parsed(R"({"loop": "running", "pid": true})");
    EXPECT_EQ(watch_alive(state_, &no_pid), false);
}

}  // namespace
}  // namespace emberscope::records
