#include "records/status_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "records/files.hpp"
#include "records/health.hpp"
#include "records/records_fixture.hpp"
#include "records/values.hpp"

namespace emberscope::records {
namespace {

using RecordsStatus = RecordsTest;

engine::CycleReport report(std::string outcome, double at = kT0) {
    engine::CycleReport r;
    r.outcome = std::move(outcome);
    r.detail = r.outcome == "ok" ? "" : "why";
    r.updated_at_utc = format_utc(at);
    return r;
}

TEST_F(RecordsStatus, FailuresInARowAreCountedAndReset) {
    std::vector<long long> counts;
    for (const char* outcome : {"ok", "fetch_failed", "error", "telegram_failed", "ok", "fetch_failed"})
        counts.push_back(int_of(record_cycle(state_, report(outcome), {.interval_seconds = 300}, wall(kT0))
                                    .get("consecutive_failures")));
    EXPECT_EQ(counts, (std::vector<long long>{0, 1, 2, 3, 0, 1}));
    EXPECT_EQ(*text_of(read_status(state_)->get("last_ok_utc")), "2026-03-01T12:00:00Z");
    EXPECT_EQ(names(), std::vector<std::string>{"state.status.json"});  // no temporary file left
}

// The bytes the command's earlier writer wrote for the same cycle, so that a file moves both ways
// between versions unchanged.
TEST_F(RecordsStatus, WritesTheFileAsTheHostsWriterDid) {
    engine::CycleReport r = report("ok");
    r.subnets = 3;
    r.chat_id = "-1001";
    r.changes = {{"1", "0.1", "0.2"}};
    r.routes = {{"-1001", std::nullopt, 0, 1, 0, "", ""}};
    const routes::Route rule = route("-1001", 0.05, std::vector<std::int64_t>{1, 4});
    record_cycle(state_, r, {.interval_seconds = 300, .routes = {rule}, .pid = 4242}, wall(kT0 + 5));
    EXPECT_EQ(read(status_path(state_)),
              "{\n"
              "  \"last_cycle_utc\": \"2026-03-01T12:00:00Z\",\n"
              "  \"outcome\": \"ok\",\n"
              "  \"detail\": \"\",\n"
              "  \"subnets\": 3,\n"
              "  \"changes\": 1,\n"
              "  \"delivered\": 0,\n"
              "  \"outbox_size\": 0,\n"
              "  \"outbox_oldest_utc\": null,\n"
              "  \"invalid_rows\": 0,\n"
              "  \"chat_id\": \"-1001\",\n"
              "  \"consecutive_failures\": 0,\n"
              "  \"last_ok_utc\": \"2026-03-01T12:00:00Z\",\n"
              "  \"interval_seconds\": 300.0,\n"
              "  \"next_cycle_utc\": null,\n"
              "  \"loop\": null,\n"
              "  \"pid\": 4242,\n"
              "  \"started_utc\": null,\n"
              "  \"routes\": [\n"
              "    {\n"
              "      \"chat_id\": \"-1001\",\n"
              "      \"thread_id\": null,\n"
              "      \"netuids\": [\n"
              "        1,\n"
              "        4\n"
              "      ],\n"
              "      \"threshold\": 0.05,\n"
              "      \"queued\": 0,\n"
              "      \"held\": 0,\n"
              "      \"telegram_failure\": \"\",\n"
              "      \"last_delivery_utc\": \"2026-03-01T12:00:00Z\",\n"
              "      \"last_refusal_utc\": null,\n"
              "      \"last_refusal\": null\n"
              "    }\n"
              "  ],\n"
              "  \"format\": 1,\n"
              "  \"written_utc\": \"2026-03-01T12:00:05Z\"\n"
              "}\n");
    EXPECT_EQ(read(history_path(state_)),
              "{\"time_utc\": \"2026-03-01T12:00:00Z\", \"netuid\": \"1\", \"old\": \"0.1\", \"new\": \"0.2\"}\n");
}

TEST_F(RecordsStatus, TheLoopAndTheBotKeepTheLastCyclesValuesAndUnknownKeys) {
    write(status_path(state_), R"({"last_cycle_utc": "2026-03-01T11:00:00Z", "outcome": "ok", "later": [1, 2],)"
                               R"( "format": 1, "written_utc": "x"})");
    record_loop(state_, kLoopRunning, 60, kT0 + 60, wall(kT0), 4242);
    record_bot(state_, "answering as @b", wall(kT0));
    JsonValue status = *read_status(state_);
    EXPECT_EQ(engine::dump_json(status),
              R"({"last_cycle_utc": "2026-03-01T11:00:00Z", "outcome": "ok", "later": [1, 2], "format": 1, )"
              R"("written_utc": "2026-03-01T12:00:00Z", "loop": "running", "interval_seconds": 60.0, "pid": 4242, )"
              R"("started_utc": "2026-03-01T12:00:00Z", "next_cycle_utc": "2026-03-01T12:01:00Z", "bot": "answering as @b"})");
    // A cycle of that watch keeps the loop, its pid, its start and the bot's note.
    record_cycle(state_, report("ok", kT0 + 60), {.interval_seconds = 60, .next_cycle = kT0 + 120}, wall(kT0 + 60));
    status = *read_status(state_);
    EXPECT_EQ(*text_of(status.get("loop")), "running");
    EXPECT_EQ(int_of(status.get("pid")), 4242);
    EXPECT_EQ(*text_of(status.get("started_utc")), "2026-03-01T12:00:00Z");
    EXPECT_EQ(*text_of(status.get("bot")), "answering as @b");
    record_bot(state_, std::nullopt, wall(kT0 + 61));
    record_loop(state_, kLoopStopped, 60, std::nullopt, wall(kT0 + 62), 4242);
    status = *read_status(state_);
    EXPECT_EQ(status.get("bot"), nullptr);
    EXPECT_EQ(status.get("next_cycle_utc")->kind, JsonValue::Kind::null);
    EXPECT_EQ(assess(&status, wall(kT0 + 63)).problems,
              std::vector<std::string>{"not running: watch stopped at 2026-03-01T12:01:02Z"});
}

TEST_F(RecordsStatus, KeepsTheModeOfTheFileItReplaces) {
    record_cycle(state_, report("ok"), {.interval_seconds = 60}, wall(kT0));
    ASSERT_EQ(::chmod(status_path(state_).c_str(), 0640), 0);
    record_cycle(state_, report("ok"), {.interval_seconds = 60}, wall(kT0));
    struct stat st {};
    ASSERT_EQ(::stat(status_path(state_).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(RecordsStatus, AnUnusableFileReadsAsNone) {
    for (const char* content : {"", "{", "[]", "\xff", "null"}) {
        write(status_path(state_), content);
        EXPECT_EQ(read_status(state_), std::nullopt) << content;
    }
    std::filesystem::remove(status_path(state_));
    ASSERT_EQ(::mkfifo(status_path(state_).c_str(), 0600), 0);
    EXPECT_EQ(read_status(state_), std::nullopt);
    EXPECT_ANY_THROW(record_cycle(state_, report("ok"), {}, wall(kT0)));
}

// The metrics' totals continue across restarts: kept with the status, given back at start.
TEST_F(RecordsStatus, CountersAreKeptAndReadBack) {
    EXPECT_TRUE(read_counters(JsonValue::make_object()).empty());
    const Counters totals{{"emberscope_cycles_total{outcome=\"ok\"}", 41}, {"emberscope_alerts_sent_total", 7}};
    record_cycle(state_, report("ok"), {.counters = totals}, wall(kT0));
    EXPECT_EQ(read_counters(*read_status(state_)), totals);
    // A record without totals, the loop's and the bot's keep them.
    record_cycle(state_, report("fetch_failed"), {}, wall(kT0));
    record_loop(state_, kLoopRunning, 60, std::nullopt, wall(kT0));
    record_bot(state_, "note", wall(kT0));
    EXPECT_EQ(read_counters(*read_status(state_)), totals);
    write(status_path(state_), R"({"counters": {"a": 1, "b": "2", "c": 1.5, "d": true, "e": 99999999999999999999}})");
    EXPECT_EQ(read_counters(*read_status(state_)), (Counters{{"a", 1}}));
}

// `status` and /status showed the routes from before a reload until the next cycle: the reload
// records the new routes at once, keeping what the old ones knew of the same chat and topic.
TEST_F(RecordsStatus, AReloadRecordsTheNewRoutesAtOnce) {
    engine::CycleReport r = report("ok");
    r.chat_id = "-1001";
    r.routes = {{"-1001", std::nullopt, 2, 1, 0, "", ""}, {"-2002", 5, 0, 0, 0, "refused", "telegram: no"},
                {"-3003", std::nullopt, 1, 0, 0, "", ""}};
    const routes::Route a = route("-1001"), b = route("-2002", 0.01, std::nullopt, 5), c = route("-3003");
    record_cycle(state_, r, {.routes = {a, b, c}}, wall(kT0));
    // -1001 dropped; -2002 now only hears of subnets 1 to 3; -3003 migrated to -3999; -4004 new.
    const routes::Route b2 = route("-2002", 0.5, std::vector<std::int64_t>{1, 2, 3}, 5);
    const routes::Route d = route("-4004");
    const JsonValue status = record_routes(state_, {b2, c, d}, {{"-3003", "-3999"}}, wall(kT0 + 30));
    EXPECT_EQ(*text_of(status.get("chat_id")), "-2002");
    const std::vector<Row> rows = describe(*read_status(state_), wall(kT0 + 60));
    std::vector<std::string> routes;
    for (const auto& [label, text] : rows)
        if (label.starts_with("route")) routes.push_back(label + ": " + text);
    EXPECT_EQ(routes, (std::vector<std::string>{
                          "route 1: chat -2002 topic 5, subnets 1-3, threshold 0.5; 0 queued; last delivery (none); "
                          "last refusal 2026-03-01T12:00:00Z (60 s ago): telegram: no",
                          "route 2: chat -3999, every subnet, threshold 0.01; 1 queued; last delivery (none)",
                          "route 3: chat -4004, every subnet, threshold 0.01; 0 queued; last delivery (none)",
                      }));
    EXPECT_EQ(*text_of(read_status(state_)->get("last_cycle_utc")), "2026-03-01T12:00:00Z");  // the cycle stays
}

// A chat that migrates is one chat: its route keeps its last delivery under the new id.
TEST_F(RecordsStatus, ARouteKeepsWhatItKnewWhenItsChatMigrates) {
    const routes::Route a = route("-1001");
    engine::CycleReport r = report("ok");
    r.routes = {{"-1001", std::nullopt, 0, 1, 0, "", ""}};
    record_cycle(state_, r, {.routes = {a}}, wall(kT0));
    r = report("ok", kT0 + 300);
    r.routes = {{"-1009", std::nullopt, 0, 0, 0, "", ""}};  // Telegram moved the group
    const JsonValue status = record_cycle(state_, r, {.routes = {a}}, wall(kT0 + 300));
    const JsonValue& route = status.get("routes")->items.at(0);
    EXPECT_EQ(*text_of(route.get("chat_id")), "-1009");
    EXPECT_EQ(*text_of(route.get("last_delivery_utc")), "2026-03-01T12:00:00Z");
}

}  // namespace
}  // namespace emberscope::records
