#include "engine/outbox.hpp"

#include <gtest/gtest.h>

namespace emberscope::engine {
namespace {

TEST(EngineOutbox, LivesBesideTheStateFile) {
    EXPECT_EQ(outbox_path("/var/lib/emberscope/state.json"), "/var/lib/emberscope/state.outbox.json");
    EXPECT_EQ(outbox_path("state"), "state.outbox.json");
    EXPECT_EQ(outbox_path("/x/.json"), "/x/.json.outbox.json");
}

TEST(EngineOutbox, RoundTripsThroughItsFile) {
    Outbox box;
    box.messages.push_back({"alert", 2, "2026-12-08T00:00:00Z", 1765152000.0, 1, 2, "(1/2)\nOwner \"x\" \xC3\xA9"});
    box.messages.push_back({"snapshot", 129, "2026-12-08T00:00:00Z", 1765152000.5, 2, 2, "b"});
    box.migrate("-1001", "-1002");
    const std::string text = render_outbox(box);
    EXPECT_TRUE(text.starts_with("{\n  \"chat_migrations\": {\n    \"-1001\": \"-1002\"\n  },\n"));
    auto back = read_outbox(text);
    ASSERT_TRUE(std::holds_alternative<Outbox>(back));
    EXPECT_EQ(std::get<Outbox>(back).messages, box.messages);
    EXPECT_EQ(std::get<Outbox>(back).migrations, box.migrations);
}

TEST(EngineOutbox, KeepsTheBootAndMonotonicReadingOfEachMessage) {
    Outbox box;
    box.messages.push_back({"alert", 1, "2026-12-08T00:00:00Z", 1765152000.0, 1, 1, "a",
                            "6f1c0c3e-boot", 12345.5});
    const std::string text = render_outbox(box);
    EXPECT_EQ(text,
              "{\n  \"chat_migrations\": {},\n  \"messages\": [\n    {\n      \"boot\": "
              "\"6f1c0c3e-boot\",\n      \"count\": 1,\n      \"kind\": \"alert\",\n      "
              "\"part\": 1,\n      \"queued_at\": 1765152000.0,\n      \"queued_monotonic\": "
              "12345.5,\n      \"stamp\": \"2026-12-08T00:00:00Z\",\n      \"text\": \"a\",\n      "
              "\"total\": 1\n    }\n  ],\n  \"version\": 1\n}\n");
    EXPECT_EQ(std::get<Outbox>(read_outbox(text)).messages, box.messages);
}

TEST(EngineOutbox, ReadsAnEarlierVersionsFileAndMeasuresItsAgesOnTheWallClock) {
    const std::string earlier =
        R"({"chat_migrations": {}, "messages": [{"count": 1, "kind": "alert", "part": 1,)"
        R"( "queued_at": 1000, "stamp": "s", "text": "t", "total": 1}], "version": 1})";
    auto read = read_outbox(earlier);
    ASSERT_TRUE(std::holds_alternative<Outbox>(read));
    const OutboxEntry& m = std::get<Outbox>(read).messages.at(0);
    EXPECT_EQ(m.boot, "");
    EXPECT_EQ(m.age({5000, "b", 10}), 4000);
}

TEST(EngineOutbox, AgesFollowTheMonotonicClockWithinTheBootOnly) {
    const OutboxEntry m{"alert", 1, "s", 1000, 1, 1, "t", "b1", 50};
    const std::pair<QueueClock, double> cases[] = {
        {{1000 + 86400 * 3, "b1", 350}, 300},  // the wall clock stepped days ahead
        {{900, "b1", 90050}, 90000},           // the wall clock stepped back
        {{1600, "b2", 10}, 600},               // another boot: the wall clock is all there is
        {{1600, "", 10}, 600},                 // no boot known now
    };
    for (const auto& [now, age] : cases) EXPECT_EQ(m.age(now), age) << now.boot;
}

TEST(EngineOutbox, KeepsTheLastGoodListingWithItsBootAndMonotonicReading) {
    Outbox box;
    box.last_good_listing = 1765152000.0;
    box.last_good_boot = "b1";
    box.last_good_monotonic = 321.5;
    const std::string text = render_outbox(box);
    EXPECT_NE(text.find("  \"last_good_listing_at\": 1765152000.0,\n  \"last_good_listing_boot\": \"b1\",\n"
                        "  \"last_good_listing_monotonic\": 321.5,\n"),
              std::string::npos)
        << text;
    const Outbox back = std::get<Outbox>(read_outbox(text));
    EXPECT_EQ(back.last_good_boot, "b1");
    EXPECT_EQ(back.last_good_monotonic, 321.5);
    // A reading without its boot (an earlier version's file, an edit) is not used.
    const Outbox earlier = std::get<Outbox>(read_outbox(
        R"({"last_good_listing_at": 1000, "last_good_listing_monotonic": 5, "messages": [], "version": 1})"));
    EXPECT_EQ(earlier.last_good_listing, 1000);
    EXPECT_EQ(earlier.last_good_boot, "");
}

TEST(EngineOutbox, RefusesWhatIsNotAnOutbox) {
    for (std::string_view bad : {"", "[]", "{\"messages\": 5}", "{\"messages\": [{\"kind\": 1}]}",
                                 "\xFF", "{\"chat_migrations\": [], \"messages\": []}"})
        EXPECT_TRUE(std::holds_alternative<std::string>(read_outbox(bad))) << bad;
}

TEST(EngineOutbox, FollowsMigrationChainsButNotLoops) {
    Outbox box;
    box.migrate("a", "b");
    box.migrate("b", "c");
    EXPECT_EQ(box.chat_for("a"), "c");
    EXPECT_EQ(box.chat_for("x"), "x");
    box.migrate("c", "a");
    const std::string end = box.chat_for("a");
    EXPECT_TRUE(end == "a" || end == "b" || end == "c");
}

TEST(EngineOutbox, DropsOnlyMessagesOverTheMaximumAge) {
    Outbox box;
    box.messages = {{"alert", 1, "s", 100, 1, 1, "old"}, {"alert", 1, "s", 50, 1, 1, "older"},
                    {"alert", 1, "s", 1000, 1, 1, "new"}};
    double oldest = 0;
    EXPECT_EQ(box.drop_older_than(1000, 900, oldest), 1u);
    EXPECT_EQ(oldest, 50);
    EXPECT_EQ(box.drop_older_than(1000, 800, oldest), 1u);
    EXPECT_EQ(oldest, 100);
    ASSERT_EQ(box.messages.size(), 1u);
    EXPECT_EQ(box.messages[0].text, "new");
    EXPECT_EQ(utc_text(1765152000.9), "2025-12-08T00:00:00Z");
}

TEST(EngineOutbox, AFileOfThePreviousVersionLoadsAndKeepsItsLayout) {
    const std::string old =
        "{\n  \"chat_migrations\": {},\n  \"messages\": [\n    {\n      \"count\": 1,\n      "
        "\"kind\": \"alert\",\n      \"part\": 1,\n      \"queued_at\": 1765151000.0,\n      "
        "\"stamp\": \"2025-12-07T23:43:20Z\",\n      \"text\": \"queued\",\n      \"total\": 1\n"
        "    }\n  ],\n  \"version\": 1\n}\n";
    auto read = read_outbox(old);
    ASSERT_TRUE(std::holds_alternative<Outbox>(read));
    const Outbox& box = std::get<Outbox>(read);
    EXPECT_EQ(box.messages.size(), 1u);
    EXPECT_TRUE(box.chat_not_before.empty());
    EXPECT_FALSE(box.taostats_not_before);
    EXPECT_EQ(render_outbox(box), old);  // no new keys while nothing is held
}

TEST(EngineOutbox, PausesRoundTripAndAnUnreadableOneCostsOnlyItself) {
    Outbox box;
    box.hold_chat("-1001", 1765155600.0);
    box.hold_chat("-1001", 1765152100.0);  // an earlier end does not shorten the hold
    box.taostats_not_before = 1765152030.5;
    const std::string text = render_outbox(box);
    EXPECT_NE(text.find("\"telegram_not_before\": {\n    \"-1001\": 1765155600.0\n  }"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\"taostats_not_before\": 1765152030.5"), std::string::npos) << text;
    const Outbox back = std::get<Outbox>(read_outbox(text));
    EXPECT_EQ(back.chat_not_before, box.chat_not_before);
    EXPECT_EQ(back.taostats_not_before, box.taostats_not_before);
    // A hold that cannot be read costs the hold, never the messages.
    auto odd = read_outbox(R"({"messages": [], "telegram_not_before": {"-1": "soon"}, "taostats_not_before": null})");
    ASSERT_TRUE(std::holds_alternative<Outbox>(odd));
    EXPECT_TRUE(std::get<Outbox>(odd).empty());
}

}  // namespace
}  // namespace emberscope::engine
