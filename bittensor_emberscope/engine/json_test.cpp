#include "engine/json.hpp"

#include <gtest/gtest.h>

namespace emberscope::engine {
namespace {

std::string error_of(std::string_view doc) {
    auto r = parse_json(doc);
    if (auto* e = std::get_if<JsonError>(&r)) return e->message;
    return "(parsed)";
}

JsonValue value_of(std::string_view doc) {
    auto r = parse_json(doc);
    EXPECT_TRUE(std::holds_alternative<JsonValue>(r)) << doc << ": " << error_of(doc);
    return std::holds_alternative<JsonValue>(r) ? std::get<JsonValue>(r) : JsonValue{};
}

TEST(EngineJson, ErrorsReadLikeTheHostDecoder) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", "Expecting value: line 1 column 1 (char 0)"},
        {"<html>\r\n<head>", "Expecting value: line 1 column 1 (char 0)"},
        {"{\"ok\": true", "Expecting ',' delimiter: line 1 column 12 (char 11)"},
        {"{\"a\" 1}", "Expecting ':' delimiter: line 1 column 6 (char 5)"},
        {"{'a': 1}", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"},
        {"[1,]", "Illegal trailing comma before end of array: line 1 column 3 (char 2)"},
        {"{\"a\":1,}", "Illegal trailing comma before end of object: line 1 column 7 (char 6)"},
        {"\"abc", "Unterminated string starting at: line 1 column 1 (char 0)"},
        {"\"a\tb\"", "Invalid control character at: line 1 column 3 (char 2)"},
        {"\"\\x\"", "Invalid \\escape: line 1 column 2 (char 1)"},
        {"{}\n x", "Extra data: line 2 column 2 (char 4)"},
        {"\"é\" 1", "Extra data: line 1 column 5 (char 4)"},
        {"\xEF\xBB\xBF{}", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"},
        {"-", "Expecting value: line 1 column 1 (char 0)"},
        {"[1.]", "Expecting ',' delimiter: line 1 column 3 (char 2)"},
    };
    for (const auto& [doc, message] : cases) EXPECT_EQ(error_of(doc), message) << doc;
}

TEST(EngineJson, RefusesDepthAndLongNumbersWithoutExhaustingTheStack) {
    std::string deep(100000, '[');
    auto r = parse_json(deep);
    ASSERT_TRUE(std::holds_alternative<JsonError>(r));
    EXPECT_TRUE(std::get<JsonError>(r).over_limit);

    std::string ok_depth = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
    EXPECT_TRUE(std::holds_alternative<JsonValue>(parse_json(ok_depth)));
    std::string too_deep = "[" + ok_depth + "]";
    EXPECT_TRUE(std::holds_alternative<JsonError>(parse_json(too_deep)));

    auto long_number = parse_json(std::string(5000, '7'));
    ASSERT_TRUE(std::holds_alternative<JsonError>(long_number));
    EXPECT_TRUE(std::get<JsonError>(long_number).over_limit);
    EXPECT_TRUE(std::holds_alternative<JsonValue>(parse_json(std::string(kMaxNumberLength, '7'))));
}

TEST(EngineJson, NumbersBecomeTheHostsStrTexts) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"0.18", "0.18"},   {"1e-05", "1e-05"},     {"1E400", "inf"},   {"-1e400", "-inf"},
        {"NaN", "nan"},     {"Infinity", "inf"},    {"-0", "0"},        {"-0.0", "-0.0"},
        {"3", "3"},         {"100.0", "100.0"},     {"1e16", "1e+16"},  {"123456789012345678901234567890", "123456789012345678901234567890"},
        {"0.1e1", "1.0"},   {"5E-1", "0.5"},        {"true", "True"},   {"null", "None"},
        {"[1, \"a'b\", null, {\"k\": 1.5}]", "[1, \"a'b\", None, {'k': 1.5}]"},
        {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
        {"{\"a\": 1, \"b\": 2, \"a\": 3}", "{'a': 3, 'b': 2}"},
    };
    for (const auto& [doc, text] : cases) EXPECT_EQ(host_str(value_of(doc)), text) << doc;
}

TEST(EngineJson, DumpsLikeTheHostEncoder) {
    JsonValue v = value_of("{\"b\": [1, 2.5, \"\\u00e9\\n\"], \"a\": {\"z\": null, \"y\": true}, \"c\": {}}");
    EXPECT_EQ(dump_json(v), "{\"b\": [1, 2.5, \"\\u00e9\\n\"], \"a\": {\"z\": null, \"y\": true}, \"c\": {}}");
    EXPECT_EQ(dump_json_file(v),
              "{\n  \"a\": {\n    \"y\": true,\n    \"z\": null\n  },\n  \"b\": [\n    1,\n    2.5,\n"
              "    \"\\u00e9\\n\"\n  ],\n  \"c\": {}\n}\n");
}

TEST(EngineJson, Utf8CheckIsStrict) {
    EXPECT_TRUE(is_utf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
    for (std::string_view bad : {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80"})
        EXPECT_FALSE(is_utf8(bad)) << bad;
}

// --- the fast paths, on both sides of every edge ------------------------------------------------

// Offsets that put a byte at every place of an 8-byte word and across the 32-byte steps.
constexpr std::size_t kOffsets = 40;

TEST(EngineJson, Utf8CheckAtEveryPlaceOfAWord) {
    const std::pair<std::string_view, bool> sequences[] = {
        {"\xC3\xA9", true},          {"\xDF\xBF", true},          {"\xE0\xA0\x80", true},
        {"\xE2\x82\xAC", true},      {"\xED\x9F\xBF", true},      {"\xEE\x80\x80", true},
        {"\xEF\xBF\xBF", true},      {"\xF0\x90\x80\x80", true},  {"\xF0\x9F\x98\x80", true},
        {"\xF3\xBF\xBF\xBF", true},  {"\xF4\x8F\xBF\xBF", true},  {"\x7F", true},
        {"\x80", false},             {"\xBF", false},             {"\xC0\x80", false},
        {"\xC1\xBF", false},         {"\xC2", false},             {"\xC2\x41", false},
        {"\xC2\xC0", false},         {"\xE0\x80\x80", false},     {"\xE0\x9F\xBF", false},
        {"\xED\xA0\x80", false},     {"\xED\xBF\xBF", false},     {"\xE2\x82", false},
        {"\xE2\x28\xA1", false},     {"\xE2\x82\x28", false},     {"\xF0\x80\x80\x80", false},
        {"\xF0\x8F\xBF\xBF", false}, {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false},
        {"\xF8\x88\x80\x80\x80", false}, {"\xFE", false},         {"\xFF", false},
        {"\xF0\x9F\x98", false},     {"\xF0\x9F\x98\x41", false}, {"\xF0\x9F", false},
    };
    for (const auto& [sequence, valid] : sequences) {
        for (std::size_t at = 0; at < kOffsets; ++at) {
            const std::string before(at, 'a');
            // Inside ASCII on both sides, and as the very end of the text (cut short there).
            EXPECT_EQ(is_utf8(before + std::string(sequence) + std::string(kOffsets, 'b')), valid)
                << at << " " << sequence;
            EXPECT_EQ(is_utf8(before + std::string(sequence)), valid) << at << " " << sequence;
        }
    }
    // A sequence whose lead byte ends one word and whose continuation starts the next.
    EXPECT_TRUE(is_utf8("1234567\xC3\xA9" "abcdefg\xF0\x9F\x98\x80"));
    EXPECT_FALSE(is_utf8(std::string(7, 'a') + "\xC3" + std::string(8, 'b')));
    // A fault after a long run of valid multi-byte text and after a long ASCII run.
    std::string text;
    for (int k = 0; k < 50; ++k) text += "\xE6\xB5\x8B\xE8\xAF\x95 ok";
    EXPECT_TRUE(is_utf8(text));
    EXPECT_FALSE(is_utf8(text + "\xED\xB0\x80"));
    EXPECT_FALSE(is_utf8(std::string(1000, 'x') + "\x80" + std::string(1000, 'x')));
    EXPECT_TRUE(is_utf8(""));
    EXPECT_TRUE(is_utf8(std::string("\0\0\0\0\0\0\0\0\0", 9)));
}

TEST(EngineJson, Utf8CheckOfEveryCodePointAndEveryTwoByteSequence) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        std::string one;
        if (cp < 0x80) {
            one += static_cast<char>(cp);
        } else if (cp < 0x800) {
            one += static_cast<char>(0xC0 | (cp >> 6));
            one += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            one += static_cast<char>(0xE0 | (cp >> 12));
            one += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            one += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            one += static_cast<char>(0xF0 | (cp >> 18));
            one += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            one += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            one += static_cast<char>(0x80 | (cp & 0x3F));
        }
        const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        ASSERT_EQ(is_utf8(one), !surrogate) << static_cast<unsigned long>(cp);
    }
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b) {
            const char pair[] = {static_cast<char>(a), static_cast<char>(b)};
            const bool valid = (a < 0x80 && b < 0x80) || (a >= 0xC2 && a <= 0xDF && b >= 0x80 && b <= 0xBF);
            ASSERT_EQ(is_utf8(std::string_view(pair, 2)), valid) << a << " " << b;
        }
}

TEST(EngineJson, StringsAcrossWordEdges) {
    // What stands between plain runs of `at` and 9 characters, and the text it decodes to.
    const std::pair<std::string_view, std::string_view> middles[] = {
        {"", ""},
        {"\\n", "\n"},
        {"\\\"", "\""},
        {"\\\\", "\\"},
        {"\\/", "/"},
        {"\\b\\f\\r\\t", "\b\f\r\t"},
        {"\\u00e9", "\xC3\xA9"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\x7F\xF0\x9F\x98\x80", "\x7F\xF0\x9F\x98\x80"},
        {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
        {"\\uD83D\\uDE00", "\xF0\x9F\x98\x80"},
        {"\\ud800", "\xED\xA0\x80"},
        {"\\udfff", "\xED\xBF\xBF"},
        {"\\ud800\\u0041", "\xED\xA0\x80" "A"},
        {"\\ude00\\ud83d", "\xED\xB8\x80\xED\xA0\xBD"},
        {"\\u0000", std::string_view("\0", 1)},
        {"\\\"\\\"\\\\\\n", "\"\"\\\n"},
    };
    for (const auto& [middle, decoded] : middles) {
        for (std::size_t at = 0; at < kOffsets; ++at) {
            const std::string doc = "\"" + std::string(at, 'a') + std::string(middle) + "012345678\"";
            const std::string want = std::string(at, 'a') + std::string(decoded) + "012345678";
            const JsonValue v = value_of(doc);
            EXPECT_EQ(v.kind, JsonValue::Kind::text) << doc;
            EXPECT_EQ(v.text, want) << doc;
            // The same text as a key, and twice in a row inside an array.
            const JsonValue o = value_of("{" + doc + ": " + doc + "}");
            ASSERT_EQ(o.members.size(), 1u) << doc;
            EXPECT_EQ(o.members[0].first, want) << doc;
            const JsonValue a = value_of("[" + doc + "," + doc + "]");
            ASSERT_EQ(a.items.size(), 2u) << doc;
            EXPECT_EQ(a.items[1].text, want) << doc;
        }
    }
}

TEST(EngineJson, StringFaultsAcrossWordEdgesNameTheirPlace) {
    for (std::size_t at = 0; at < kOffsets; ++at) {
        const std::string run(at, 'a');
        const std::string place = "line 1 column " + std::to_string(at + 2) + " (char " +
                                  std::to_string(at + 1) + ")";
        for (char control : {'\0', '\x01', '\t', '\n', '\x1f'}) {
            const std::string doc = "\"" + run + control + "bbbbbbbbbb\"";
            EXPECT_EQ(error_of(doc), "Invalid control character at: " + place) << at;
        }
        EXPECT_EQ(error_of("\"" + run + "\\x\""), "Invalid \\escape: " + place);
        EXPECT_EQ(error_of("\"" + run + "\\u12g4\"     "),
                  "Invalid \\uXXXX escape: line 1 column " + std::to_string(at + 3) + " (char " +
                      std::to_string(at + 2) + ")");
        EXPECT_EQ(error_of("\"" + run), "Unterminated string starting at: line 1 column 1 (char 0)");
        EXPECT_EQ(error_of("\"" + run + "\\"),
                  "Unterminated string starting at: line 1 column 1 (char 0)");
        EXPECT_EQ(error_of("\"" + run + "\\n" + run),
                  "Unterminated string starting at: line 1 column 1 (char 0)");
        // Positions count characters, not bytes.
        std::string wide;
        for (std::size_t k = 0; k < at; ++k) wide += "\xC3\xA9";
        EXPECT_EQ(error_of("\"" + wide + "\t\""), "Invalid control character at: " + place);
        EXPECT_EQ(error_of("[\"" + wide + "\", \"" + run + "\"] x"),
                  "Extra data: line 1 column " + std::to_string(2 * at + 10) + " (char " +
                      std::to_string(2 * at + 9) + ")");
    }
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"\"\\u12", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
        {"\"\\u1234", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
        {"\"\\ud800\\u12x4\"", "Invalid \\uXXXX escape: line 1 column 9 (char 8)"},
        {"\"\\ud800\\", "Unterminated string starting at: line 1 column 1 (char 0)"},
        {"{\"a\\q\": 1}", "Invalid \\escape: line 1 column 4 (char 3)"},
        {"{\"a\nb\": 1}", "Invalid control character at: line 1 column 4 (char 3)"},
        {"{\"abcdefghijklmnop", "Unterminated string starting at: line 1 column 2 (char 1)"},
    };
    for (const auto& [doc, message] : cases) EXPECT_EQ(error_of(doc), message) << doc;
}

// The members of `doc` as "key=value" texts, in their order.
std::vector<std::string> members_of(std::string_view doc) {
    std::vector<std::string> out;
    for (const auto& [key, value] : value_of(doc).members) out.push_back(key + "=" + host_str(value));
    return out;
}

TEST(EngineJson, LastOfEqualKeysWinsAtTheFirstOnesPlaceInObjectsOfEverySize) {
    for (std::size_t size : {1u, 2u, 14u, 15u, 16u, 17u, 40u, 300u}) {
        for (std::size_t repeat_of : {std::size_t{0}, size / 2, size - 1}) {
            // Keys k0..k{size-1}, then k{repeat_of} again, then one more new key, then the
            // repeated one a third time; the expected members follow the host's dict.
            std::string doc = "{";
            std::vector<std::string> want;
            for (std::size_t k = 0; k < size; ++k) {
                doc += "\"k" + std::to_string(k) + "\": " + std::to_string(k) + ", ";
                want.push_back("k" + std::to_string(k) + "=" + std::to_string(k));
            }
            const std::string key = "k" + std::to_string(repeat_of);
            doc += "\"" + key + "\": [\"second\"], \"new\": null, \"" + key + "\": {\"third\": 3}}";
            want[repeat_of] = key + "={'third': 3}";
            want.push_back("new=None");
            EXPECT_EQ(members_of(doc), want) << size << " " << repeat_of;
        }
    }
    const std::pair<std::string_view, std::vector<std::string>> cases[] = {
        // Keys that agree in length and in their first, middle and last characters.
        {R"({"axxb": 1, "ayxb": 2, "azxb": 3, "axxb": 4})", {"axxb=4", "ayxb=2", "azxb=3"}},
        {R"({"": 1, "a": 2, "": 3})", {"=3", "a=2"}},
        // An escaped spelling is the same key.
        {R"({"a": 1, "\u0061": 2, "\/": 3, "/": 4})", {"a=2", "/=4"}},
        {R"({"é": 1, "\u00e9": 2})", {"\xC3\xA9=2"}},
        {R"({"\ud800": 1, "\ud800\u0041": 2, "\ud800": 3})", {"\xED\xA0\x80=3", "\xED\xA0\x80" "A=2"}},
    };
    for (const auto& [doc, want] : cases) EXPECT_EQ(members_of(doc), want) << doc;
}

TEST(EngineJson, ObjectsOfChangingShapesAtOneLevel) {
    // Rows of one shape, then smaller and larger ones, nested at several levels.
    std::string doc = "[";
    std::string want = "[";
    for (int row = 0; row < 60; ++row) {
        const int size = row < 20 ? 13 : row < 40 ? (row % 5) : 70 - row;
        doc += row ? ", {" : "{";
        want += row ? ", {" : "{";
        for (int k = 0; k < size; ++k) {
            const std::string key = "key" + std::to_string(k);
            doc += (k ? ", \"" : "\"") + key + "\": [{\"n\": " + std::to_string(row * k) + "}, []]";
            want += (k ? ", '" : "'") + key + "': [{'n': " + std::to_string(row * k) + "}, []]";
        }
        doc += "}";
        want += "}";
    }
    doc += "]";
    want += "]";
    EXPECT_EQ(host_str(value_of(doc)), want);
    EXPECT_EQ(dump_json(value_of(doc)), doc);

    // Arrays of changing lengths at one level, and inside them at the next.
    std::string arrays = "[";
    for (int row = 0; row < 30; ++row) {
        const int size = row < 10 ? 70 : row < 20 ? row % 3 : 3 * row;
        arrays += row ? ", [" : "[";
        for (int k = 0; k < size; ++k) {
            arrays += k ? ", " : "";
            arrays += k % 4 == 0 ? "[" + std::to_string(k) + ", [], [\"x\"]]" : std::to_string(k);
        }
        arrays += "]";
    }
    arrays += "]";
    const JsonValue read = value_of(arrays);
    EXPECT_EQ(dump_json(read), arrays);
    ASSERT_EQ(read.items.size(), 30u);
    EXPECT_EQ(read.items[12].items.size(), 0u);
    EXPECT_EQ(read.items[29].items.size(), 87u);
}

TEST(EngineJson, RealsAreCorrectlyRoundedOnEveryPath) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"0.0", "0.0"},
        {"-0.0", "-0.0"},
        {"0e-999", "0.0"},
        {"-0.0e5", "-0.0"},
        {"1e-400", "0.0"},
        {"-1e-400", "-0.0"},
        {"2.4703282292062327e-324", "0.0"},
        {"2.4703282292062328e-324", "5e-324"},
        {"4.9406564584124654e-324", "5e-324"},
        {"1e-320", "1e-320"},
        {"2.2250738585072011e-308", "2.225073858507201e-308"},
        {"2.2250738585072012e-308", "2.2250738585072014e-308"},
        {"1.7976931348623157e308", "1.7976931348623157e+308"},
        {"1.7976931348623159e308", "inf"},
        {"-1.7976931348623159e308", "-inf"},
        {"9007199254740993.0", "9007199254740992.0"},
        {"1.00000000000000011102230246251565404236316680908203125", "1.0"},
        {"1.000000000000000111022302462515654042363166809082031251", "1.0000000000000002"},
        {"0.30000000000000004", "0.30000000000000004"},
        {"123456789012345678901234567890.5", "1.2345678901234568e+29"},
        {"1E+2", "100.0"},
        {"7.0e-10", "7e-10"},
        {"0.18", "0.18"},
        {"-0.0001", "-0.0001"},
        {"1e23", "1e+23"},
    };
    for (const auto& [doc, text] : cases) {
        EXPECT_EQ(host_str(value_of(doc)), text) << doc;
        EXPECT_EQ(host_str(value_of("[" + std::string(doc) + "]")), "[" + std::string(text) + "]");
    }
    EXPECT_EQ(host_str(value_of(std::string(400, '1') + ".5")), "inf");
    EXPECT_EQ(host_str(value_of("0." + std::string(300, '0') + "1e300")), "0.1");
}

TEST(EngineJson, IntegersKeepTheirDigits) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"0", "0"}, {"-0", "0"}, {"7", "7"}, {"-7", "-7"}, {"10", "10"},
        {"123456789012345678901234567890", "123456789012345678901234567890"},
        {"-9223372036854775809", "-9223372036854775809"},
    };
    for (const auto& [doc, text] : cases) {
        const JsonValue v = value_of(doc);
        EXPECT_EQ(v.kind, JsonValue::Kind::integer) << doc;
        EXPECT_EQ(v.text, text) << doc;
    }
    EXPECT_EQ(error_of("1e"), "Extra data: line 1 column 2 (char 1)");
    EXPECT_EQ(error_of("01"), "Extra data: line 1 column 2 (char 1)");
    EXPECT_EQ(error_of("-x"), "Expecting value: line 1 column 1 (char 0)");
    EXPECT_EQ(error_of("[1, -]"), "Expecting value: line 1 column 5 (char 4)");
}


// Texts inside containers are shown as the host's repr() shows them: every character that
// str.isprintable() refuses is escaped, in the shortest of its \x, \u and \U forms.
TEST(EngineJson, NestedTextsEscapeWhatTheHostCannotPrint) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {R"(["\ue003"])", R"(['\ue003'])"},            // private use
        {R"(["\u0a0b"])", R"(['\u0a0b'])"},            // unassigned
        {R"(["\u0378"])", R"(['\u0378'])"},
        {R"(["\ufffe"])", R"(['\ufffe'])"},            // non-character
        {R"(["\udb80\udc00"])", R"(['\U000f0000'])"},  // private use beyond the first plane
        {R"(["\udb40\udc01"])", R"(['\U000e0001'])"},  // format
        {R"(["\udbff\udffd"])", R"(['\U0010fffd'])"},
        {R"(["\ud83f\udffe"])", R"(['\U0001fffe'])"},
        {R"(["\u2028"])", R"(['\u2028'])"},
        {R"(["\u00ad"])", R"(['\xad'])"},
        {R"(["\ud800"])", R"(['\ud800'])"},
        {R"(["\ud83d\udd25", "\u00e9", "\u6d4b"])", "['\xF0\x9F\x94\xA5', '\xC3\xA9', '\xE6\xB5\x8B']"},
    };
    for (const auto& [doc, shown] : cases) EXPECT_EQ(host_str(value_of(doc)), shown) << doc;
}

}  // namespace
}  // namespace emberscope::engine
