// Tests for change detection: netuid order and matching by exact key text.
#include "burns/changes.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace emberscope::burns {
namespace {

TEST(Changes, OrdersByNumberStably) {
    struct Case {
        std::vector<std::string> keys;
        std::vector<std::size_t> order;
    };
    const std::vector<Case> cases = {
        {{}, {}},
        {{"100", "9", "10"}, {1, 2, 0}},
        {{"5", "05", "+5", " 5 "}, {0, 1, 2, 3}},
        {{"-1", "0", "-0", "-10"}, {3, 0, 1, 2}},
        {{"99999999999999999999999", "18446744073709551616", "1"}, {2, 1, 0}},
        {{"-99999999999999999999999", "-18446744073709551616", "-1"}, {0, 1, 2}},
        {{"1_0", "\xd9\xa3", "2"}, {2, 1, 0}},  // 10, Arabic-Indic three, 2
    };
    for (const auto& c : cases) {
        std::vector<DecimalInteger> keys;
        for (const auto& k : c.keys) keys.push_back(parse_integer_text(k).value());
        EXPECT_EQ(netuid_order(keys), c.order) << "first key: " << (c.keys.empty() ? "" : c.keys[0]);
    }
}

TEST(Changes, ReportsSubnetsKnownUnderTheSameTextInNumericOrder) {
    struct Case {
        BurnMap prev, current;
        std::vector<BurnChange> expected;
    };
    const std::vector<Case> cases = {
        {{}, {{"1", "0.3"}}, {}},
        {{{"3", "0.5"}}, {}, {}},
        {{{"1", "0.1"}}, {{"1", "0.3"}, {"2", "0.9"}}, {{"1", "0.1", "0.3"}}},
        {{{"05", "0.1"}, {"5", "0.1"}}, {{"5", "0.1"}, {"+5", "0.9"}}, {}},
        {{{"10", "0"}, {"100", "0"}, {"9", "0"}, {"7", "0.18"}, {"8", "0.5"}},
         {{"100", "1"}, {"9", "1"}, {"10", "1"}, {"7", "0.2"}, {"8", "0.50"}},
         {{"7", "0.18", "0.2"}, {"9", "0", "1"}, {"10", "0", "1"}, {"100", "0", "1"}}},
        {{{"5", "0"}, {"05", "0"}, {"1", "0"}}, {{"05", "2"}, {"1", "3"}, {"5", "1"}},
         {{"1", "0", "3"}, {"05", "0", "2"}, {"5", "0", "1"}}},
    };
    for (const auto& c : cases) {
        std::vector<DecimalInteger> netuids;
        for (const auto& entry : c.current) netuids.push_back(parse_integer_text(entry.first).value());
        EXPECT_EQ(list_changes(c.prev, c.current, netuids, 0.01), c.expected)
            << "current size " << c.current.size();
    }
}

TEST(Changes, PositionsOfChangedEntries) {
    struct Case {
        BurnView prev, current;
        std::vector<ChangedEntry> expected;
    };
    const std::vector<Case> cases = {
        {{}, {}, {}},
        {{{"1", "0.1"}}, {{"2", "0.9"}}, {}},
        // A key held twice in prev is compared with its last value.
        {{{"1", "0.9"}, {"2", "0"}, {"1", "0.1"}}, {{"1", "0.3"}}, {{0, 2}}},
        {{{"1", "0.3"}, {"1", "0.9"}}, {{"1", "0.3"}}, {{0, 1}}},
        // Out of order: positions follow the netuid order; more keys than table slots collide.
        {{{"9", "0"}, {"10", "0"}, {"11", "0"}, {"12", "0"}, {"13", "0"}, {"14", "0"}, {"15", "0"},
          {"16", "0"}, {"17", "0"}},
         {{"17", "1"}, {"9", "1"}, {"13", "0"}, {"10", "1"}, {"99", "1"}},
         {{1, 0}, {3, 1}, {0, 8}}},
    };
    for (const auto& c : cases) {
        std::vector<DecimalInteger> netuids;
        for (const auto& entry : c.current) netuids.push_back(parse_integer_text(entry.first).value());
        EXPECT_EQ(changed_entries(c.prev, c.current, netuids, 0.01), c.expected)
            << "current size " << c.current.size();
    }
}

TEST(Changes, OrderOfSortedNetuidsIsThePositions) {
    std::vector<DecimalInteger> keys;
    for (const char* k : {"-5", "0", "0", "7", "10", "100"}) keys.push_back(parse_integer_text(k).value());
    EXPECT_EQ(netuid_order(keys), (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
    keys.push_back(parse_integer_text("99").value());
    EXPECT_EQ(netuid_order(keys), (std::vector<std::size_t>{0, 1, 2, 3, 4, 6, 5}));
    // The same order on 64-bit numbers, equal numbers kept in place.
    const std::vector<std::int64_t> numbers = {-5, 0, 0, 7, 10, 100, 99};
    EXPECT_EQ(netuid_order(numbers), (std::vector<std::size_t>{0, 1, 2, 3, 4, 6, 5}));
    const std::vector<std::int64_t> shuffled = {3, -1, 3, 2, 3};
    EXPECT_EQ(netuid_order(shuffled), (std::vector<std::size_t>{1, 3, 0, 2, 4}));
}

}  // namespace
}  // namespace emberscope::burns
