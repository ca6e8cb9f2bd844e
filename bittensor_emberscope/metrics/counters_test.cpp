#include "metrics/counters.hpp"

#include <gtest/gtest.h>

#include "metrics/stamps.hpp"

namespace emberscope::metrics {
namespace {

engine::CycleReport report(std::string outcome, std::size_t changes = 0, std::size_t delivered = 0,
                           std::string failure = "") {
    engine::CycleReport r;
    r.outcome = std::move(outcome);
    r.changes.resize(changes);
    r.delivered = delivered;
    r.telegram_failure = std::move(failure);
    return r;
}

TEST(Counted, AddsEachPartOfAReport) {
    Counters c;
    c = counted(c, report("ok", 2, 1));
    c = counted(c, report("telegram_failed", 1, 2, "refused"));
    c = counted(c, report("telegram_failed", 0, 0, "failed"));
    c = counted(c, report("fetch_failed"));
    c = counted(c, report(""));             // a report without an outcome is an error
    c = counted(c, report("surprising"));   // so is one the counters do not know
    c = counted(c, report("ok", 0, 0, "sent"));  // not a way to stop short
    Counters want;
    want.cycles = {2, 0, 1, 2, 2};
    want.changes = 3;
    want.telegram = {3, 1, 1};
    want.messages[0] = {3, 1, 1};
    EXPECT_EQ(c, want);
}

engine::RouteReport route(std::string kind, std::size_t delivered, std::string failure = "") {
    engine::RouteReport r;
    r.destination = std::move(kind);
    r.delivered = delivered;
    r.telegram_failure = std::move(failure);
    return r;
}

// With routes, each kind of destination counts its own; Telegram's counters are its routes' only.
TEST(Counted, EachKindOfDestinationCountsItsOwnRoutes) {
    const struct {
        const char* name;
        std::vector<engine::RouteReport> routes;
        ResultCounts telegram, discord, webhook, old_telegram;
    } cases[] = {
        {"all delivered", {route("telegram", 2), route("discord", 3), route("webhook", 1)},
         {2, 0, 0}, {3, 0, 0}, {1, 0, 0}, {2, 0, 0}},
        {"a Discord hook gone, a webhook failing",
         {route("telegram", 1), route("discord", 0, "gone"), route("webhook", 0, "failed")},
         {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
        {"two Telegram chats stop: once a cycle in the old counter, once a route in the new",
         {route("telegram", 0, "refused"), route("telegram", 1, "failed")},
         {1, 1, 1}, {0, 0, 0}, {0, 0, 0}, {1, 1, 0}},
        {"an unknown kind counts as Telegram", {route("pigeon", 4)},
         {4, 0, 0}, {0, 0, 0}, {0, 0, 0}, {4, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engine::CycleReport r = report("ok");
        r.routes = c.routes;
        const Counters got = counted(Counters{}, r);
        EXPECT_EQ(got.messages[0], c.telegram);
        EXPECT_EQ(got.messages[1], c.discord);
        EXPECT_EQ(got.messages[2], c.webhook);
        EXPECT_EQ(got.telegram, c.old_telegram);
    }
}

TEST(CountersJson, ExactTextAndRoundTrip) {
    Counters c;
    c.cycles = {12, 0, 3, 1, 18446744073709551615u};
    c.changes = 7;
    c.telegram = {5, 0, 2};
    c.messages = {ResultCounts{5, 0, 2}, ResultCounts{1, 2, 3}, ResultCounts{0, 0, 9}};
    const std::string text = counters_json(c);
    EXPECT_EQ(text,
              "{\"cycles\":{\"ok\":12,\"no_api_key\":0,\"fetch_failed\":3,\"telegram_failed\":1,"
              "\"error\":18446744073709551615},\"changes\":7,"
              "\"telegram_messages\":{\"sent\":5,\"refused\":0,\"failed\":2},"
              "\"messages\":{\"telegram\":{\"sent\":5,\"refused\":0,\"failed\":2},"
              "\"discord\":{\"sent\":1,\"refused\":2,\"failed\":3},"
              "\"webhook\":{\"sent\":0,\"refused\":0,\"failed\":9}}}");
    EXPECT_EQ(parse_counters(text), c);
}

TEST(CountersJson, WhatCannotBeACountIsZero) {
    const auto got = parse_counters(
        R"({"cycles": {"ok": -1, "error": 2.5, "fetch_failed": "3", "no_api_key": 4, "x": 9},
            "changes": 1e30, "telegram_messages": [1, 2], "extra": {}})");
    ASSERT_TRUE(got);
    Counters want;
    want.cycles = {0, 4, 0, 0, 0};
    EXPECT_EQ(*got, want);
    EXPECT_EQ(parse_counters("{}"), Counters{});
    // An integer beyond 64 bits is refused by the JSON reader as a whole.
    for (const char* bad : {"", "[]", "3", "{\"changes\": 1", "{} {}", "null",
                            "{\"changes\": 18446744073709551616}"})
        EXPECT_FALSE(parse_counters(bad)) << bad;
}

struct Stamp {
    const char* text;
    std::optional<double> seconds;
};

TEST(UtcSeconds, ReadsTheFilesStamps) {
    const double t0 = 1772366400;  // 2026-03-01T12:00:00Z
    const Stamp cases[] = {
        {"2026-03-01T12:00:00Z", t0},
        {"2026-03-01T12:00:00", t0},
        {"2026-03-01 12:00:00+00:00", t0},
        {"2026-03-01T13:30:00+01:30", t0},
        {"2026-03-01T07:00:00-05:00", t0},
        {"2026-03-01T12:00:00.25Z", t0 + 0.25},
        {"1970-01-01T00:00:00Z", 0.0},
        {"2024-02-29T00:00:00Z", 1709164800.0},
        {"2026-02-29T00:00:00Z", std::nullopt},
        {"2026-13-01T00:00:00Z", std::nullopt},
        {"2026-03-01T24:00:00Z", std::nullopt},
        {"2026-03-01T12:00Z", std::nullopt},
        {"2026-03-01T12:00:00ZZ", std::nullopt},
        {"2026-03-01T12:00:00.Z", std::nullopt},
        {"2026-03-01", std::nullopt},
        {"", std::nullopt},
        {"yesterday", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(utc_seconds(c.text), c.seconds) << c.text;
}

}  // namespace
}  // namespace emberscope::metrics
