#include "engine/listing.hpp"

#include <gtest/gtest.h>

namespace emberscope::engine {
namespace {

JsonValue parse(std::string_view doc) { return std::get<JsonValue>(parse_json(doc)); }

TEST(EngineListing, ValidNetuidsAreWholeNumbersAsIntegersOrDigitTexts) {
    const std::pair<std::string_view, std::optional<std::string>> cases[] = {
        {"0", "0"},       {"7", "7"},       {"\"12\"", "12"},  {"\"007\"", "007"},
        {"null", {}},     {"true", {}},     {"false", {}},     {"1.5", {}},
        {"7.0", {}},      {"-1", {}},       {"\"sn7\"", {}},   {"\"\"", {}},
        {"\"-3\"", {}},   {"\" 5\"", {}},   {"{}", {}},        {"[1]", {}},
        {"\"\\u0665\"", {}},
    };
    for (const auto& [doc, want] : cases) EXPECT_EQ(valid_netuid(parse(doc)), want) << doc;
}

TEST(EngineListing, LeavesOutInvalidRowsAndSaysWhich) {
    const JsonValue data = parse(
        R"([{"netuid": 1, "incentive_burn": 0.18}, {"netuid": null}, {"netuid": true},)"
        R"( {"netuid": 1.5}, {"netuid": "sn7"}, {"netuid": ""}, {"netuid": {"a": 1}},)"
        R"( null, {"incentive_burn": 1}, {"netuid": "2", "incentive_burn": "0.5"},)"
        R"( {"netuid": 1, "incentive_burn": 0.25}])");
    const Listing listing = read_listing(data);
    ASSERT_EQ(listing.rows.size(), 2u);
    EXPECT_EQ(listing.rows[0].netuid, "1");
    EXPECT_EQ(listing.rows[0].burn, "0.25");  // the later row's value, the first row's place
    EXPECT_EQ(listing.rows[1].netuid, "2");
    EXPECT_EQ(listing.rows[1].burn, "0.5");
    EXPECT_EQ(listing.invalid, 8u);
    EXPECT_EQ(invalid_rows_line(listing),
              "[burn] listing: 8 row(s) without a valid netuid left out (first: null, true, 1.5, "
              "\"sn7\", \"\")\n");
}

TEST(EngineListing, OwnerBurnTextsFollowTheDocumentedRule) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {R"({"netuid": 1})", "0"},
        {R"({"netuid": 1, "incentive_burn": null})", "0"},
        {R"({"netuid": 1, "incentive_burn": false})", "0"},
        {R"({"netuid": 1, "incentive_burn": 0.0})", "0"},
        {R"({"netuid": 1, "incentive_burn": ""})", "0"},
        {R"({"netuid": 1, "incentive_burn": []})", "0"},
        {R"({"netuid": 1, "incentive_burn": "0.0"})", "0.0"},
        {R"({"netuid": 1, "incentive_burn": " 0.5 "})", " 0.5 "},
        {R"({"netuid": 1, "incentive_burn": 1e-05})", "1e-05"},
        {R"({"netuid": 1, "incentive_burn": 3})", "3"},
        {R"({"netuid": 1, "incentive_burn": true})", "True"},
        {R"({"netuid": 1, "incentive_burn": [0.5]})", "[0.5]"},
    };
    for (const auto& [doc, want] : cases) {
        const JsonValue row = parse(doc);
        EXPECT_EQ(owner_burn_text(row.get("incentive_burn")), want) << doc;
    }
}

TEST(EngineListing, OnlyReadingsThatAreThereAndFiniteAreUsable) {
    const std::pair<std::string_view, std::optional<std::string>> cases[] = {
        {R"({"netuid": 1})", {}},
        {R"({"netuid": 1, "incentive_burn": null})", {}},
        {R"({"netuid": 1, "incentive_burn": NaN})", {}},
        {R"({"netuid": 1, "incentive_burn": -Infinity})", {}},
        {R"({"netuid": 1, "incentive_burn": 1e400})", {}},
        {R"({"netuid": 1, "incentive_burn": "nan"})", {}},
        {R"({"netuid": 1, "incentive_burn": " +Inf "})", {}},
        {R"({"netuid": 1, "incentive_burn": "-infinity"})", {}},
        {R"({"netuid": 1, "incentive_burn": "1e999"})", {}},
        {R"({"netuid": 1, "incentive_burn": 0})", "0"},
        {R"({"netuid": 1, "incentive_burn": false})", "0"},
        {R"({"netuid": 1, "incentive_burn": 0.18})", "0.18"},
        {R"({"netuid": 1, "incentive_burn": "1e308"})", "1e308"},
        {R"({"netuid": 1, "incentive_burn": "n/a"})", "n/a"},
        {R"({"netuid": 1, "incentive_burn": "info"})", "info"},
    };
    for (const auto& [doc, want] : cases) {
        const JsonValue row = parse(doc);
        EXPECT_EQ(usable_burn_text(row.get("incentive_burn")), want) << doc;
    }
}

TEST(EngineListing, ARowWithoutAReadingLeavesItsSubnetToItsOtherRowOrItsLastValue) {
    const JsonValue data = parse(
        R"([{"netuid": 1, "incentive_burn": 0.18}, {"netuid": 1, "incentive_burn": null},)"
        R"( {"netuid": 2}, {"netuid": 3, "incentive_burn": NaN}, {"netuid": 3, "incentive_burn": 0.5},)"
        R"( {"netuid": 4, "incentive_burn": "inf"}, {"netuid": 4}, {"netuid": -1, "incentive_burn": 1}])");
    const Listing listing = read_listing(data);
    ASSERT_EQ(listing.rows.size(), 2u);
    EXPECT_EQ(listing.rows[0].netuid, "1");
    EXPECT_EQ(listing.rows[0].burn, "0.18");
    EXPECT_EQ(listing.rows[1].netuid, "3");
    EXPECT_EQ(listing.rows[1].burn, "0.5");
    EXPECT_EQ(listing.unvalued, (std::vector<std::string>{"2", "4"}));
    EXPECT_EQ(listing.invalid, 6u);
    EXPECT_EQ(invalid_rows_line(listing),
              "[burn] listing: 6 row(s) without a valid netuid or owner burn left out (first: "
              "1: null, 2: (none), 3: NaN, 4: \"inf\", 4: (none))\n");
}

}  // namespace
}  // namespace emberscope::engine
