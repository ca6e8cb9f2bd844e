// Tests of the Telegram delivery's text rules.
#include "reports/telegram_text.hpp"

#include <gtest/gtest.h>

#include "common/secrets.hpp"

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
        {"unknown url type: 'x/bot12345:AA/sendMessage'", "12345:AA", "unknown url type: 'x/bot<token>/sendMessage'"},
        {"12345:AA and 12345:AA", "12345:AA", "<token> and <token>"},
        {"12345:A", "12345:AA", "12345:A"},
        {"aaaaaaaaa", "aaaaaaaa", "<token>a"},
        {"no secret here", "", "no secret here"},
        {"1:A and 1:A", "1:A", "1:A and 1:A"},  // too short to be masked
        {"t\xc3\xa9:\xc3\xa9" "123456", "\xc3\xa9:\xc3\xa9" "123456", "t<token>"},
    };
    for (const Case& c : cases) {
        const secrets::Secret token[] = {{c.token, secrets::kTokenMask}};
        EXPECT_EQ(secrets::mask(c.text, token), c.masked) << c.text;
    }
}

}  // namespace
}  // namespace emberscope::reports
