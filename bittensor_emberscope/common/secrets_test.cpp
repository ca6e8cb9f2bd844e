#include "common/secrets.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace emberscope::secrets {
namespace {

const std::string kToken = "123456789:AAH-SECRET\nsecond";
const std::string kKey = "tao-KEY-0123456789";

std::string masked(std::string_view text) {
    const std::vector<Secret> both = {{kToken, kTokenMask}, {kKey, kTaostatsKeyMask}};
    return mask(text, both);
}

TEST(Secrets, EverySpellingIsMasked) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"a " + kToken + " b", "a <token> b"},
        // the host's repr() of a str, and of its UTF-8 bytes
        {"'/bot123456789:AAH-SECRET\\nsecondline/sendMessage'", "'/bot<token>line/sendMessage'"},
        {"b'x123456789:AAH-SECRET\\x0asecond'", "b'x<token>'"},
        // percent-encoded, either case, and any mix with verbatim characters
        {"123456789%3AAAH-SECRET%0Asecond", "<token>"},
        {"123456789%3aAAH%2dSECRET%0asecond!", "<token>!"},
        {"%31%32%33456789:AAH-SECRET\nsecond", "<token>"},
        // JSON's escapes
        {"{\"m\": \"123456789:AAH-SECRET\\u000asecond\"}", "{\"m\": \"<token>\"}"},
        {"Invalid header value b'tao-KEY-0123456789\\n# expires'", "Invalid header value b'<taostats-key>\\n# expires'"},
        {"tao%2DKEY-0123456789 and " + kKey, "<taostats-key> and <taostats-key>"},
        // a part of a secret is not the secret
        {"123456789:AAH-SECRET", "123456789:AAH-SECRET"},
        {"tao-KEY-012345678", "tao-KEY-012345678"},
        {"%3", "%3"},
        {"\\", "\\"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(masked(c.in), c.out) << c.in;
}

TEST(Secrets, NonAsciiSecretsInEveryEscape) {
    const std::string secret = "k\xc3\xa9y-\xe2\x80\xa8-\xf0\x9f\x94\x91-tail";  // kéy-U+2028-U+1F511-tail
    const std::vector<Secret> one = {{secret, kTokenMask}};
    const std::vector<std::string> spellings = {
        secret,
        "k\\xe9y-\\u2028-\\U0001f511-tail",                  // str repr
        "k\\xc3\\xa9y-\\xe2\\x80\\xa8-\\xf0\\x9f\\x94\\x91-tail",  // bytes repr
        "k\\u00e9y-\\u2028-\\ud83d\\udd11-tail",              // JSON, ASCII only
        "k%C3%A9y-%E2%80%A8-%F0%9F%94%91-tail",              // percent-encoded
        "k%c3%a9y-\xe2\x80\xa8-%f0%9f%94%91-tail",
    };
    for (const std::string& s : spellings) EXPECT_EQ(mask("[" + s + "]", one), "[<token>]") << s;
}

TEST(Secrets, ShortSecretsAreLeftAlone) {
    const std::vector<Secret> shorts = {{"1234567", kTokenMask}, {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", kTokenMask}, {"", kTokenMask}};
    EXPECT_EQ(mask("1234567 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", shorts), "1234567 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9");
    EXPECT_FALSE(is_maskable("1234567"));
    EXPECT_TRUE(is_maskable("12345678"));
    EXPECT_FALSE(is_maskable("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"));  // 7 code points, 14 bytes
}

TEST(Secrets, LongestSecretWinsWhereTheyOverlap) {
    const std::vector<Secret> nested = {{"abcdefgh", kTokenMask}, {"abcdefghij", kTaostatsKeyMask}};
    EXPECT_EQ(mask("abcdefghij abcdefgh", nested), "<taostats-key> <token>");
}

TEST(Secrets, RangesFollowTheMasks) {
    const std::vector<Secret> one = {{"abcdefgh", kTokenMask}};
    const Masked m = mask_all("xx abcdefgh yy abcdefgh", one);
    ASSERT_EQ(m.text, "xx <token> yy <token>");
    ASSERT_EQ(m.replaced.size(), 2u);
    struct Case {
        std::size_t begin, end, out_begin, out_end;
    };
    for (const Case& c : std::vector<Case>{{0, 1, 0, 1},     // before any mask
                                           {3, 4, 3, 10},    // inside: the whole mask
                                           {5, 9, 3, 10},
                                           {11, 12, 10, 11},  // between: shifted by one
                                           {1, 13, 1, 12},
                                           {12, 23, 11, 21}}) {
        EXPECT_EQ(map_range(m, c.begin, c.end), std::make_pair(c.out_begin, c.out_end))
            << c.begin << "-" << c.end;
    }
}

}  // namespace
}  // namespace emberscope::secrets
