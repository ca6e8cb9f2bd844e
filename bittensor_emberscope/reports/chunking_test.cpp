// Tests for message chunking: the snapshot example, boundary cases and alert texts.
#include "reports/chunking.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/utf8.hpp"

namespace emberscope::reports {
namespace {

using Chunks = std::vector<std::string>;

const std::string kSnapshotHeader =
    "Subnet owner burn rates (startup)\n2026-03-01T12:00:00Z UTC\n3 subnets";
const std::string kSnapshot = kSnapshotHeader + "\n\nSN1: 0.1000\nSN2: 0.2000\nSN3: 0.3000";

std::string join(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
    return out;
}

TEST(Chunking, SplitsTheSnapshotExample) {
    ASSERT_EQ(utf8::length(kSnapshot), 105u);
    const std::string one = kSnapshotHeader + "\n\nSN1: 0.1000";
    const std::string two = kSnapshotHeader + "\n\nSN2: 0.2000";
    const std::string three = kSnapshotHeader + "\n\nSN3: 0.3000";
    const std::string first_two = kSnapshotHeader + "\n\nSN1: 0.1000\nSN2: 0.2000";

    EXPECT_EQ(chunk_text(kSnapshot, 105), Chunks{kSnapshot});
    EXPECT_EQ(chunk_text(kSnapshot, 3900), Chunks{kSnapshot});
    EXPECT_EQ(chunk_text(kSnapshot, 104), (Chunks{first_two, three}));
    EXPECT_EQ(chunk_text(kSnapshot, 100), (Chunks{first_two, three}));
    EXPECT_EQ(utf8::length(first_two), 93u);
    EXPECT_EQ(utf8::length(three), 81u);
    EXPECT_EQ(chunk_text(kSnapshot, 93), (Chunks{first_two, three}));
    EXPECT_EQ(chunk_text(kSnapshot, 92), (Chunks{one, two, three}));
    EXPECT_EQ(chunk_text(kSnapshot, 90), (Chunks{one, two, three}));
    EXPECT_EQ(chunk_text(kSnapshot, 81), (Chunks{one, two, three}));
    EXPECT_EQ(chunk_text(kSnapshot, 80), (Chunks{one, two, three}));
    EXPECT_EQ(chunk_text(kSnapshot, 0), (Chunks{one, two, three}));
    EXPECT_EQ(chunk_text(kSnapshot, -5), (Chunks{one, two, three}));
}

TEST(Chunking, BoundaryCases) {
    struct Case {
        const char* name;
        std::string text;
        std::int64_t max_len;
        Chunks expected;
    };
    const std::vector<Case> cases = {
        {"empty text", "", 3900, {""}},
        {"empty text, zero limit", "", 0, {""}},
        {"empty text, negative limit", "", -1, {""}},
        {"exactly the limit", "h1\nh2\nh3\n\nb1\nb2", 15, {"h1\nh2\nh3\n\nb1\nb2"}},
        {"one over, two body lines", "h1\nh2\nh3\n\nb1\nb2", 14,
         {"h1\nh2\nh3\n\nb1", "h1\nh2\nh3\n\nb2"}},
        {"one over, one body line", "h1\nh2\nh3\n\nb1", 11, {"h1\nh2\nh3\n\nb1"}},
        {"one line over", "abcdef", 3, {"abcdef"}},
        {"two lines over", "abc\ndef", 3, {"abc\ndef"}},
        {"three lines over", "abc\ndef\nghi", 3, {"abc\ndef\nghi"}},
        {"no body lines", "h1\nh2\nh3\n", 5, {"h1\nh2\nh3"}},
        {"oversized body line alone",
         "h\nh\nh\n\na\nb\nthis line is long\nc\nd", 12,
         {"h\nh\nh\n\na\nb", "h\nh\nh\n\nthis line is long", "h\nh\nh\n\nc\nd"}},
        {"final line feed", "h1\nh2\nh3\n\nb1\nb2\n", 14,
         {"h1\nh2\nh3\n\nb1", "h1\nh2\nh3\n\nb2\n"}},
        {"final line feed alone", "h1\nh2\nh3\n\nb1\nb2\n", 12,
         {"h1\nh2\nh3\n\nb1", "h1\nh2\nh3\n\nb2", "h1\nh2\nh3\n\n"}},
        // Empty fourth line: the fixed three-line header holds even when line 3 is empty.
        {"empty third and fourth", "a\nb\n\n\nc\nd", 8, {"a\nb\n\n\nc", "a\nb\n\n\nd"}},
        {"empty fifth line kept", "a\nb\nc\n\n\nd", 8, {"a\nb\nc\n\n", "a\nb\nc\n\nd"}},
        {"carriage returns stay in lines", "h\r\nt\r\nc\r\n\nb1\r\nb2\r", 14,
         {"h\r\nt\r\nc\r\n\nb1\r", "h\r\nt\r\nc\r\n\nb2\r"}},
        // A lone carriage return is no line end: this is one line.
        {"carriage return only", "a\rb\rc\rd\re", 3, {"a\rb\rc\rd\re"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chunk_text(c.text, c.max_len), c.expected) << c.name;
    }
}

TEST(Chunking, CountsCodePointsNotBytes) {
    // "é" is two bytes, "→" three, U+1F600 four and a lone surrogate three: one each.
    const std::string text = "h\nh\nh\n\n\xc3\xa9\xc3\xa9\n\xe2\x86\x92\xe2\x86\x92\n"
                             "\xf0\x9f\x98\x80\xed\xb2\x80";
    ASSERT_EQ(utf8::length(text), 15u);
    EXPECT_EQ(chunk_text(text, 15), Chunks{text});
    EXPECT_EQ(chunk_text(text, 14),
              (Chunks{"h\nh\nh\n\n\xc3\xa9\xc3\xa9\n\xe2\x86\x92\xe2\x86\x92",
                      "h\nh\nh\n\n\xf0\x9f\x98\x80\xed\xb2\x80"}));
    EXPECT_EQ(chunk_text(text, 11),
              (Chunks{"h\nh\nh\n\n\xc3\xa9\xc3\xa9", "h\nh\nh\n\n\xe2\x86\x92\xe2\x86\x92",
                      "h\nh\nh\n\n\xf0\x9f\x98\x80\xed\xb2\x80"}));
}

TEST(Chunking, KeepsEveryLineOfAnAlert) {
    const std::string header = "Owner burn rate changed\n2026-03-01T12:00:00Z UTC";
    std::vector<std::string> lines = {"Owner burn rate changed", "2026-03-01T12:00:00Z UTC", ""};
    for (int i = 0; i < 300; ++i) {
        lines.push_back("SN" + std::to_string(i) + ": 0.1000 \xe2\x86\x92 0.2000");
    }
    const Chunks chunks = chunk_text(join(lines), 200);
    ASSERT_GT(chunks.size(), 1u);

    std::vector<std::string> seen;
    for (const auto& chunk : chunks) {
        EXPECT_LE(utf8::length(chunk), 200u);
        ASSERT_EQ(chunk.rfind(header + "\n\n", 0), 0u) << chunk;
        std::string_view body = std::string_view(chunk).substr(header.size() + 2);
        ASSERT_FALSE(body.empty());
        while (true) {
            const auto end = body.find('\n');
            seen.emplace_back(body.substr(0, end));
            if (end == std::string_view::npos) break;
            body.remove_prefix(end + 1);
        }
    }
    EXPECT_EQ(seen, std::vector<std::string>(lines.begin() + 3, lines.end()));
    // Greedy: no chunk could have taken the first line of the next one.
    for (std::size_t i = 0; i + 1 < chunks.size(); ++i) {
        const std::string next_body = chunks[i + 1].substr(header.size() + 2);
        const std::string next_first = next_body.substr(0, next_body.find('\n'));
        EXPECT_GT(utf8::length(chunks[i]) + 1 + utf8::length(next_first), 200u);
    }
}

TEST(Chunking, AlertWithOneChangeLineIsNotCut) {
    const std::string text = "Owner burn rate changed\nt UTC\n\nSN1: 0.1000 \xe2\x86\x92 0.2000";
    EXPECT_EQ(chunk_text(text, 10), Chunks{text});
    EXPECT_EQ(chunk_text(text + "\nSN2: x \xe2\x86\x92 y", 10),
              (Chunks{text, "Owner burn rate changed\nt UTC\n\nSN2: x \xe2\x86\x92 y"}));
}

TEST(Chunking, NonEmptyFourthLineLosesNothing) {
    struct Case {
        const char* name;
        std::string text;
        std::int64_t max_len;
        Chunks expected;
    };
    const std::vector<Case> cases = {
        {"separator second", "T\n\nA\nB\nC", 5, {"T\n\nA", "T\n\nB", "T\n\nC"}},
        {"separator second, later empty line kept", "T\n\n\nA\nB", 4,
         {"T\n\n", "T\n\nA", "T\n\nB"}},
        {"separator third", "T\nU\n\nA\nB", 7, {"T\nU\n\nA", "T\nU\n\nB"}},
        {"no separator", "a\nb\nc\nd\ne", 8, {"a\nb\nc\n\nd", "a\nb\nc\n\ne"}},
        {"no separator, one body line", "a\nb\nc\nd", 1, {"a\nb\nc\n\nd"}},
        {"first line empty", "\n\nc\nd\ne", 6, {"\n\nc\n\nd", "\n\nc\n\ne"}},
        {"first and third empty", "\nb\n\nd\ne", 6, {"\nb\n\n\nd", "\nb\n\n\ne"}},
        {"second line empty wins over third", "a\n\n\nd\ne", 4,
         {"a\n\n", "a\n\nd", "a\n\ne"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chunk_text(c.text, c.max_len), c.expected) << c.name;
    }
}

TEST(Chunking, ZeroOrNegativeLimitGivesOneBodyLinePerChunk) {
    const std::string text = "a\nb\nc\n\n1\n\n2";
    const Chunks expected = {"a\nb\nc\n\n1", "a\nb\nc\n\n", "a\nb\nc\n\n2"};
    EXPECT_EQ(chunk_text(text, 0), expected);
    EXPECT_EQ(chunk_text(text, -1), expected);
    EXPECT_EQ(chunk_text(text, INT64_MIN), expected);
    EXPECT_EQ(chunk_text(text, INT64_MAX), Chunks{text});
}

TEST(Chunking, FitDecidedFromAKnownLength) {
    const struct {
        std::size_t code_points;
        std::int64_t max_len;
        bool fits;
    } cases[] = {
        {0, 0, true},      {1, 0, false},          {0, -1, false},   {3900, 3900, true},
        {3901, 3900, false}, {SIZE_MAX, INT64_MAX, false},  {std::size_t{INT64_MAX}, INT64_MAX, true},
        {0, INT64_MIN, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fits_in_one_chunk(c.code_points, c.max_len), c.fits)
            << c.code_points << " within " << c.max_len;
    }
    // The known length decides exactly as the counted one: "→" is one code point of 3 bytes.
    const std::string arrow = kSnapshotHeader + "\n\nSN1: 0.1000 \xE2\x86\x92 0.2000";
    const std::size_t length = utf8::length(arrow);
    EXPECT_TRUE(fits_in_one_chunk(length, static_cast<std::int64_t>(length)));
    EXPECT_FALSE(fits_in_one_chunk(length, static_cast<std::int64_t>(length) - 1));
    EXPECT_EQ(chunk_text(arrow, static_cast<std::int64_t>(length)), Chunks{arrow});
}

TEST(Chunking, SplitAloneGivesTheSameChunks) {
    for (const std::int64_t max_len : {-1, 0, 80, 90, 93, 100, 104}) {
        EXPECT_EQ(split_long_text(kSnapshot, max_len), chunk_text(kSnapshot, max_len)) << max_len;
    }
}

}  // namespace
}  // namespace emberscope::reports
