#include "records/history.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "records/files.hpp"
#include "records/records_fixture.hpp"

namespace emberscope::records {
namespace {

using RecordsHistory = RecordsTest;

TEST(RecordsHistoryLine, IsTheHostsOneLineJsonInUtf8) {
    EXPECT_EQ(history_line("2026-03-01T12:00:00Z", {"1", "0.1", "0.2"}),
              R"({"time_utc": "2026-03-01T12:00:00Z", "netuid": "1", "old": "0.1", "new": "0.2"})");
    // UTF-8 as it is; quotes and controls escaped; a lone surrogate (a name byte the network
    // sent that is not UTF-8) as its backslash escape, which reads back as itself.
    EXPECT_EQ(history_line("t", {"1", "\xC3\xA9\"\x01\t", "\xED\xB2\x80x"}),
              "{\"time_utc\": \"t\", \"netuid\": \"1\", \"old\": \"\xC3\xA9\\\"\\u0001\\t\", "
              "\"new\": \"\\udc80x\"}");
    // A move a route's rules never confirmed is kept, marked as such.
    EXPECT_EQ(history_line("t", {"7", "0.1", "0.5"}, true),
              R"({"time_utc": "t", "netuid": "7", "old": "0.1", "new": "0.5", "unconfirmed": true})");
}

TEST_F(RecordsHistory, RotatesAndReadsBothGenerations) {
    const std::size_t line_size = history_line("2026-03-01T12:00:00Z", {"1", "0.1", "0.2"}).size() + 1;
    for (int n = 0; n < 10; ++n)
        append_history(state_, format_utc(kT0 + n * 60),
                       {{"1", "0." + std::to_string(n), "0." + std::to_string(n + 1)}}, 4 * line_size);
    EXPECT_LE(read(history_path(state_)).size(), 4 * line_size);
    EXPECT_LE(read(rotated_history_path(state_)).size(), 4 * line_size);
    const History history = read_history(state_);
    EXPECT_EQ(history.unreadable, 0u);
    std::vector<std::string> news;
    for (const Change& c : history.changes) news.push_back(c.new_burn);
    // Two generations of at most four lines hold the newest entries, oldest first.
    EXPECT_EQ(news, (std::vector<std::string>{"0.5", "0.6", "0.7", "0.8", "0.9", "0.10"}));
    EXPECT_EQ(history.changes.back().time_utc, "2026-03-01T12:09:00Z");
    EXPECT_EQ(history.changes.back().moment(), kT0 + 540);
}

TEST_F(RecordsHistory, LinesThatCannotBeReadAreSkippedAndCounted) {
    append_history(state_, "2026-03-01T12:00:00Z", {{"3", "0.1", "0.2"}});
    append(history_path(state_),
           "{\"time_utc\": \"2026-03-01T12:05:00Z\", \"netuid\": \"3\", \"ol\n"  // cut short by a crash
           "\n   \n"                                                                  // blank: not counted
           "[1, 2]\n\"text\"\n"                                                         // not objects
           "{\"time_utc\": \"t\", \"netuid\": 3, \"old\": \"a\", \"new\": \"b\"}\n"   // a number
           "{\"time_utc\": \"t\", \"netuid\": \"3\", \"old\": \"a\"}\n"               // a key missing
           "{\"time_utc\": \"t\", \"netuid\": \"\xff\", \"old\": \"a\", \"new\": \"b\", \"x\": 1}\r\n");
    append_history(state_, "2026-03-01T12:10:00Z", {{"3", "0.2", "0.3"}});
    const History history = read_history(state_);
    EXPECT_EQ(history.unreadable, 5u);
    ASSERT_EQ(history.changes.size(), 3u);
    EXPECT_EQ(history.changes[1].netuid, "\xEF\xBF\xBD");  // a byte that is not UTF-8 reads as U+FFFD
    EXPECT_EQ(history.changes[2].new_burn, "0.3");
}

TEST_F(RecordsHistory, ALoneSurrogateRoundTrips) {
    append_history(state_, "t", {{"1", "\xED\xB2\x80", "x"}});
    EXPECT_EQ(read_history(state_).changes.at(0).old_burn, "\xED\xB2\x80");
}

TEST_F(RecordsHistory, AFifoInPlaceOfTheLogHoldsNothingAndIsNotWrittenTo) {
    ASSERT_EQ(::mkfifo(history_path(state_).c_str(), 0600), 0);
    EXPECT_TRUE(read_history(state_).changes.empty());
    EXPECT_ANY_THROW(append_history(state_, "t", {{"1", "a", "b"}}));
}

TEST(RecordsSparkline, ScalesBetweenTheSmallestAndTheLargest) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"0", "1"}, "▁█"},
        {{"0", "0.5", "1"}, "▁▅█"},
        {{"2", "2", "2"}, "▄▄▄"},
        {{"0.1", "n/a", "0.3", ""}, "▁ █ "},
        {{"x"}, " "},
        {{"1", "inf", "0"}, "█ ▁"},
        {{"0", "1", "14"}, "▁▁█"},   // half a step rounds to even: down
        {{"0", "3", "14"}, "▁▃█"},   // a step and a half: up, to even
        {{"0", "2", "4"}, "▁▅█"},    // 3.5 steps: 4
        {{}, ""},
    };
    for (const auto& [values, line] : cases) EXPECT_EQ(sparkline(values), line) << line;
    std::vector<std::string> eighths;
    for (int n = 0; n < 8; ++n) eighths.push_back(std::to_string(n / 7.0));
    EXPECT_EQ(sparkline(eighths), "▁▂▃▄▅▆▇█");
}

}  // namespace
}  // namespace emberscope::records
