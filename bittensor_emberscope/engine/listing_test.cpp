#include "engine/listing.hpp"

#include <gtest/gtest.h>

#include "taostats/listing_scan.hpp"

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

TEST(EngineListing, TheEngineAndTheListingScanDescribeEveryValueAlike) {
    // The same value in the engine's decoded row and in a body the scan reads in place: one
    // owner burn text and one description. A structure with something in it is not scanned.
    using B = burns::BurnKind;
    struct Case {
        const char* json;
        burns::BurnValue value;
        const char* text;
    } cases[] = {
        {"null", {B::null, true}, "0"},
        {"false", {B::boolean, true}, "0"},
        {"true", {B::boolean, false}, "True"},
        {"0", {B::integer, true}, "0"},
        {"-0", {B::integer, true}, "0"},
        {"-12", {B::integer, false}, "-12"},
        {"123456789012345678901234567890", {B::integer, false}, "123456789012345678901234567890"},
        {"0.0", {B::real, true}, "0"},
        {"-0.0", {B::real, true}, "0"},
        {"0e-7", {B::real, true}, "0"},
        {"1e-400", {B::real, true}, "0"},
        {"-1e-400", {B::real, true}, "0"},
        {"0.18", {B::real, false}, "0.18"},
        {"1E16", {B::real, false}, "1e+16"},
        {"1e400", {B::real, false}, "inf"},
        {"NaN", {B::real, false}, "nan"},
        {"Infinity", {B::real, false}, "inf"},
        {"-Infinity", {B::real, false}, "-inf"},
        {"\"\"", {B::text, true}, "0"},
        {"\"0\"", {B::text, false}, "0"},
        {"\"-0.0\"", {B::text, false}, "-0.0"},
        {"\" nan \"", {B::text, false}, " nan "},
        {"[]", {B::array, true}, "0"},
        {"{}", {B::object, true}, "0"},
    };
    for (const Case& c : cases) {
        const JsonValue value = parse(c.json);
        const burns::BurnValue seen = burn_value_of(&value);
        EXPECT_EQ(seen.kind, c.value.kind) << c.json;
        EXPECT_EQ(seen.empty, c.value.empty) << c.json;
        EXPECT_EQ(owner_burn_text(&value), c.text) << c.json;
        const auto scanned = taostats::scan_listing(
            std::string(R"({"data": [{"netuid": 1, "incentive_burn": )") + c.json + "}]}");
        ASSERT_TRUE(scanned) << c.json;
        EXPECT_EQ(scanned->burns, (burns::BurnMap{{"1", c.text}})) << c.json;
    }
    EXPECT_EQ(burn_value_of(nullptr).kind, B::absent);
    EXPECT_EQ(owner_burn_text(nullptr), "0");
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

// A left-out row that carries the Taostats key (a server echoing the request into its rows)
// shows the key masked: masked first and cut after, no piece of it in the line.
TEST(EngineListing, SamplesMaskTheKeyBeforeTheyAreCut) {
    const std::string key = "tao-0123456789abcdef0123456789abcdef";
    const secrets::Secret secret{key, secrets::kTaostatsKeyMask};
    const struct {
        std::string row;
        std::string sample;
    } cases[] = {
        {R"({"netuid": "k=)" + key + R"("})", "\"k=<taostats-key>\""},
        {R"({"netuid": ")" + key + R"(", "incentive_burn": 1})", "\"<taostats-key>\""},
        {R"(")" + key + key + R"(")", "(row \"<taostats-key><taostats-key>\")"},
        {R"({"netuid": ["0123456789", ")" + key + R"("]})",
         "[\"0123456789\", \"<taostats-key>\"]"},
        {R"({"netuid": ")" + std::string(30, 'x') + key + R"("})",
         "\"" + std::string(30, 'x') + "<taostats..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        ListingReader reader(std::span(&secret, 1));
        reader.add(std::get<JsonValue>(parse_json(c.row)));
        const Listing listing = reader.finish();
        ASSERT_EQ(listing.samples.size(), 1u);
        EXPECT_EQ(listing.samples[0], c.sample);
        EXPECT_EQ(invalid_rows_line(listing).find(key.substr(0, 8)), std::string::npos);
    }
}

}  // namespace
}  // namespace emberscope::engine
