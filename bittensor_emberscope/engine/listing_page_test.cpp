#include "engine/listing_page.hpp"

#include <gtest/gtest.h>

#include <string>

#include "engine/json.hpp"
#include "engine/listing.hpp"

namespace emberscope::engine {
namespace {

struct Read {
    Listing listing;
    std::uint64_t digest = 0;
};

// The rows of a body read as the scan reads them.
Read scanned(const PageSlices& page) {
    ListingReader reader;
    for (const RowSlices& row : page.rows) reader.add(row);
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
        PageSlices page;
        ASSERT_TRUE(scan_listing_page(body, page)) << body;
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
        PageSlices page;
        EXPECT_FALSE(scan_listing_page(body, page)) << body;
    }
}

TEST(ListingPage, KeepsThePaginationText) {
    PageSlices page;
    ASSERT_TRUE(scan_listing_page(
        R"({"data": [{"netuid": 1}], "pagination": {"current_page": 2, "next_page": null}})", page));
    EXPECT_EQ(page.pagination, R"({"current_page": 2, "next_page": null})");
    ASSERT_EQ(page.rows.size(), 1u);
    EXPECT_EQ(page.rows[0].netuid, "1");
    EXPECT_EQ(page.rows[0].burn, "");
    // The storage of the rows is kept, their content is not.
    ASSERT_TRUE(scan_listing_page(R"({"data": []})", page));
    EXPECT_TRUE(page.rows.empty());
    EXPECT_TRUE(page.pagination.empty());
}

TEST(ListingPage, DigestTellsPagesByWhatTheRulesMakeOfThem) {
    auto digest = [](std::string_view body) {
        PageSlices page;
        EXPECT_TRUE(scan_listing_page(body, page)) << body;
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
