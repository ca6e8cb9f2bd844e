// Tests of the numeric-text rules and the decimal forms against values the host gives.
#include "burns/numeric.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "burns/unicode_tables.hpp"

namespace emberscope::burns {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The display form of an owner burn text: four decimals when it parses, the text itself otherwise.
std::string display(std::string_view text) {
    const auto value = parse_numeric_text(text);
    return value ? fixed_form(*value, 4) : std::string(text);
}

TEST(NumericText, AcceptsWhatTheHostFloatAccepts) {
    const struct {
        const char* text;
        double expected;
    } cases[] = {
        {"0.18", 0.18},  {" 7 ", 7.0},  {"\t\n\v\f\r1\r", 1.0},  {".5", 0.5},  {"5.", 5.0},
        {"5.25", 5.25},  {"+.5e-3", 0.0005},  {"1E5", 1e5},  {"1e+05", 1e5},  {"007.50", 7.5},
        {"1_000.5", 1000.5},  {"1e1_0", 1e10},  {"1_0.2_5e-0_1", 1.025},
        {"1e400", kInf},  {"-1e400", -kInf},  {"1e99999999999999999999", kInf},  {"0e99999", 0.0},
        {"inf", kInf},  {"INFINITY", kInf},  {"-Infinity", -kInf},  {"+iNf", kInf},
        // Unicode white space around, digits of other scripts anywhere digits stand.
        {"\u00a01.5\u3000", 1.5},  {"\u20281\u0085", 1.0},  {"\u0663.\u0661\u0664", 3.14},
        {"\U0001D7CF\U0001D7D0", 12.0},  {"\uff11\uff12", 12.0},  {"1_\u0663", 13.0},
        {"\u0967e\u0968", 100.0},  {"\u1040.\u1045", 0.5},
        // Correct rounding at the edges: ties to even, the subnormal and overflow boundaries.
        {"9007199254740993", 9007199254740992.0},
        {"9007199254740993.000000000001", 9007199254740994.0},
        {"1.00000000000000011102230246251565404236316680908203125", 1.0},
        {"2.4703282292062327e-324", 0.0},  {"2.4703282292062328e-324", 5e-324},
        {"1.7976931348623158e308", std::numeric_limits<double>::max()},
        {"1.7976931348623159e308", kInf},
        {"0.000000000000000000000000000000000000000000000000001e51", 1.0},
    };
    for (const auto& c : cases) {
        const auto value = parse_numeric_text(c.text);
        ASSERT_TRUE(value.has_value()) << c.text;
        EXPECT_EQ(*value, c.expected) << c.text;
        EXPECT_EQ(std::signbit(*value), std::signbit(c.expected)) << c.text;
    }
}

TEST(NumericText, KeepsTheSignOfZeroAndNaN) {
    for (const char* text : {"-0", "-0.0", "-1e-400", "-.0e5"}) {
        const auto value = parse_numeric_text(text);
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_EQ(*value, 0.0) << text;
        EXPECT_TRUE(std::signbit(*value)) << text;
    }
    for (const char* text : {"nan", "NaN", "-nan", "+NAN", " nan\u00a0"}) {
        const auto value = parse_numeric_text(text);
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_TRUE(std::isnan(*value)) << text;
    }
}

TEST(NumericText, HandlesVeryLongNumerals) {
    EXPECT_EQ(parse_numeric_text(std::string(400, '9')), kInf);
    EXPECT_EQ(parse_numeric_text("0." + std::string(500, '0') + "1e501"), 1.0);
    EXPECT_EQ(parse_numeric_text("1" + std::string(500, '0') + "e-500"), 1.0);
    EXPECT_EQ(parse_numeric_text("0." + std::string(100000, '3') + "e1"), 10.0 / 3.0);
    // Digits far past the 17th still decide a tie.
    const std::string tie = "1.00000000000000011102230246251565404236316680908203125";
    EXPECT_EQ(parse_numeric_text(tie + std::string(1000, '0') + "1"), 1.0000000000000002);
}

TEST(NumericText, RefusesWhatTheHostFloatRefuses) {
    const char* cases[] = {
        "",  " ",  "\u00a0",  ".",  "0,5",  "5%",  "0x10",  "1e",  "1e+",  "e5",  ".e1",  "--1",
        "+-1",  "- 1",  "1 2",  "1.2.3",  "None",  "True",  "in",  "infin",  "infinit",  "infinityy",
        "nan(1)",  "nanq",  "inf_",
        // Underscores only between two digits.
        "_1",  "1_",  "1__0",  "1_.5",  "1._5",  "1_e5",  "1e_5",  "+_1",  " _1",  "1_ ",
        // 0x1C to 0x1F are white space to str.isspace but are not stripped; other numerals are no digits.
        "\x1c" "1",  "1\x1f",  "\u00b2",  "\u00bd",  "\u2460",  "\u2212" "1",  "\uff0b" "1",
        "i\u0301nf",  "1\xED\xA0\x80",
        // Malformed UTF-8 never reads as white space (0x85 and 0xA0 alone are stray bytes here).
        "1\x85",  "\xA0" "1",  "1\xC2",  "\xC2 1",  "\xC0\xA0" "1",  "1\xF0\x9F\x98",
    };
    for (const char* text : cases) {
        EXPECT_FALSE(parse_numeric_text(text).has_value()) << text;
    }
    EXPECT_FALSE(parse_numeric_text(std::string_view("1\0" "2", 3)).has_value());
    EXPECT_FALSE(parse_numeric_text(std::string_view("1\0", 2)).has_value());
}

TEST(IntegerText, AcceptsWhatTheHostIntAccepts) {
    const struct {
        const char* text;
        bool negative;
        const char* digits;
    } cases[] = {
        {" +0_05 ", false, "5"},  {"05", false, "5"},  {"-0", false, "0"},  {"0_0", false, "0"},
        {"-12", true, "12"},  {"+1_000_000", false, "1000000"},  {"\t42\n", false, "42"},
        {"\u0663", false, "3"},  {"\u2003-4\u2003", true, "4"},  {"\U0001D7D7_0", false, "90"},
        {"-000", false, "0"},  {"123456789012345678901234567890", false, "123456789012345678901234567890"},
    };
    for (const auto& c : cases) {
        const auto number = parse_integer_text(c.text);
        ASSERT_TRUE(number.has_value()) << c.text;
        EXPECT_EQ(number->negative, c.negative) << c.text;
        EXPECT_EQ(number->digits, c.digits) << c.text;
    }
    const auto huge = parse_integer_text("-" + std::string(5000, '7'));
    ASSERT_TRUE(huge.has_value());
    EXPECT_TRUE(huge->negative);
    EXPECT_EQ(huge->digits, std::string(5000, '7'));
}

TEST(IntegerText, RefusesWhatTheHostIntRefuses) {
    const char* cases[] = {"5.0", "", " ", "abc", "0x5", "1e3", "_5", "5_", "5__0", "+", "-", "+-5",
                           "- 5", "5 5", "\x1c" "5", "\u00b2", "inf", "\uff15.", "\u2212" "5", "5\x85"};
    for (const char* text : cases) {
        EXPECT_FALSE(parse_integer_text(text).has_value()) << text;
    }
}

TEST(IntegerText, OrdersNumerically) {
    const std::vector<std::string> ascending = {
        "-" + std::string(30, '9'), "-100", "-99", "-10", "-9", "-1", "0", "1", "9", "10", "99", "100",
        std::string(30, '9'), "1" + std::string(30, '0')};
    std::vector<DecimalInteger> numbers;
    for (const auto& text : ascending) numbers.push_back(*parse_integer_text(text));
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        for (std::size_t j = 0; j < numbers.size(); ++j) {
            EXPECT_EQ(numbers[i] <=> numbers[j], i <=> j) << ascending[i] << " vs " << ascending[j];
        }
    }
    EXPECT_EQ(*parse_integer_text("-0"), *parse_integer_text("+0_0"));
    EXPECT_EQ(*parse_integer_text("05"), *parse_integer_text("\u0665"));
    EXPECT_EQ(DecimalInteger{}, *parse_integer_text("0"));
}

// Plain ASCII digits take a fast path; texts next to it go through the general rule.
TEST(IntegerText, FastPathAndGeneralRuleAgree) {
    const struct {
        const char* text;
        bool negative;
        const char* digits;
    } cases[] = {
        {"0", false, "0"},         {"-0", false, "0"},        {"000", false, "0"},
        {"-000", false, "0"},      {"7", false, "7"},         {"-7", true, "7"},
        {"007", false, "7"},       {"-0070", true, "70"},     {"+7", false, "7"},
        {" 7", false, "7"},        {"7 ", false, "7"},        {"1_0", false, "10"},
        {"\u0667", false, "7"},    {"12345678901234567890123", false, "12345678901234567890123"},
    };
    for (const auto& c : cases) {
        const auto number = parse_integer_text(c.text);
        ASSERT_TRUE(number.has_value()) << c.text;
        EXPECT_EQ(number->negative, c.negative) << c.text;
        EXPECT_EQ(number->digits, c.digits) << c.text;
    }
    for (const char* text : {"", "-", "--1", "-+1", "1-", "1.0", "0x1", "-_1", "1_"}) {
        EXPECT_FALSE(parse_integer_text(text).has_value()) << text;
    }
}

TEST(FixedForm, RoundsTheExactBinaryValue) {
    const struct {
        double value;
        int decimals;
        const char* expected;
    } cases[] = {
        {0.18, 4, "0.1800"},  {1.0, 4, "1.0000"},  {0.12345, 4, "0.1235"},  {0.00005, 4, "0.0001"},
        {0.00015, 4, "0.0001"},  {2.5e-05, 4, "0.0000"},  {0.03125, 4, "0.0312"},  {0.09375, 4, "0.0938"},
        {-0.00001, 4, "-0.0000"},  {-0.0, 4, "-0.0000"},  {0.0, 4, "0.0000"},  {2.675, 2, "2.67"},
        {0.5, 0, "0"},  {1.5, 0, "2"},  {2.5, 0, "2"},  {-0.5, 0, "-0"},  {0.1, 20, "0.10000000000000000555"},
        {1e22, 4, "10000000000000000000000.0000"},  {5e-324, 0, "0"},
        {1e300, 0, "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786"
                   "3713750804478640437044438328838781769425232353604305756447921847867069828483872009265"
                   "7580373783023379478809005936895323497079994508111903896764088007465274278014249457925"
                   "8788820056842838115669472196386865459400540160"},
        {kInf, 4, "inf"},  {-kInf, 4, "-inf"},  {kNaN, 4, "nan"},  {-kNaN, 4, "nan"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fixed_form(c.value, c.decimals), c.expected) << c.value << " ." << c.decimals;
    }
}

TEST(FixedForm, WritesEveryDigitOfLargePrecisions) {
    const std::string tiny = fixed_form(5e-324, 1080);
    EXPECT_EQ(tiny.size(), 1082u);
    EXPECT_EQ(tiny.substr(0, 327), "0." + std::string(323, '0') + "49");
    EXPECT_EQ(tiny.substr(tiny.size() - 40), "9087538682506419718265533447265625000000");
    EXPECT_EQ(fixed_form(1.5, 40), "1.5" + std::string(39, '0'));
    EXPECT_EQ(fixed_form(std::numeric_limits<double>::max(), 0).size(), 309u);
}

TEST(SmallIntegerText, ReadsShortNumeralsAsTheGeneralRuleDoes) {
    const struct {
        const char* text;
        bool read;
    } cases[] = {
        {"0", true}, {"7", true}, {"-0", true}, {"05", true}, {"-12", true}, {"1023", true},
        {"999999999999999999", true}, {"-999999999999999999", true},
        {"1000000000000000000", false},  // 19 digits: the general rule
        {"", false}, {"-", false}, {"+5", false}, {" 5", false}, {"5 ", false}, {"1_0", false},
        {"\xd9\xa3", false}, {"--1", false}, {"5.0", false}, {"0x5", false},
    };
    for (const auto& c : cases) {
        const auto small = small_integer_text(c.text);
        EXPECT_EQ(small.has_value(), c.read) << c.text;
        if (!small) continue;
        const auto general = parse_integer_text(c.text);
        ASSERT_TRUE(general.has_value()) << c.text;
        const std::string digits = std::to_string(*small < 0 ? -*small : *small);
        EXPECT_EQ(general->digits, digits) << c.text;
        EXPECT_EQ(general->negative, *small < 0) << c.text;
    }
}

TEST(ShortestForm, MatchesTheHostRepr) {
    const struct {
        double value;
        const char* expected;
    } cases[] = {
        {0.18, "0.18"},  {1e-05, "1e-05"},  {1.0, "1.0"},  {0.0001, "0.0001"},  {1.5e-07, "1.5e-07"},
        {1e16, "1e+16"},  {1e15, "1000000000000000.0"},  {9999999999999998.0, "9999999999999998.0"},
        {123456789012345678.0, "1.2345678901234568e+17"},  {0.0, "0.0"},  {-0.0, "-0.0"},
        {5e-324, "5e-324"},  {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {0.1 + 0.2, "0.30000000000000004"},  {100.0, "100.0"},  {1e100, "1e+100"},
        {12345.678, "12345.678"},  {-2.5e-05, "-2.5e-05"},  {0.00017, "0.00017"},  {3.0, "3.0"},
        {kInf, "inf"},  {-kInf, "-inf"},  {kNaN, "nan"},  {-kNaN, "nan"},
        // Whole numbers on both sides of the positional limit, and of 2^53.
        {-3.0, "-3.0"},  {-1e15, "-1000000000000000.0"},  {-1e16, "-1e+16"},
        {9007199254740993.0, "9007199254740992.0"},  {1e16 - 2, "9999999999999998.0"},
        {4503599627370495.5, "4503599627370495.5"},  {-0.5, "-0.5"},
    };
    for (const auto& c : cases) EXPECT_EQ(shortest_form(c.value), c.expected) << c.expected;
}

TEST(ShortestForm, ReadsBackAsTheSameDouble) {
    std::mt19937_64 bits(20240301);
    for (int i = 0; i < 20000; ++i) {
        const double value = std::bit_cast<double>(bits());
        if (std::isnan(value)) continue;
        const std::string text = shortest_form(value);
        const auto back = parse_numeric_text(text);
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*back), std::bit_cast<std::uint64_t>(value)) << text;
    }
}

TEST(DisplayForm, RendersOwnerBurnTexts) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"0.18", "0.1800"},  {" 7 ", "7.0000"},  {"", ""},  {"n/a", "n/a"},  {" 0.5 x", " 0.5 x"},
        {"1e400", "inf"},  {"-1e400", "-inf"},  {"-0", "-0.0000"},  {"-0.00001", "-0.0000"},
        {"0.12345", "0.1235"},  {"0.00005", "0.0001"},  {"0.00015", "0.0001"},  {"2.5e-05", "0.0000"},
        {"0.03125", "0.0312"},  {"0.09375", "0.0938"},  {"1", "1.0000"},  {"NaN", "nan"},
        {"\u0660.\u0661\u0668", "0.1800"},  {"1_0", "10.0000"},
    };
    for (const auto& c : cases) EXPECT_EQ(display(c.text), c.expected) << c.text;
}

TEST(OwnerBurnChanged, ComparesNumbersThenTexts) {
    const struct {
        const char* old_text;
        const char* new_text;
        double threshold;
        bool expected;
    } cases[] = {
        {"0.75", "0.5", 0.25, false},  {"0.75", "0.5", 0.24, true},  {"0.3", "0.1", 0.2, false},
        {"0.5", "0.50", 0.0, false},  {"0.5", "0.5000001", 0.0, true},  {"0.5", "5e-1", 0.0, false},
        {"abc", "abc", 0.1, false},  {"", "0", 0.1, true},  {"n/a", "0.1", 5.0, true},
        {"n/a", "0.1", 1e300, true},  {"0.1", "0.1 x", 1e300, true},  {" 0.5", "0.5", 0.0, false},
        {"nan", "nan", 0.0, false},  {"nan", "1", -1.0, false},  {"inf", "inf", 0.0, false},
        {"inf", "1", 1e300, true},  {"-inf", "inf", 1e308, true},  {"-inf", "inf", kInf, false},
        {"0.5", "0.5", -1.0, true},
        {"1", "2", kNaN, false},  {"N/A", "n/a", 0.0, true},  {"\u0661", "1", 0.0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(owner_burn_changed(c.old_text, c.new_text, c.threshold), c.expected)
            << "'" << c.old_text << "' -> '" << c.new_text << "' beyond " << c.threshold;
    }
}

// The network's short plain decimals take a fast path; these texts sit on both sides of the
// point where it hands over to the general rule (sign, digit count, 2^53, other characters).
TEST(NumericText, ShortDecimalsAgreeWithTheGeneralRuleAtTheHandover) {
    const char* texts[] = {
        "0", "-0", "1.0", "0.18", "-0.0001", ".5", "-.5", "5.", "-5.", "007.50",
        "9007199254740991", "9007199254740992", "9007199254740993", "9007199254740993.0",
        "0.9007199254740993", "1234567890123456789", "12345678901234567890",
        "0.1234567890123456789", "0.12345678901234567890", "0.0000000000000000001",
        "0.00000000000000000001", "18446744073709551615", "18446744073709551616",
        "99999999999999999999", "4.35", "0.3", "2.675", "1.005", "123456.789012",
        "+1", "+0.5", " 1", "1 ", "1e5", "1.5e-3",
    };
    for (const char* text : texts) {
        const auto value = parse_numeric_text(text);
        ASSERT_TRUE(value.has_value()) << text;
        const double expected = std::strtod(text, nullptr);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*value), std::bit_cast<std::uint64_t>(expected))
            << text;
    }
    for (const char* text : {".", "-", "-.", "", "1.2.3", "--1", "-+1", "1-", "0x10", "1e", "."}) {
        EXPECT_FALSE(parse_numeric_text(text).has_value()) << text;
    }
}

TEST(NumericText, RandomShortDecimalsAreCorrectlyRounded) {
    std::mt19937_64 random(15);
    for (int i = 0; i < 200000; ++i) {
        const int length = 1 + static_cast<int>(random() % 24);
        std::string text = random() % 4 == 0 ? "-" : "";
        for (int d = 0; d < length; ++d) text += static_cast<char>('0' + random() % 10);
        if (random() % 8 != 0) {
            text.insert(text.size() - random() % (length + 1), ".");
        }
        const auto value = parse_numeric_text(text);
        ASSERT_TRUE(value.has_value()) << text;
        const double expected = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*value), std::bit_cast<std::uint64_t>(expected))
            << text;
    }
}

// Precisions up to 9 and magnitudes below 2^64 take an exact integer path; the general
// formatter is the reference on both sides of that boundary.
std::string general_fixed(double value, int decimals) {
    char buffer[512];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                   decimals).ptr;
    return std::string(buffer, end);
}

TEST(FixedForm, ExactPathAgreesWithTheGeneralFormatterAtTheHandover) {
    const double two64 = 0x1p64;
    const double values[] = {
        0.0, -0.0, 0.5, 1.5, 2.5, 0.03125, 0.09375, 0.00005, 0.00015, -0.00005, -0.00004999,
        2.675, 1.005, 0.3, 0.18, 1e-9, 5e-10, 1.5e-9, 2.5e-9, 5e-324, -5e-324, 2.2250738585072014e-308,
        std::nextafter(two64, 0.0), two64, -std::nextafter(two64, 0.0), -two64, 1e19, 1.8e19,
        9007199254740993.0, 4503599627370495.5, 0.1 + 0.2, 1e-20, 0x1p-66, 0x1p-67, 123456.78905,
    };
    for (const double value : values) {
        for (int decimals = 0; decimals <= 11; ++decimals) {
            EXPECT_EQ(fixed_form(value, decimals), general_fixed(value, decimals))
                << value << " ." << decimals;
        }
    }
}

TEST(FixedForm, RandomValuesAgreeWithTheGeneralFormatter) {
    std::mt19937_64 random(4);
    for (int i = 0; i < 200000; ++i) {
        // Magnitudes from 2^-80 to 2^70, so the exact path and its handover are both covered.
        const double value = std::ldexp(static_cast<double>(random() >> 11), -53 - 80 +
                                        static_cast<int>(random() % 151)) *
                             (random() % 2 ? -1.0 : 1.0);
        const int decimals = static_cast<int>(random() % 11);
        ASSERT_EQ(fixed_form(value, decimals), general_fixed(value, decimals))
            << value << " ." << decimals;
    }
}

TEST(UnicodeTables, ClassifyLikeTheHost) {
    for (const char32_t cp : {U' ', U'\t', U'\r', U'\x1c', U'\x1f', U'\u0085', U'\u00a0', U'\u1680',
                              U'\u2000', U'\u200a', U'\u2028', U'\u2029', U'\u202f', U'\u3000'}) {
        EXPECT_TRUE(is_space(cp)) << static_cast<std::uint32_t>(cp);
    }
    for (const char32_t cp : {U'a', U'\x08', U'\x0e', U'\x1b', U'\u180e', U'\u200b', U'\ufeff', U'\u2060'}) {
        EXPECT_FALSE(is_space(cp)) << static_cast<std::uint32_t>(cp);
    }
    const struct {
        char32_t cp;
        int value;
    } digits[] = {
        {U'0', 0},  {U'7', 7},  {U'\u0663', 3},  {U'\u0f29', 9},  {U'\uff15', 5},  {U'\U0001D7CE', 0},
        {U'\U0001D7FF', 9},  {U'\U0001FBF9', 9},  {U'a', -1},  {U'\u00b2', -1},  {U'\u2155', -1},
        {U'\u0f33', -1},  {U'\u1369', -1},  {U'\u2460', -1},  {U'\U0010FFFF', -1},  {U'\xD800', -1},
    };
    for (const auto& d : digits) EXPECT_EQ(decimal_value(d.cp), d.value) << static_cast<std::uint32_t>(d.cp);

    // Whole-range counts of the host (Unicode 15.1): 29 white-space code points, 68 runs of 0..9.
    int spaces = 0;
    int digit_count[10] = {};
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        spaces += is_space(cp);
        if (const int v = decimal_value(cp); v >= 0) ++digit_count[v];
    }
    EXPECT_EQ(spaces, 29);
    for (const int n : digit_count) EXPECT_EQ(n, 68);
}

}  // namespace
}  // namespace emberscope::burns
