// Tests for the state file text: escaping table, key order and whole documents.
#include "burns/state_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace emberscope::burns {
namespace {

std::string encoded(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

TEST(StateText, EscapesLikeTheHostEncoder) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", R"("")"},
        {"0.18", R"("0.18")"},
        {" ~", R"(" ~")"},
        {"a/b", R"("a/b")"},
        {"\"", R"("\"")"},
        {"\\", R"("\\")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {std::string("\0", 1), R"("\u0000")"},
        {"\x01\x1f", R"("\u0001\u001f")"},
        {"\x0b", R"("\u000b")"},
        {"\x7f", R"("\u007f")"},
        {"\xc2\x80", R"("\u0080")"},
        {"\xc3\xa9", R"("\u00e9")"},
        {"\xe2\x86\x92", R"("\u2192")"},
        {"\xef\xbb\xbf", R"("\ufeff")"},
        {"\xef\xbf\xbf", R"("\uffff")"},
        {"\xf0\x9f\x98\x80", R"("\ud83d\ude00")"},
        {"\xf0\x90\x80\x80", R"("\ud800\udc00")"},
        {"\xf4\x8f\xbf\xbf", R"("\udbff\udfff")"},
        {"\xed\xb2\x80", R"("\udc80")"},
        {"\xed\xa0\xbd", R"("\ud83d")"},
        {"x\xc3\xa9y\"z", R"("x\u00e9y\"z")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encoded(c.input), c.expected) << "input bytes: " << c.input;
    }
}

TEST(StateText, AppendsWithoutTouchingExistingContent) {
    std::string out = "prefix:";
    append_json_string(out, "\xc3\xa9");
    EXPECT_EQ(out, R"(prefix:"\u00e9")");
}

TEST(StateText, WritesTheFourSubnetExample) {
    const std::string expected =
        "{\n"
        "  \"owner_burn_rate\": {\n"
        "    \"0\": \"0\",\n"
        "    \"1\": \"0.18\",\n"
        "    \"10\": \"1e-05\",\n"
        "    \"2\": \"0.5\"\n"
        "  },\n"
        "  \"updated_at_utc\": \"2026-12-06T17:14:27Z\"\n"
        "}\n";
    EXPECT_EQ(render_state_file({{"2", "0.5"}, {"10", "1e-05"}, {"1", "0.18"}, {"0", "0"}},
                                "2026-12-06T17:14:27Z"),
              expected);
}

TEST(StateText, WritesAnEmptyMapOnTheKeyLine) {
    EXPECT_EQ(render_state_file({}, "2026-03-01T12:00:00Z"),
              "{\n"
              "  \"owner_burn_rate\": {},\n"
              "  \"updated_at_utc\": \"2026-03-01T12:00:00Z\"\n"
              "}\n");
}

TEST(StateText, WritesASingleEntryWithoutComma) {
    EXPECT_EQ(render_state_file({{"7", "\xc3\xa9"}}, ""),
              "{\n"
              "  \"owner_burn_rate\": {\n"
              "    \"7\": \"\\u00e9\"\n"
              "  },\n"
              "  \"updated_at_utc\": \"\"\n"
              "}\n");
}

TEST(StateText, SortsKeysByCodePoint) {
    // Code point order: "0" < "100" < "11" < "2" < "Z" < "a" < U+00E9 < U+D7FF < lone U+DC80
    // < U+E000 < U+1F600. A UTF-16 ordering would put U+1F600 (D83D DE00) before U+E000.
    const std::vector<std::pair<std::string, std::string>> burns = {
        {"\xf0\x9f\x98\x80", "g"}, {"\xee\x80\x80", "f"}, {"\xed\xb2\x80", "e"},
        {"\xed\x9f\xbf", "d"},     {"\xc3\xa9", "c"},     {"a", "b"},
        {"Z", "a"},                {"2", "4"},            {"11", "3"},
        {"100", "2"},              {"0", "1"},
    };
    const std::string expected =
        "{\n"
        "  \"owner_burn_rate\": {\n"
        "    \"0\": \"1\",\n"
        "    \"100\": \"2\",\n"
        "    \"11\": \"3\",\n"
        "    \"2\": \"4\",\n"
        "    \"Z\": \"a\",\n"
        "    \"a\": \"b\",\n"
        "    \"\\u00e9\": \"c\",\n"
        "    \"\\ud7ff\": \"d\",\n"
        "    \"\\udc80\": \"e\",\n"
        "    \"\\ue000\": \"f\",\n"
        "    \"\\ud83d\\ude00\": \"g\"\n"
        "  },\n"
        "  \"updated_at_utc\": \"t\"\n"
        "}\n";
    EXPECT_EQ(render_state_file(burns, "t"), expected);
}

TEST(StateText, EscapesKeysValuesAndTimeStamp) {
    EXPECT_EQ(render_state_file({{"a\"b", "c\\d\n"}}, "\x7f/"),
              "{\n"
              "  \"owner_burn_rate\": {\n"
              "    \"a\\\"b\": \"c\\\\d\\n\"\n"
              "  },\n"
              "  \"updated_at_utc\": \"\\u007f/\"\n"
              "}\n");
}

}  // namespace
}  // namespace emberscope::burns
