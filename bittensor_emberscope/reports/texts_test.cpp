// Tests for the alert and snapshot texts: golden texts and their boundary cases.
#include "reports/texts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf8.hpp"

namespace emberscope::reports {
namespace {

constexpr const char* kStamp = "2026-03-01T12:00:00Z";

TEST(ReportTexts, RendersTheTwoChangeAlert) {
    const std::vector<AlertLine> lines = {{"3", "0.1800", "0.2500"}, {"12", "0.0000", "1.0000"}};
    EXPECT_EQ(render_alert(lines, kStamp),
              "Owner burn rate changed\n"
              "2026-03-01T12:00:00Z UTC\n"
              "\n"
              "SN3: 0.1800 \xE2\x86\x92 0.2500\n"
              "SN12: 0.0000 \xE2\x86\x92 1.0000");
}

TEST(ReportTexts, RendersTheThreeRowSnapshot) {
    const std::vector<SnapshotLine> lines = {{"3", "0.1800"}, {"7", "0.0000"}, {"12", "0.2500"}};
    EXPECT_EQ(render_snapshot(3, lines, kStamp),
              "Subnet owner burn rates (startup)\n"
              "2026-03-01T12:00:00Z UTC\n"
              "3 subnets\n"
              "\n"
              "SN3: 0.1800\n"
              "SN7: 0.0000\n"
              "SN12: 0.2500");
}

TEST(ReportTexts, EmptyListsEndWithTheEmptyLine) {
    EXPECT_EQ(render_alert({}, kStamp), "Owner burn rate changed\n2026-03-01T12:00:00Z UTC\n");
    EXPECT_EQ(render_snapshot(0, {}, kStamp),
              "Subnet owner burn rates (startup)\n2026-03-01T12:00:00Z UTC\n0 subnets\n");
}

TEST(ReportTexts, CountStaysPluralAndIndependentOfLines) {
    EXPECT_EQ(render_snapshot(1, {{"0", "0.5000"}}, "t"),
              "Subnet owner burn rates (startup)\nt UTC\n1 subnets\n\nSN0: 0.5000");
    // The count is the caller's row count, not the number of lines handed in.
    EXPECT_EQ(render_snapshot(12345, {}, "t"),
              "Subnet owner burn rates (startup)\nt UTC\n12345 subnets\n");
}

TEST(ReportTexts, TextsPassThroughUnchanged) {
    EXPECT_EQ(render_alert({{"5", "n/a", "0.2000"}}, "t"),
              "Owner burn rate changed\nt UTC\n\nSN5: n/a \xE2\x86\x92 0.2000");
    EXPECT_EQ(render_snapshot(2, {{"-1", "x"}, {"", ""}}, ""),
              "Subnet owner burn rates (startup)\n UTC\n2 subnets\n\nSN-1: x\nSN: ");
}

TEST(ReportTexts, ArrowIsOneCodePoint) {
    const std::string text = render_alert({{"1", "0.1000", "0.2000"}}, "t");
    const std::string last = text.substr(text.rfind('\n') + 1);
    EXPECT_EQ(last, "SN1: 0.1000 \xE2\x86\x92 0.2000");
    EXPECT_EQ(utf8::length(last), 20u);
    EXPECT_EQ(last.size(), 22u);
}

}  // namespace
}  // namespace emberscope::reports
