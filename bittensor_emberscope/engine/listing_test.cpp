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

// A page read by the scan, row by row, against the same page decoded whole.
struct Read {
    Listing listing;
    std::uint64_t digest = 0;
};

// The rows of a body read as the scan reads them.
Read scanned(const taostats::PageSlices& page) {
    ListingReader reader;
    for (const taostats::RowSlices& row : page.rows) reader.add(row);
    Read out;
    out.digest = reader.take_page_digest();
    out.listing = reader.finish();
    return out;
}

// The rows of a body decoded whole.
Read decoded(std::string_view body) {
    const JsonValue answer = std::get<JsonValue>(parse_json(body));
    JsonValue data;
    for (const auto& [name, value] : answer.members)
        if (name == "data") data = value;
    ListingReader reader;
    for (const JsonValue& row : data.items) reader.add(row);
    Read out;
    out.digest = reader.take_page_digest();
    out.listing = reader.finish();
    return out;
}

void expect_same(const Read& a, const Read& b, const std::string& body) {
    ASSERT_EQ(a.listing.rows.size(), b.listing.rows.size()) << body;
    for (std::size_t i = 0; i < a.listing.rows.size(); ++i) {
        EXPECT_EQ(a.listing.rows[i].netuid, b.listing.rows[i].netuid) << body;
        EXPECT_EQ(a.listing.rows[i].burn, b.listing.rows[i].burn) << body;
        EXPECT_EQ(a.listing.rows[i].number, b.listing.rows[i].number) << body;
    }
    EXPECT_EQ(a.listing.invalid, b.listing.invalid) << body;
    EXPECT_EQ(a.listing.samples, b.listing.samples) << body;
    EXPECT_EQ(a.listing.unvalued, b.listing.unvalued) << body;
    EXPECT_EQ(a.listing.bad_values, b.listing.bad_values) << body;
    EXPECT_EQ(a.digest, b.digest) << body;
}

TEST(ListingPage, ReadsEveryValueAsTheDecodedPageGivesIt) {
    // Each body is taken by the scan, and its rows come out as parse_json's values give them.
    const std::string bodies[] = {
        R"({"data": [{"netuid": 1, "incentive_burn": 0.5}, {"netuid": 2}]})",
        R"({"pagination": {"next_page": null}, "data": [{"netuid": 3, "incentive_burn": "0.25"}]})",
        R"( {"data":[{"name":"a\u03b1\"b","netuid":0,"owner":{"ss58":"5F","hex":"0x1"},"incentive_burn":1.0,"x":[1,{"y":[]}]}]} )",
        // the last of two equal members wins
        R"({"data": [{"netuid": 5, "incentive_burn": 0.1, "incentive_burn": 0.9, "netuid": 6}]})",
        // netuids: "-0", texts, negative, real, null, big, structures, escaped texts
        R"({"data": [{"netuid": -0, "incentive_burn": 1}, {"netuid": "7", "incentive_burn": 2},
                     {"netuid": -3, "incentive_burn": 1}, {"netuid": 4.0, "incentive_burn": 1},
                     {"netuid": null}, {"netuid": 123456789012345678901234567890, "incentive_burn": 3},
                     {"netuid": [1]}, {"netuid": "\u0038", "incentive_burn": 0}, {"netuid": ""},
                     {"netuid": "0x10"}, {"netuid": "007", "incentive_burn": 5}]})",
        // owner burn values of every kind the rule sees
        R"({"data": [{"netuid": 1, "incentive_burn": null}, {"netuid": 2, "incentive_burn": NaN},
                     {"netuid": 3, "incentive_burn": -Infinity}, {"netuid": 4, "incentive_burn": true},
                     {"netuid": 5, "incentive_burn": false}, {"netuid": 6, "incentive_burn": []},
                     {"netuid": 7, "incentive_burn": {"v": 0.5}}, {"netuid": 8, "incentive_burn": [0.5]},
                     {"netuid": 9, "incentive_burn": "n\u00e9\ud800"}, {"netuid": 10, "incentive_burn": 1e400},
                     {"netuid": 11, "incentive_burn": -0.0}, {"netuid": 12, "incentive_burn": 5e-324},
                     {"netuid": 13, "incentive_burn": 0.1e1}, {"netuid": 14, "incentive_burn": ""},
                     {"netuid": 15, "incentive_burn": 10000000000000000000000},
                     {"netuid": 16, "incentive_burn": "nan"}, {"netuid": 17, "incentive_burn": "1e999"}]})",
        // rows that are not objects, repeated and out-of-order netuids, a later usable row
        R"({"data": [7, "row", null, [1, 2], {"netuid": 9, "incentive_burn": 0.2},
                     {"netuid": 3, "incentive_burn": null}, {"netuid": 3, "incentive_burn": 0.3},
                     {"netuid": 9, "incentive_burn": 0.4}, {"netuid": 1, "incentive_burn": 0.5},
                     {"netuid": 4, "incentive_burn": NaN}, {"netuid": 4, "incentive_burn": null}, {}]})",
        R"({"data": []})",
        "{\"data\": [{\"netuid\": 1, \"incentive_burn\": \"caf\xc3\xa9\"}]}",
    };
    for (const std::string& body : bodies) {
        taostats::PageSlices page;
        ASSERT_TRUE(taostats::scan_listing_page(body, page)) << body;
        expect_same(scanned(page), decoded(body), body);
    }
}

TEST(ListingPage, DeclinesWhatItCannotAnswerExactly) {
    // Bodies parse_json refuses (their error text comes from it) or whose answer the scan would
    // not give as parse_json does: the page is then decoded whole.
    const std::string bodies[] = {
        "", "[]", "null", R"("data")", "<html>", R"({"data": {}})", R"({"data": null})",
        R"({"pagination": {}})", R"({"data": [], "data": []})",
        R"({"data": [], "pagination": {}, "pagination": {}})",
        R"({"d\u0061ta": []})", R"({"data": [{"net\u0075id": 1}]})",
        R"({"data": [{"netuid": 1,}]})", R"({"data": [1 2]})", R"({"data": [{"a": tru}]})",
        R"({"data": [{"a": [1, nul]}]})", R"({"data": [{"a": 01}]})", R"({"data": [{"a": 1.}]})",
        R"({"data": [{"a": "x)", R"({"data": [{"a": "\x"}]})", R"({"data": [{"a": "\u12"}]})",
        "{\"data\": [{\"a\": \"tab\there\"}]}", R"({"data": []} x)", R"({"data": []}{})",
        R"({"data": [{"a": -}]})", R"({"data": [{"a": +1}]})", R"({"data": [{"a": Infinit}]})",
        R"({"data": [], "x": })", "{\"data\": [], \"x\": " + std::string(70, '[') +
                                      std::string(70, ']') + "}",
        "{\"data\": [{\"a\": 1" + std::string(kMaxNumberLength, '0') + "}]}",
    };
    for (const std::string& body : bodies) {
        taostats::PageSlices page;
        EXPECT_FALSE(taostats::scan_listing_page(body, page)) << body;
    }
}

TEST(ListingPage, KeepsThePaginationText) {
    taostats::PageSlices page;
    ASSERT_TRUE(taostats::scan_listing_page(
        R"({"data": [{"netuid": 1}], "pagination": {"current_page": 2, "next_page": null}})", page));
    EXPECT_EQ(page.pagination, R"({"current_page": 2, "next_page": null})");
    ASSERT_EQ(page.rows.size(), 1u);
    EXPECT_EQ(page.rows[0].netuid, "1");
    EXPECT_EQ(page.rows[0].burn, "");
    // The storage of the rows is kept, their content is not.
    ASSERT_TRUE(taostats::scan_listing_page(R"({"data": []})", page));
    EXPECT_TRUE(page.rows.empty());
    EXPECT_TRUE(page.pagination.empty());
}

TEST(ListingPage, DigestTellsPagesByWhatTheRulesMakeOfThem) {
    auto digest = [](std::string_view body) {
        taostats::PageSlices page;
        EXPECT_TRUE(taostats::scan_listing_page(body, page)) << body;
        return scanned(page).digest;
    };
    const auto a = digest(R"({"data": [{"netuid": 1, "incentive_burn": 0.5, "name": "a"}]})");
    // Members the cycle does not read, and spacing, do not tell pages apart.
    EXPECT_EQ(a, digest(R"({"data":[{"name":"b","netuid":1,"incentive_burn":0.50}]})"));
    EXPECT_NE(a, digest(R"({"data": [{"netuid": 1, "incentive_burn": 0.6}]})"));
    EXPECT_NE(a, digest(R"({"data": [{"netuid": 2, "incentive_burn": 0.5}]})"));
    EXPECT_NE(a, digest(R"({"data": [{"netuid": 1, "incentive_burn": "0.5"}, {"netuid": 1}]})"));
}

}  // namespace
}  // namespace emberscope::engine
