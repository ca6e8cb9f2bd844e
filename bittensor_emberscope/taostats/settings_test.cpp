// Tests of the Taostats client's text rules.
#include "taostats/settings.hpp"

#include "common/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace emberscope::taostats {
namespace {

TEST(Settings, StripsUnicodeWhiteSpaceAtBothEnds) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"  key  ", "key"},
        {"\t\r\n\x0b\x0c key\n", "key"},
        {"a b", "a b"},
        {"\xc2\xa0key\xe3\x80\x80", "key"},                              // U+00A0, U+3000
        {"\xe2\x80\xa8k\xc2\x85", "k"},                                  // U+2028, U+0085
        {"\x1c\x1fk", "k"},                                              // information separators
        {"\xe2\x80\x8bkey\xef\xbb\xbf", "\xe2\x80\x8bkey\xef\xbb\xbf"},  // U+200B, U+FEFF stay
        {"\xed\xa0\x80 ", "\xed\xa0\x80"},                               // a lone surrogate stays
        {" \xe2\x80\x83 ", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(strip_white_space(c.in), c.out) << c.in;
}

TEST(Settings, CutsByCodePointsNotBytes) {
    EXPECT_EQ(text::first_code_points("abc", 0), "");
    EXPECT_EQ(text::first_code_points("abc", 3), "abc");
    EXPECT_EQ(text::first_code_points("abc", 9), "abc");
    EXPECT_EQ(text::first_code_points("\xe2\x86\x92\xf0\x9f\x94\xa5x", 2), "\xe2\x86\x92\xf0\x9f\x94\xa5");
}

}  // namespace
}  // namespace emberscope::taostats
