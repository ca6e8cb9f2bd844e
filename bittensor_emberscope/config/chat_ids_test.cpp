// Chat identifiers: their shape and the key two spellings of one chat share.
#include "config/chat_ids.hpp"

#include <gtest/gtest.h>

namespace emberscope::config {
namespace {

TEST(ChatIds, ShapesOfAChat) {
    for (const char* good : {"-1001234567890", "12345", "0", "-1", "@chan", "@Burn_Watch_64",
                             "@abcdefghijklmnopqrstuvwxyz012345", "9223372036854775807"})
        EXPECT_TRUE(is_chat_id(good)) << good;
    for (const char* bad : {"", "-", "+1", "1.5", "1e3", " 1", "@", "@abc", "@a-b-c", "@chan!",
                            "@abcdefghijklmnopqrstuvwxyz0123456", "9223372036854775808", "not a chat",
                            "chan", "@ü_name"})
        EXPECT_FALSE(is_chat_id(bad)) << bad;
}

TEST(ChatIds, PublicNamesAreOneChatInAnyCase) {
    EXPECT_EQ(chat_key("@Burn_Watch"), "@burn_watch");
    EXPECT_EQ(chat_key("-100ABC"), "-100ABC");
    EXPECT_TRUE(same_chat("@Chan_1", "@chAN_1"));
    EXPECT_FALSE(same_chat("@chan_1", "@chan_2"));
    EXPECT_FALSE(same_chat("-1001", "-1002"));
    EXPECT_TRUE(same_chat("-1001", "-1001"));
}

}  // namespace
}  // namespace emberscope::config
