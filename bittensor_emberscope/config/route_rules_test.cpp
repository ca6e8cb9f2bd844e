// The rules of routes handed to the engine.
#include "config/route_rules.hpp"

#include <gtest/gtest.h>

namespace emberscope::config {
namespace {

TEST(RouteRules, RoutesHandedToTheEngineFollowTheFilesRules) {
    routes::Route a, b;
    a.chat_id = "@Chan";
    b.chat_id = "@chan";
    EXPECT_EQ(check_routes({a, b}), "route[2].chat_id: the same chat as route[1]; merge them into one route");
    b.chat_id = "-2";
    EXPECT_EQ(check_routes({a, b}), std::nullopt);
    b.netuids = std::vector<std::int64_t>{1, 70000};
    EXPECT_EQ(check_routes({a, b}), "route[2].netuids: 70000 is not a subnet number (0 to 65535)");
    b.netuids.reset();
    b.thread_id = -3;
    EXPECT_EQ(check_routes({a, b}), "route[2].thread_id: must be a positive integer, not -3");
    b.thread_id.reset();
    a.min_relative_change = -0.5;
    EXPECT_EQ(check_routes({a, b}), "route[1].min_relative_change: must be a finite number >= 0, not -0.5");
    a.min_relative_change = 0;
    a.chat_id = "-1\r\n";
    EXPECT_EQ(check_routes({a, b}), "route[1].chat_id: is not a chat identifier: '-1\\r\\n'");
}

}  // namespace
}  // namespace emberscope::config
