// Tests for the state file text: escaping table, key order and whole documents.
#include "burns/state_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
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

// Plain ASCII is copied in runs; escapes at the start, the middle and the end of a run.
TEST(StateText, EscapesBetweenPlainRuns) {
    const struct {
        std::string input;
        std::string expected;
    } cases[] = {
        {"ab\\cd", R"("ab\\cd")"},          {"abc\n", R"("abc\n")"},
        {"\nabc", R"("\nabc")"},            {"a\"b\"c", R"("a\"b\"c")"},
        {"0.18\x7f", R"("0.18\u007f")"},    {"\x1f" "0.5", R"("\u001f0.5")"},
        {"x\xc3\xa9", R"("x\u00e9")"},      {"\xc3\xa9x", R"("\u00e9x")"},
        {"1 2~3", R"("1 2~3")"},            {std::string(1000, 'a') + "\t", "\"" + std::string(1000, 'a') + "\\t\""},
    };
    for (const auto& c : cases) EXPECT_EQ(encoded(c.input), c.expected) << c.input;
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

using Entries = std::vector<std::pair<std::string, std::string>>;

TEST(StateFileReading, ReadsBackWhatIsWritten) {
    const std::vector<Entries> maps = {
        {},
        {{"2", "0.5"}, {"10", "1e-05"}, {"1", "0.18"}, {"0", "0"}},
        {{"7", "\xc3\xa9"}, {"8", "\xf0\x9f\x98\x80"}, {"9", "\xed\xb2\x80"}},
        {{"a\"b", "c\\d"}, {"\n", "\t\b\f\r/"}, {std::string("\0\x1f", 2), "\x7f"}},
    };
    for (const auto& map : maps) {
        Entries sorted = map;
        std::sort(sorted.begin(), sorted.end());
        const auto read = read_state_file(render_state_file(map, "2026-03-01T12:00:00Z"));
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(*read, sorted);
    }
}

struct ReadCase {
    const char* text;
    std::optional<Entries> expected;
};

const std::vector<ReadCase>& read_cases() {
    static const std::vector<ReadCase> cases = {
        {R"({"owner_burn_rate": {"1": "0.5", "2": "x"}})", Entries{{"1", "0.5"}, {"2", "x"}}},
        {" \t\r\n{\"owner_burn_rate\":{\"5\":\"1\"}} \n", Entries{{"5", "1"}}},
        {"{}", Entries{}},
        {R"({"a": "b"})", Entries{}},
        {R"({"owner_burn_rate": "x"})", Entries{}},
        {R"({"owner_burn_rate": {}, "updated_at_utc": "t"})", Entries{}},
        {R"({"a": {"1": "2"}, "owner_burn_rate": {"3": "4"}, "z": {}})", Entries{{"3", "4"}}},
        {R"({"owner_burn_rate": {"1": "\u00e9\ud83d\ude00\ud83d\u0041"}})",
         Entries{{"1", "\xc3\xa9\xf0\x9f\x98\x80\xed\xa0\xbd" "A"}}},
        {R"({"owner_burn_rate": {"1": "\uD83D\uDE00"}})", Entries{{"1", "\xf0\x9f\x98\x80"}}},
        // Separators spaced otherwise than the module writes them, beside the written ones.
        {"{\"owner_burn_rate\": {\n    \"1\": \"a\",\n    \"2\" : \"b\",\n   \"3\":\"c\" ,\n\t\"4\":  \"d\",\n     \"5\": \"e\"\n  }\n}\n",
         Entries{{"1", "a"}, {"2", "b"}, {"3", "c"}, {"4", "d"}, {"5", "e"}}},
        {"{\"owner_burn_rate\": {\"1\": \"a\",\n    \"2\": \"b\",\n    \"3\": \"c\"}}",
         Entries{{"1", "a"}, {"2", "b"}, {"3", "c"}}},
        // Everything below is the host's to read, to refuse or to convert.
        {"", std::nullopt},
        {"{", std::nullopt},
        {"[]", std::nullopt},
        {"\xef\xbb\xbf{}", std::nullopt},
        {R"({"owner_burn_rate": {"1": 0.5}})", std::nullopt},
        {R"({"owner_burn_rate": null})", std::nullopt},
        {R"({"owner_burn_rate": {"2": "a", "1": "b"}})", std::nullopt},
        {R"({"owner_burn_rate": {"1": "a", "1": "b"}})", std::nullopt},
        {R"({"owner_burn_rate": {}, "owner_burn_rate": {}})", std::nullopt},
        {R"({"owner_burn_rate": {"1": "a"},})", std::nullopt},
        {R"({"owner_burn_rate": {"1": "a"}} x)", std::nullopt},
        {"{\"owner_burn_rate\": {\"1\": \"a\tb\"}}", std::nullopt},
        {"{\"owner_burn_rate\": {\"1\": \"\xc3\xa9\"}}", std::nullopt},
        {R"({"owner_burn_rate": {"1": "\x"}})", std::nullopt},
        {R"({"owner_burn_rate": {"1": "\u12"}})", std::nullopt},
        {R"({"owner_burn_rate": {"1": "\ud83d\u12"}})", std::nullopt},
        {"{\"owner_burn_rate\": {\"1\": \"a", std::nullopt},
        {"{\"owner_burn_rate\"\f: {}}", std::nullopt},
        {"{\"owner_burn_rate\": {\"1\": \"a\",\n    x\"2\": \"b\"}}", std::nullopt},
        {"{\"owner_burn_rate\": {\"1\": \"a\",\n    \"1\": \"b\"}}", std::nullopt},
        {"{\"owner_burn_rate\": {\"1\": x\"a\"}}", std::nullopt},
        {"{\"owner_burn_rate\": {\"1\": \"a\",\n    \"2\": \"b\",\n    }}", std::nullopt},
        {"{\"owner_burn_rate\": {\"1\": \"a\",\n    \"2\" \"b\"}}", std::nullopt},
    };
    return cases;
}

TEST(StateFileReading, ReadsTheShapeAndHandsEverythingElseToTheHost) {
    for (const auto& c : read_cases()) EXPECT_EQ(read_state_file(c.text), c.expected) << c.text;
}

// The reader without copies: the same entries, and a view of the file's text only where the
// text is printable ASCII written without escapes.
TEST(StateFileReading, ViewsReadWhatCopiesRead) {
    std::vector<std::string> texts;
    for (const auto& c : read_cases()) texts.emplace_back(c.text);
    texts.push_back(render_state_file({{"2", "0.5"}, {"10", "1e-05"}, {"0", ""}}, "t"));
    texts.push_back(render_state_file({{"\xc3\xa9", "a\"b"}, {"x\ny", "\xf0\x9f\x98\x80"}}, "t"));
    texts.push_back(R"({"owner_burn_rate": {"\u0031": "\u0041", "2": "\/"}})");
    StateEntryViews views;
    for (const std::string& text : texts) {
        const auto copies = read_state_file(text);
        ASSERT_EQ(read_state_file(text, views), copies.has_value()) << text;
        if (!copies) continue;
        Entries read;
        for (const auto& [key, value] : views.entries) {
            read.emplace_back(key, value);
            for (const std::string_view v : {key, value}) {
                const bool in_file = v.data() >= text.data() && v.data() < text.data() + text.size();
                const bool plain = std::all_of(v.begin(), v.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
                if (!in_file) continue;
                EXPECT_TRUE(plain) << text;
                // A view of the file is of the text as written: quoted, without escapes.
                EXPECT_EQ(text[static_cast<std::size_t>(v.data() - text.data()) - 1], '"') << text;
            }
        }
        EXPECT_EQ(read, *copies) << text;
    }
    // Views of the written file's texts, decoded copies for escaped ones.
    const std::string text = R"({"owner_burn_rate": {"\u0031": "0.5", "2": "a\u0041"}})";
    ASSERT_TRUE(read_state_file(text, views));
    ASSERT_EQ(views.entries.size(), 2u);
    EXPECT_EQ(views.entries[0].second.data(), text.data() + text.find("0.5"));
    EXPECT_EQ(views.entries[1].first.data(), text.data() + text.find("2\""));
    EXPECT_EQ(views.decoded.size(), 2u);
}

// Texts are scanned several bytes at a time: a byte that ends or breaks a plain run must be
// found at every place of a word, in texts shorter and longer than a word, and the bytes just
// beside those must not stop it.
TEST(StateFileReading, FindsTheByteThatEndsAPlainRunAtEveryPlace) {
    const std::string filler = "0.123456789 !#[]`~abcXYZ/";
    const struct {
        char byte;
        bool plain;  // kept in the text; else the text is the host's to read
    } cases[] = {
        {' ', true},    {'!', true},    {'#', true},    {'[', true},    {']', true},
        {'~', true},    {'`', true},    {'/', true},    {'\x00', false}, {'\x01', false},
        {'\x1f', false}, {'\x7f', false}, {'\x80', false}, {'\xc3', false}, {'\xff', false},
    };
    for (std::size_t n = 1; n <= filler.size(); ++n) {
        for (std::size_t at = 0; at < n; ++at) {
            for (const auto& c : cases) {
                std::string value = filler.substr(0, n);
                value[at] = c.byte;
                const std::string text = "{\"owner_burn_rate\": {\"" + value + "\": \"" + value + "\"}}";
                const std::optional<Entries> expected =
                    c.plain ? std::optional<Entries>(Entries{{value, value}}) : std::nullopt;
                EXPECT_EQ(read_state_file(text), expected) << n << " " << at << " " << int(c.byte);
                StateEntryViews views;
                ASSERT_EQ(read_state_file(text, views), c.plain) << n << " " << at;
                if (!c.plain) continue;
                ASSERT_EQ(views.entries.size(), 1u);
                EXPECT_EQ(views.entries[0].first.data(), text.data() + 22);
                EXPECT_EQ(views.entries[0].second, value);
                EXPECT_TRUE(views.decoded.empty());
            }
            // An escape at the same place: a decoded copy.
            std::string written = filler.substr(0, n);
            written.replace(at, 1, "\\t");
            std::string value = filler.substr(0, n);
            value[at] = '\t';
            const std::string text = "{\"owner_burn_rate\": {\"1\": \"" + written + "\"}}";
            EXPECT_EQ(read_state_file(text), (Entries{{"1", value}})) << text;
            StateEntryViews views;
            ASSERT_TRUE(read_state_file(text, views));
            EXPECT_EQ(views.entries.at(0).second, value);
            EXPECT_EQ(views.decoded.size(), 1u);
            // A quotation mark at that place ends the text early, and what follows is no JSON.
            std::string cut = filler.substr(0, n);
            cut[at] = '"';
            EXPECT_EQ(read_state_file("{\"owner_burn_rate\": {\"1\": \"" + cut + "x\"}}"), std::nullopt);
        }
    }
}

// A text cut anywhere, inside a text or between them, is never read as a whole file.
TEST(StateFileReading, RefusesEveryCutOfAWrittenFile) {
    const std::string text = render_state_file(
        {{"1", "0.123456789012"}, {"22", "1e-05"}, {"333", ""}, {"4444", "0.5"}}, "2026-03-01T12:00:00Z");
    ASSERT_EQ(read_state_file(text), (Entries{{"1", "0.123456789012"}, {"22", "1e-05"}, {"333", ""}, {"4444", "0.5"}}));
    StateEntryViews views;
    for (std::size_t n = 0; n + 1 < text.size(); ++n) {
        // Only the final line feed may go: white space after the document.
        const std::string cut = text.substr(0, n);
        EXPECT_EQ(read_state_file(cut), std::nullopt) << n;
        EXPECT_FALSE(read_state_file(cut, views)) << n;
    }
}

}  // namespace
}  // namespace emberscope::burns
