#include "common/json_lexer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace emberscope::json_lexer {
namespace {

using namespace std::string_view_literals;

const char* end_of(std::string_view s) { return s.data() + s.size(); }

TEST(JsonLexer, SkipsOnlyJsonWhiteSpace) {
    const struct {
        std::string_view text;
        std::size_t skipped;
    } cases[] = {
        {"", 0},          {"x", 0},          {" \t\r\nx", 4}, {"    ", 4},
        {"\f1", 0},       {"\v1", 0},        {"\x01", 0},     {"\xC2\xA0", 0},
        {" \x1F", 1},     {"\0 "sv, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(skip_space(c.text.data(), end_of(c.text)) - c.text.data(),
                  static_cast<std::ptrdiff_t>(c.skipped))
            << c.text;
}

TEST(JsonLexer, LiteralsMatchWholeAndNeverReadPastTheEnd) {
    // Each text is cut from a longer buffer, so a comparison past its end would see the rest.
    const std::string buffer = "true false null NaN -Infinity Infinity";
    const auto at = [&](std::size_t from, std::size_t length) {
        return std::string_view(buffer).substr(from, length);
    };
    EXPECT_TRUE(starts_with(at(0, 4).data(), end_of(at(0, 4)), "true"));
    EXPECT_FALSE(starts_with(at(0, 3).data(), end_of(at(0, 3)), "true"));
    EXPECT_TRUE(starts_with(at(0, 20).data(), end_of(at(0, 20)), "true"));
    EXPECT_FALSE(starts_with(at(0, 20).data(), end_of(at(0, 20)), "truf"));
    EXPECT_TRUE(starts_with(at(5, 5).data(), end_of(at(5, 5)), "false"));
    EXPECT_FALSE(starts_with(at(5, 5).data(), end_of(at(5, 5)), "fals "));
    EXPECT_TRUE(starts_with(at(20, 9).data(), end_of(at(20, 9)), "-Infinity"));
    EXPECT_FALSE(starts_with(at(20, 8).data(), end_of(at(20, 8)), "-Infinity"));
    EXPECT_TRUE(starts_with(at(30, 8).data(), end_of(at(30, 8)), "Infinity"));
    EXPECT_FALSE(starts_with(at(30, 8).data(), end_of(at(30, 8)), "Infinitx"));
    EXPECT_TRUE(starts_with(at(16, 3).data(), end_of(at(16, 3)), "NaN"));
    EXPECT_FALSE(starts_with(at(16, 2).data(), end_of(at(16, 2)), "NaN"));
}

TEST(JsonLexer, NumberGrammarTakesTheLongestToken) {
    // The host's number pattern: a token ends where the grammar stops, the rest is the caller's.
    const struct {
        std::string_view text;
        int length;  // -1: no number starts here
        bool integral;
    } cases[] = {
        {"0", 1, true},          {"-0", 2, true},          {"7", 1, true},
        {"1234567890", 10, true}, {"01", 1, true},          {"-01", 2, true},
        {"1.5", 3, false},       {"1.", 1, true},          {"1.e5", 1, true},
        {"1.5e", 3, false},      {"1e5", 3, false},        {"1E+5", 4, false},
        {"1e-05", 5, false},     {"1e", 1, true},          {"1e+", 1, true},
        {"1e+x", 1, true},       {"1.0e-", 3, false},      {"0.000", 5, false},
        {"-", -1, true},         {"-a", -1, true},         {"+1", -1, true},
        {".5", -1, true},        {"a", -1, true},          {"", -1, true},
        {"-.5", -1, true},       {"12,", 2, true},         {"3]", 1, true},
    };
    for (const auto& c : cases) {
        bool integral = false;
        const char* stop = number_end(c.text.data(), end_of(c.text), integral);
        if (c.length < 0) {
            EXPECT_EQ(stop, nullptr) << c.text;
            continue;
        }
        ASSERT_NE(stop, nullptr) << c.text;
        EXPECT_EQ(stop - c.text.data(), c.length) << c.text;
        EXPECT_EQ(integral, c.integral) << c.text;
    }
}

TEST(JsonLexer, PlainRunsStopWhereEachPolicySays) {
    // Every position of a 40-byte run, so the sixteen-, eight- and one-byte steps all meet it.
    const struct {
        unsigned char byte;
        bool any, ascii, printable;  // stops a run under AnyText, AsciiText, PrintableText
    } cases[] = {
        {'"', true, true, true},     {'\\', true, true, true},   {0x00, true, true, true},
        {0x1F, true, true, true},    {0x0A, true, true, true},   {0x20, false, false, false},
        {'/', false, false, false},  {0x7E, false, false, false}, {0x7F, false, false, true},
        {0x80, false, true, true},   {0xC3, false, true, true},  {0xFF, false, true, true},
    };
    for (const auto& c : cases) {
        for (std::size_t at = 0; at < 40; ++at) {
            std::string run(40, 'a');
            run[at] = static_cast<char>(c.byte);
            const char* p = run.data();
            const char* e = p + run.size();
            EXPECT_EQ(run_end<AnyText>(p, e) - p, c.any ? at : 40) << int(c.byte) << " at " << at;
            EXPECT_EQ(run_end<AsciiText>(p, e) - p, c.ascii ? at : 40) << int(c.byte) << " at " << at;
            EXPECT_EQ(run_end<PrintableText>(p, e) - p, c.printable ? at : 40)
                << int(c.byte) << " at " << at;
        }
    }
}

TEST(JsonLexer, StringsDecodeAndFailAsTheHostDoes) {
    // Content after the opening quote; `at` counts from the opening quote (position 0).
    const struct {
        std::string_view text;
        Fault fault;
        std::string_view content;  // decoded; for a fault, unused
        int at;
    } cases[] = {
        {"\"", Fault::none, "", 0},
        {"abc\"", Fault::none, "abc", 0},
        {"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\"", Fault::none, "a\"b\\c/d\b\f\n\r\t", 0},
        {"\\u0041\\u00e9\"", Fault::none, "A\xC3\xA9", 0},
        {"\\uD83D\\uDE00\"", Fault::none, "\xF0\x9F\x98\x80", 0},
        {"\\ud83d\\ude00\"", Fault::none, "\xF0\x9F\x98\x80", 0},
        // Lone and reversed surrogates stay alone, in their three-byte form.
        {"\\ud800\"", Fault::none, "\xED\xA0\x80", 0},
        {"\\udc00\\ud800\"", Fault::none, "\xED\xB0\x80\xED\xA0\x80", 0},
        {"\\ud800\\u0041\"", Fault::none, "\xED\xA0\x80" "A", 0},
        {"\\ud800x\"", Fault::none, "\xED\xA0\x80x", 0},
        {"", Fault::unterminated, "", 0},
        {"abc", Fault::unterminated, "", 0},
        {"abc\\", Fault::unterminated, "", 0},
        {"a\x01\"", Fault::control, "", 2},
        {"a\n\"", Fault::control, "", 2},
        {"a\\x\"", Fault::bad_escape, "", 2},
        {"a\\U0041\"", Fault::bad_escape, "", 2},
        {"\\u004\"", Fault::bad_unicode, "", 2},
        {"\\u004g\"", Fault::bad_unicode, "", 2},
        {"\\u0041", Fault::bad_unicode, "", 2},       // the host wants a byte after the digits
        {"\\ud800\\u12x4\"", Fault::bad_unicode, "", 8},  // named at the second escape's 'u'
        {"\\ud800\\u", Fault::bad_unicode, "", 8},
    };
    for (const auto& c : cases) {
        const std::string doc = "\"" + std::string(c.text);
        const char* p = doc.data();
        std::string decoded = "stale";
        const String s = read_string<AnyText, StrictBytes>(p + 1, p + doc.size(), &decoded);
        EXPECT_EQ(s.fault, c.fault) << c.text;
        if (c.fault == Fault::none) {
            EXPECT_EQ(s.content, c.content) << c.text;
            EXPECT_EQ(s.next, p + doc.size()) << c.text;
            EXPECT_EQ(s.escaped, c.text.find('\\') != std::string_view::npos) << c.text;
        } else {
            EXPECT_EQ(s.at - p, c.at) << c.text;
        }
        // Checking without decoding accepts and refuses the same strings.
        const String checked = read_string<AnyText, StrictBytes>(p + 1, p + doc.size(), nullptr);
        EXPECT_EQ(checked.fault, c.fault) << c.text;
        if (c.fault == Fault::none) {
            EXPECT_EQ(checked.content, c.text.substr(0, c.text.size() - 1)) << c.text;
        }
    }
}

TEST(JsonLexer, StrayBytesAreThePolicysCall) {
    const struct {
        std::string_view text;
        Fault any, ascii_utf8, printable;
    } cases[] = {
        {"caf\xC3\xA9\"", Fault::none, Fault::none, Fault::refused},
        {"\xF0\x9F\x98\x80\"", Fault::none, Fault::none, Fault::refused},
        {"\x7F\"", Fault::none, Fault::none, Fault::refused},
        {"\xC3\"", Fault::none, Fault::refused, Fault::refused},           // cut short
        {"\xED\xA0\x80\"", Fault::none, Fault::refused, Fault::refused},   // a surrogate
        {"\xC0\xAF\"", Fault::none, Fault::refused, Fault::refused},       // overlong
        {"\xFF\"", Fault::none, Fault::refused, Fault::refused},
        {"\t\"", Fault::control, Fault::control, Fault::control},
    };
    for (const auto& c : cases) {
        const char* p = c.text.data();
        const char* e = end_of(c.text);
        std::string decoded;
        EXPECT_EQ((read_string<AnyText, StrictBytes>(p, e, &decoded).fault), c.any) << c.text;
        EXPECT_EQ((read_string<AsciiText, Utf8Bytes>(p, e, nullptr).fault), c.ascii_utf8) << c.text;
        EXPECT_EQ((read_string<PrintableText, StrictBytes>(p, e, &decoded).fault), c.printable)
            << c.text;
    }
}

}  // namespace
}  // namespace emberscope::json_lexer
