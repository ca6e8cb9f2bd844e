// The nesting bound: counted outside strings and comments, at least as deep as the parser nests.
#include "config/nesting.hpp"

#include <gtest/gtest.h>

#include <string>

namespace emberscope::config {
namespace {

struct Case {
    const char* text;
    std::size_t max_depth;
    std::optional<std::size_t> line;  // of the fault; nullopt for none
    std::size_t column = 0;
};

TEST(Nesting, CountsTablesArraysAndDottedKeysAndNothingQuoted) {
    const Case cases[] = {
        {"x = [[1]]\n", 2, std::nullopt},
        {"x = [[[1]]]\n", 2, 1, 7},
        {"x = {a = {b = 1}}\n", 2, std::nullopt},
        {"x = {a = {b = {c = 1}}}\n", 2, 1, 15},
        {"a.b.c = 1\n", 2, std::nullopt},
        {"a.b.c = 1\n", 1, 1, 4},
        {"[a.b]\nc = 1\n", 2, std::nullopt},
        {"[a.b]\nc.d = 1\n", 2, 2, 2},
        {"[[a.b.c]]\n", 3, 1, 6},
        {"[[route]]\nnetuids = [1, 4]\n", 3, std::nullopt},
        // Dots in values (numbers, times) are no levels; brackets in strings and comments neither.
        {"x = 1.5\ny = 1979-05-27T07:32:00.5Z\n", 1, std::nullopt},
        {"x = \"[[[[\" # [[[[\ny = '{{{{'\n", 1, std::nullopt},
        {"x = \"\"\"\n[[[[\n\\\"\"\"\"\"\nz = '''\n{{{{'''\n", 1, std::nullopt},
        {"\"a.b.c\" = 1\n'd.e.f' = 2\n", 1, std::nullopt},
        // A value on several lines keeps its levels; the next statement starts afresh.
        {"x = [\n [\n  [1]\n ]\n]\n", 2, 3, 3},
        {"a.b = [\n1]\nc.d = 2\n", 2, std::nullopt},
        // The lines of a multi-line string are counted.
        {"x = \"\"\"\none\ntwo\"\"\"\ny = [[[1]]]\n", 2, 4, 7},
    };
    for (const Case& c : cases) {
        const std::optional<NestingFault> fault = find_deep_nesting(c.text, c.max_depth);
        ASSERT_EQ(fault.has_value(), c.line.has_value()) << c.text;
        if (!fault) continue;
        EXPECT_EQ(fault->line, *c.line) << c.text;
        EXPECT_EQ(fault->column, c.column) << c.text;
    }
}

TEST(Nesting, TheFullExampleIsFarFromTheBound) {
    const std::string text =
        "threshold = 0.01\n[[route]]\nchat_id = \"-100\"\nnetuids = [1, 4, 64]\n"
        "quiet_hours = \"22:00-07:00\"\n[stale]\nafter_minutes = 30\n";
    EXPECT_FALSE(find_deep_nesting(text, 4));
}

}  // namespace
}  // namespace emberscope::config
