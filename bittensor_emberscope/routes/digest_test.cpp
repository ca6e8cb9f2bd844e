#include "routes/digest.hpp"

#include <gtest/gtest.h>

namespace emberscope::routes {
namespace {

TEST(Digest, EachSubnetOnceFirstOldLastNewInNetuidOrder) {
    const std::vector<burns::BurnChange> held = {
        {"12", "0.1", "0.2"}, {"3", "0.5", "0.6"}, {"12", "0.2", "0.4"},
        {"x", "a", "b"},      {"3", "0.6", "0.5"}, {"100", "0", "1"}, {"12", "0.4", "0.9"},
    };
    const std::vector<burns::BurnChange> want = {
        {"3", "0.5", "0.5"},  // moved and came back: still listed
        {"12", "0.1", "0.9"},
        {"100", "0", "1"},
        {"x", "a", "b"},
    };
    EXPECT_EQ(fold_held_changes(held), want);
    EXPECT_TRUE(fold_held_changes({}).empty());
}

}  // namespace
}  // namespace emberscope::routes
