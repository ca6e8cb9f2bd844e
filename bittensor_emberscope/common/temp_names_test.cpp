#include "common/temp_names.hpp"

#include <gtest/gtest.h>

#include <string>

namespace emberscope::temp_names {
namespace {

TEST(TempNames, RoundTripAndForeignNames) {
    const std::string name = make("state.json", 4242, "0123456789abcdef");
    EXPECT_EQ(name, ".state.json.4242.0123456789abcdef.tmp");
    EXPECT_EQ(writer(name, "state.json"), 4242);

    const std::string long_base(kMaxBase + 1, 'x');
    EXPECT_EQ(make(long_base, 7, "0123456789abcdef"), ".7.0123456789abcdef.tmp");
    EXPECT_EQ(writer(".7.0123456789abcdef.tmp", long_base), 7);

    // Names that are not ours, or not for this state file, are never claimed.
    for (const char* other : {"state.json", ".state.json.tmp", ".state.json.42.0123456789abcdef",
                              ".state.json.42.0123456789ABCDEF.tmp", ".state.json.42.0123.tmp",
                              ".state.json.x2.0123456789abcdef.tmp", ".other.42.0123456789abcdef.tmp",
                              ".state.json..0123456789abcdef.tmp",
                              ".state.json.42.0123456789abcdef0.tmp"}) {
        EXPECT_EQ(writer(other, "state.json"), std::nullopt) << other;
    }
    EXPECT_EQ(writer(".state.json.42.0123456789abcdef.tmp", "state"), std::nullopt);
}

}  // namespace
}  // namespace emberscope::temp_names
