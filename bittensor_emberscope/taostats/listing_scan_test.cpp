#include "taostats/listing_scan.hpp"

#include <gtest/gtest.h>

#include <string>

#include "testing_cpp/fake_codecs.hpp"
#include "testing_cpp/fake_services.hpp"
#include "common/utf8.hpp"
#include "taostats/client.hpp"

namespace emberscope::taostats {
namespace {

std::string one_row(std::string_view members) {
    return "{\"data\":[{" + std::string(members) + "}]}";
}

TEST(ListingScan, OwnerBurnTextOfEveryKindOfValue) {
    // What the host's decoding followed by the row rule gives for each value.
    struct Case {
        const char* json;
        const char* text;
    } cases[] = {
        {"0.25", "0.25"},       {"1.0", "1.0"},         {"1", "1"},
        {"-7", "-7"},           {"100", "100"},         {"0", "0"},
        {"-0", "0"},            {"0.0", "0"},           {"-0.0", "0"},
        {"0e5", "0"},           {"1e-05", "1e-05"},     {"1E16", "1e+16"},
        {"1e400", "inf"},       {"-1e400", "-inf"},     {"1e-400", "0"},
        {"0.1000", "0.1"},      {"5e-1", "0.5"},        {"123456789012345678901234", "123456789012345678901234"},
        {"true", "True"},       {"false", "0"},         {"null", "0"},
        {"NaN", "nan"},         {"Infinity", "inf"},    {"-Infinity", "-inf"},
        {"\"\"", "0"},          {"\"0.0\"", "0.0"},     {"\" 0.5 \"", " 0.5 "},
        {"\"n/a\"", "n/a"},     {"\"\xC3\xA9t\xC3\xA9\"", "\xC3\xA9t\xC3\xA9"},
        {"[]", "0"},            {"{}", "0"},            {"[ \n ]", "0"},
        {"{\t}", "0"},
    };
    for (const Case& c : cases) {
        const auto scanned =
            scan_listing(one_row(std::string("\"netuid\": 4, \"incentive_burn\": ") + c.json));
        ASSERT_TRUE(scanned) << c.json;
        ASSERT_EQ(scanned->burns.size(), 1u) << c.json;
        EXPECT_EQ(scanned->burns[0].first, "4");
        EXPECT_EQ(scanned->burns[0].second, c.text) << c.json;
    }
    const auto absent = scan_listing(one_row("\"netuid\": 4"));
    ASSERT_TRUE(absent);
    EXPECT_EQ(absent->burns, (burns::BurnMap{{"4", "0"}}));
}

TEST(ListingScan, NetuidKeysAndTheMapsOrder) {
    struct Case {
        const char* body;
        burns::BurnMap burns;
        std::size_t rows;
    } cases[] = {
        {R"({"data":[{"netuid":0},{"netuid":-0},{"netuid":-3}]})", {{"0", "0"}, {"-3", "0"}}, 3},
        {R"({"data":[{"netuid":"12","incentive_burn":1},{"netuid":12,"incentive_burn":2}]})",
         {{"12", "2"}}, 2},
        {R"({"data":[{"netuid":"","incentive_burn":"x"}]})", {{"", "x"}}, 1},
        {R"({"data":[{"netuid":99999999999999999999999}]})", {{"99999999999999999999999", "0"}}, 1},
        // A repeated netuid keeps its first place and takes the later value.
        {R"({"data":[{"netuid":2,"incentive_burn":1},{"netuid":1},{"netuid":2,"incentive_burn":0.5}]})",
         {{"2", "0.5"}, {"1", "0"}}, 3},
        // Ascending integers need no index until the order breaks: a repeat after that, of
        // an integer or of the same key as a text, still finds its first place.
        {R"({"data":[{"netuid":1,"incentive_burn":1},{"netuid":2},{"netuid":3},{"netuid":2,"incentive_burn":7},{"netuid":"3","incentive_burn":8},{"netuid":1,"incentive_burn":9}]})",
         {{"1", "9"}, {"2", "7"}, {"3", "8"}}, 6},
        {R"({"data":[{"netuid":"1"},{"netuid":2},{"netuid":1,"incentive_burn":5},{"netuid":-1}]})",
         {{"1", "5"}, {"2", "0"}, {"-1", "0"}}, 4},
        {R"({"data":[{"netuid":999999999999999999},{"netuid":1000000000000000000},{"netuid":999999999999999999,"incentive_burn":2}]})",
         {{"999999999999999999", "2"}, {"1000000000000000000", "0"}}, 3},
        // Rows without a netuid count as rows and give no entry.
        {R"({"data":[{},{"name":"x"},{"netuid":5}]})", {{"5", "0"}}, 3},
        // Everything else in a row, and around the rows, is read and left.
        {" \r\n\t{ \"pagination\" : {\"next_page\": null, \"x\": [1, -2.5e3, true, false, NaN,"
         " -Infinity, \"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\\u00e9\\ud800\"]} , \"data\" : [ { \"owner\""
         " : {\"ss58\": \"5E7\", \"deep\": [[[{}]]]}, \"netuid\" : 7 , \"incentive_burn\" : 0.18"
         " } ] , \"extra\": {} } \n",
         {{"7", "0.18"}}, 1},
    };
    for (const Case& c : cases) {
        const auto scanned = scan_listing(c.body);
        ASSERT_TRUE(scanned) << c.body;
        EXPECT_EQ(scanned->burns, c.burns) << c.body;
        EXPECT_EQ(scanned->rows, c.rows) << c.body;
    }
}

TEST(ListingScan, LeavesEveryOtherAnswerToTheHost) {
    const std::string deep = std::string(70, '[') + std::string(70, ']');
    const char* bodies[] = {
        // Not the listing's shape.
        "", "[]", "null", "{}", R"({"data":[]})", R"({"data":null})", R"({"data":{"a":1}})",
        R"({"data":[1]})", R"({"data":[{"netuid":1}, []]})", R"({"pagination":{}})",
        R"({"data":[{"netuid":1}],"data":[{"netuid":2}]})",
        // The rate-limit test and the failure test read these members.
        R"({"status_code":200,"data":[{"netuid":1}]})", R"({"message":"ok","data":[{"netuid":1}]})",
        // Escaped keys, escaped netuid and owner burn texts.
        R"({"d\u0061ta":[{"netuid":1}]})", R"({"data":[{"net\u0075id":1}]})",
        R"({"data":[{"netuid":"1\u0030"}]})", R"({"data":[{"netuid":1,"incentive_burn":"\u0030"}]})",
        // Netuids and owner burn values that take the host's str().
        R"({"data":[{"netuid":1.5}]})", R"({"data":[{"netuid":true}]})", R"({"data":[{"netuid":null}]})",
        R"({"data":[{"netuid":[1]}]})", R"({"data":[{"netuid":1,"incentive_burn":[0]}]})",
        R"({"data":[{"netuid":1,"incentive_burn":{"a":1}}]})",
        R"({"data":[{"netuid":1,"netuid":2}]})", R"({"data":[{"netuid":1,"incentive_burn":1,"incentive_burn":2}]})",
        // What the host's decoder refuses.
        "\xEF\xBB\xBF{\"data\":[{\"netuid\":1}]}", R"({"data":[{"netuid":1},]})",
        R"({"data":[{"netuid":1,}]})", R"({"data":[{"netuid" 1}]})", "{'data':[{'netuid':1}]}",
        "{\"data\":[{\"netuid\":1,\"name\":\"a\nb\"}]}", R"({"data":[{"netuid":1,"name":"\x"}]})",
        R"({"data":[{"netuid":1,"name":"\u12"}]})", R"({"data":[{"netuid":01}]})",
        R"({"data":[{"netuid":1,"incentive_burn":1.}]})", R"({"data":[{"netuid":1,"incentive_burn":.5}]})",
        R"({"data":[{"netuid":1,"incentive_burn":-}]})", R"({"data":[{"netuid":1,"incentive_burn":+1}]})",
        R"({"data":[{"netuid":1,"incentive_burn":1e}]})", R"({"data":[{"netuid":1}]} x)",
        R"({"data":[{"netuid":1}]}{})", R"({"data":[{"netuid":1,"name":"abc)", R"({"data":[{"netuid":1,"x":nul}]})",
        R"({"data":[{"netuid":1,"x":nan}]})", R"({"data":[{"netuid":1,"x":-NaN}]})",
        "{\"data\":[{\"netuid\":1,\"x\":\"\xFF\"}]}", "{\"data\":[{\"netuid\":1,\"x\":\"\xED\xA0\x80\"}]}",
        "{\"data\":[{\"netuid\":1,\"x\":\"\xC0\x80\"}]}", "{\"data\":[{\"netuid\":1}]}\xC3",
        "{\"data\":[{\"netuid\":1,\"x\":\"\0\"}]}",
    };
    for (const char* body : bodies) EXPECT_FALSE(scan_listing(body)) << body;
    EXPECT_FALSE(scan_listing(std::string("{\"data\":[{\"netuid\":1,\"x\":\"a\0b\"}]}", 35)));
    EXPECT_FALSE(scan_listing(R"({"data":[{"netuid":1,"x":)" + deep + "}]}"));
    EXPECT_TRUE(scan_listing(R"({"data":[{"netuid":1,"x":)" + std::string(50, '[') +
                             std::string(50, ']') + "}]}"));
    // Numbers beyond the host's digit limit are refused there: the host's way.
    EXPECT_FALSE(scan_listing(R"({"data":[{"netuid":1,"x":)" + std::string(4001, '7') + "}]}"));
    EXPECT_TRUE(scan_listing(R"({"data":[{"netuid":1,"x":)" + std::string(4000, '7') + "}]}"));
}

TEST(ListingScan, PlainRunsAcrossWordEdges) {
    // A quotation mark, backslash or control character at every offset of an eight-byte word.
    for (std::size_t pad = 0; pad < 17; ++pad) {
        const std::string before(pad, 'a');
        const std::string ok = one_row("\"netuid\":1,\"x\":\"" + before + "\\\"z\",\"incentive_burn\":\"" +
                                       before + "\xC3\xA9\"");
        const auto scanned = scan_listing(ok);
        ASSERT_TRUE(scanned) << pad;
        EXPECT_EQ(scanned->burns[0].second, before + "\xC3\xA9") << pad;
        EXPECT_FALSE(scan_listing(one_row("\"netuid\":1,\"x\":\"" + before + "\x1F\""))) << pad;
        EXPECT_FALSE(scan_listing(one_row("\"netuid\":1,\"x\":\"" + before + "\\q\""))) << pad;
        EXPECT_TRUE(scan_listing(one_row("\"netuid\":1,\"x\":\"" + before + "\x7F\x20~\""))) << pad;
    }
}

TEST(StrictUtf8, AcceptsWhatTheHostDecodesAtEveryOffset) {
    struct Case {
        const char* bytes;
        bool ok;
    } cases[] = {
        {"\xC2\x80", true},         {"\xDF\xBF", true},          {"\xE0\xA0\x80", true},
        {"\xED\x9F\xBF", true},     {"\xEE\x80\x80", true},      {"\xF0\x90\x80\x80", true},
        {"\xF4\x8F\xBF\xBF", true}, {"\xC0\x80", false},         {"\xC1\xBF", false},
        {"\xE0\x9F\xBF", false},    {"\xED\xA0\x80", false},     {"\xED\xBF\xBF", false},
        {"\xF0\x8F\xBF\xBF", false}, {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false},
        {"\x80", false},            {"\xBF", false},             {"\xC2", false},
        {"\xE0\xA0", false},        {"\xF0\x90\x80", false},     {"\xC2\x41", false},
        {"\xFF", false},
    };
    for (const Case& c : cases) {
        for (std::size_t pad = 0; pad < 17; ++pad) {
            const std::string at_end = std::string(pad, 'a') + c.bytes;
            EXPECT_EQ(utf8::is_strict(at_end), c.ok) << pad << " " << c.bytes;
            EXPECT_EQ(utf8::is_strict(at_end + std::string(9, 'b')), c.ok) << pad;
        }
    }
    EXPECT_TRUE(utf8::is_strict(""));
    EXPECT_TRUE(utf8::is_strict(std::string(4, '\0')));
}

TEST(ListingScan, OnePageScanUnderEachReadersRules) {
    struct Case {
        std::string body;
        bool command, host;  // taken under kCommandScan, under kHostScan
        bool record_words = false;
        bool repeats = false;
    };
    const std::string long_number = std::string(4001, '7');
    const Case cases[] = {
        {R"({"data":[{"netuid":1,"incentive_burn":0.5}]})", true, true},
        // A record's words are found for the documented module's rate-limit test.
        {R"({"message":"Rate Limited","data":[]})", true, true, true},
        {R"({"data":[],"status_code":429})", true, true, true},
        {R"({"data":[{"message":"x","status_code":1}]})", true, true, false},
        // A repeated member: the last is kept, and the repeat is told.
        {R"({"data":[{"netuid":1,"netuid":2}]})", true, true, false, true},
        {R"({"data":[{"incentive_burn":1,"netuid":1,"incentive_burn":2}]})", true, true, false, true},
        // Bytes of a text: the command checks the body's UTF-8 before; the host's scan checks it.
        {"{\"data\":[{\"netuid\":1,\"x\":\"\xC3\xA9\"}]}", true, true},
        {"{\"data\":[{\"netuid\":1,\"x\":\"\xFF\"}]}", true, false},
        // Numbers between the host's margin and parse_json's digit limit.
        {R"({"data":[{"netuid":1,"x":)" + long_number + "}]}", true, false},
        {R"({"data":[{"netuid":1,"x":)" + std::string(4301, '7') + "}]}", false, false},
    };
    for (const Case& c : cases) {
        PageSlices page;
        EXPECT_EQ(scan_listing_page(c.body, page, kCommandScan), c.command) << c.body;
        if (c.command) {
            EXPECT_EQ(page.record_words, c.record_words) << c.body;
            EXPECT_EQ(!page.rows.empty() && page.rows[0].repeats, c.repeats) << c.body;
        }
        EXPECT_EQ(scan_listing_page(c.body, page, kHostScan), c.host) << c.body;
    }
    PageSlices page;
    ASSERT_TRUE(scan_listing_page(R"({"data":[{"netuid":1,"netuid":"2","incentive_burn":3}]})", page));
    EXPECT_EQ(page.rows[0].netuid, "\"2\"");
    EXPECT_EQ(page.rows[0].burn, "3");
}

TEST(MapOnlyDecoder, ScansPlainSuccessesOnlyWhenAllowed) {
    using testing::FakeDecoder;
    const std::string plain = R"({"data":[{"netuid":3,"incentive_burn":0.5}]})";
    for (const bool allowed : {true, false}) {
        FakeDecoder inner;
        MapOnlyDecoder decoder(inner, allowed);
        HttpAnswer answer;
        answer.status = 200;
        answer.body = plain;
        PayloadPtr payload = decoder.success(answer);
        EXPECT_EQ(scanned(*payload) != nullptr, allowed);
        if (!allowed) continue;
        EXPECT_FALSE(decoder.is_rate_limited(*payload));
        PayloadPtr listing = decoder.listing_of(std::move(payload));
        const ScannedListing* rows = scanned(*listing);
        ASSERT_NE(rows, nullptr);
        EXPECT_EQ(rows->burns, (burns::BurnMap{{"3", "0.5"}}));
        // A body cut at its limit is never scanned, whatever it holds.
        answer.body_over_limit = true;
        EXPECT_EQ(scanned(*decoder.success(answer)), nullptr);
    }
}

}  // namespace
}  // namespace emberscope::taostats
