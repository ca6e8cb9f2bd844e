// Tests of the Telegram delivery's text rules.
#include "reports/telegram_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace emberscope::reports {
namespace {

TEST(TelegramText, NumbersPartsOnlyWhenThereAreSeveral) {
    EXPECT_EQ(numbered_part("SN1: 0", 1, 1), "SN1: 0");
    EXPECT_EQ(numbered_part("", 2, 3), "(2/3)\n");
    EXPECT_EQ(numbered_part("b", 10, 12), "(10/12)\nb");
}

TEST(TelegramText, MasksEveryOccurrenceOfTheToken) {
    struct Case {
        std::string text, token, masked;
    };
    const std::vector<Case> cases = {
        {"unknown url type: 'x/bot1:A/sendMessage'", "1:A", "unknown url type: 'x/bot<token>/sendMessage'"},
        {"1:A and 1:A", "1:A", "<token> and <token>"},
        {"1:", "1:A", "1:"},
        {"aaa", "aa", "<token>a"},
        {"no secret here", "", "no secret here"},
        {"t\xc3\xa9:\xc3\xa9", "\xc3\xa9:", "t<token>\xc3\xa9"},
    };
    for (const Case& c : cases) EXPECT_EQ(mask_token(c.text, c.token), c.masked) << c.text;
}

}  // namespace
}  // namespace emberscope::reports
