#include "routes/selection.hpp"

#include <gtest/gtest.h>

namespace emberscope::routes {
namespace {

TEST(RouteSelection, FiltersThresholdsAndRelativeChange) {
    Route every;  // threshold 0.01
    Route some;
    some.netuids = std::vector<std::int64_t>{1, 4, 64};
    some.threshold = 0.05;
    Route relative;
    relative.threshold = 0;
    relative.min_relative_change = 0.10;
    struct Case { burns::BurnChange change; bool every, some, relative; };
    const Case cases[] = {
        {{"1", "0.18", "0.30"}, true, true, true},
        {{"1", "0.18", "0.20"}, true, false, true},     // 0.02: below 0.05
        {{"2", "0.18", "0.30"}, true, false, true},     // not in the filter
        {{"64", "0.5", "0.54"}, true, false, false},    // 8% of 0.5
        {{"64", "0.5", "0.56"}, true, true, true},      // 12% of 0.5, 0.06 above 0.05
        {{"4", "0", "0.001"}, false, false, true},      // any move away from 0 is relative
        {{"4", "0.3", "0.3"}, false, false, false},
        {{"004", "0.1", "0.9"}, true, true, true},      // the netuid's number is what counts
        {{"x", "0.1", "0.9"}, true, false, true},       // no number: only an unfiltered route
        {{"1", "n/a", "0.2"}, true, true, true},        // texts that differ
        {{"1", "n/a", "n/a"}, false, false, false},
        {{"1", "0.1", "nan"}, true, true, true},
    };
    for (const Case& c : cases) {
        const std::string what = c.change.netuid + " " + c.change.old_burn + "→" + c.change.new_burn;
        EXPECT_EQ(route_reports(every, c.change), c.every) << what;
        EXPECT_EQ(route_reports(some, c.change), c.some) << what;
        EXPECT_EQ(route_reports(relative, c.change), c.relative) << what;
    }
}

TEST(RouteSelection, KeepsTheCyclesOrder) {
    Route some;
    some.netuids = std::vector<std::int64_t>{9, 3};
    some.threshold = 0;
    const std::vector<burns::BurnChange> changes = {
        {"2", "0", "1"}, {"3", "0", "1"}, {"5", "0", "1"}, {"9", "0", "1"}};
    const std::vector<burns::BurnChange> want = {{"3", "0", "1"}, {"9", "0", "1"}};
    EXPECT_EQ(select_changes(some, changes), want);
}

}  // namespace
}  // namespace emberscope::routes
