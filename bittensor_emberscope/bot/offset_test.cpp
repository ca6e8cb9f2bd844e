#include "bot/offset.hpp"

#include <gtest/gtest.h>

#include "testing_cpp/fake_services.hpp"

namespace emberscope::bot {
namespace {

using testing::FakeServices;

const std::string kPath = "/srv/state.bot-offset.json";

TEST(Offset, RendersExactBytes) {
    EXPECT_EQ(render_offset(0), "{\"offset\": 0}\n");
    EXPECT_EQ(render_offset(918273645), "{\"offset\": 918273645}\n");
}

TEST(Offset, ParsesOnlyItsOwnShape) {
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"{\"offset\": 17}\n", 17},
        {"{\"offset\":17}", 17},
        {" {\n \"offset\" : 0 } \n", 0},
        {"{\"offset\": 123456789012345678}", 123456789012345678},
        {"{\"offset\": 1234567890123456789}", std::nullopt},  // past what it ever holds
        {"{\"offset\": -3}", std::nullopt},
        {"{\"offset\": 1.5}", std::nullopt},
        {"{\"offset\": \"17\"}", std::nullopt},
        {"{\"offset\": 17} trailing", std::nullopt},
        {"{\"offset\": 17", std::nullopt},
        {"{\"other\": 17}", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [content, offset] : cases) EXPECT_EQ(parse_offset(content), offset) << content;
    for (std::int64_t n : {0LL, 1LL, 999999999LL})
        EXPECT_EQ(parse_offset(render_offset(n)), n);
}

TEST(Offset, AnUpdateConfirmsEverythingUpToIt) {
    EXPECT_EQ(offset_after(0, 500), 501);
    EXPECT_EQ(offset_after(501, 500), 501);   // seen again: never goes back
    EXPECT_EQ(offset_after(700, 650), 700);
    EXPECT_EQ(offset_after(501, 501), 502);
}

TEST(Offset, SurvivesARestartThroughItsFile) {
    FakeServices s;
    EXPECT_EQ(load_offset(s, kPath), 0);  // first start: everything Telegram holds
    save_offset(s, kPath, 4242);
    EXPECT_EQ(s.files.at(kPath), "{\"offset\": 4242}\n");
    EXPECT_EQ(load_offset(s, kPath), 4242);
    EXPECT_TRUE(s.console_lines.empty());
}

TEST(Offset, ADamagedFileStartsOverWithOneLine) {
    FakeServices s;
    s.files[kPath] = "{\"offset\": ";
    EXPECT_EQ(load_offset(s, kPath), 0);
    ASSERT_EQ(s.console_lines.size(), 1u);
    EXPECT_EQ(s.console_lines[0], "[bot] cannot read the offset file " + kPath +
                                      "; reading every update Telegram still holds\n");
}

TEST(Offset, AFailedSaveReachesTheCaller) {
    FakeServices s;
    s.fail_replace = [](std::string_view) { return true; };
    EXPECT_ANY_THROW(save_offset(s, kPath, 7));
    EXPECT_FALSE(s.files.contains(kPath));
}

}  // namespace
}  // namespace emberscope::bot

namespace emberscope::bot {
namespace {

TEST(OffsetRecord, KeepsTheAnsweredIdsPastTheOffset) {
    // Nothing answered out of order: the file is the plain one, byte for byte.
    EXPECT_EQ(render_offset_record({17, {}}), "{\"offset\": 17}\n");
    EXPECT_EQ(render_offset_record({17, {19, 20}}), "{\"offset\": 17, \"answered\": [19, 20]}\n");
    const std::pair<const char*, std::optional<OffsetRecord>> cases[] = {
        {"{\"offset\": 17}\n", OffsetRecord{17, {}}},
        {"{\"offset\": 17, \"answered\": [19, 20]}\n", OffsetRecord{17, {19, 20}}},
        {"{\"offset\": 17, \"answered\": []}", OffsetRecord{17, {}}},
        {"{\"offset\": 17, \"answered\": [17]}", std::nullopt},      // not past the offset
        {"{\"offset\": 17, \"answered\": [20, 19]}", std::nullopt},  // not ascending
        {"{\"offset\": 17, \"answered\": [19,]}", std::nullopt},
        {"{\"offset\": 17, \"answered\": [19]", std::nullopt},
        {"{\"offset\": 17, \"answered\": [-19]}", std::nullopt},
        {"{\"answered\": [19], \"offset\": 17}", std::nullopt},
    };
    for (const auto& [content, record] : cases) EXPECT_EQ(parse_offset_record(content), record) << content;
    std::string many = "{\"offset\": 0, \"answered\": [1";
    for (std::size_t i = 2; i <= kMaxAnswered + 1; ++i) many += ", " + std::to_string(i);
    EXPECT_EQ(parse_offset_record(many + "]}"), std::nullopt);
}

TEST(OffsetRecord, SurvivesARestartAndStillReadsAsAnOffset) {
    FakeServices s;
    save_offset_record(s, kPath, {40, {42, 45}});
    EXPECT_EQ(load_offset_record(s, kPath), (OffsetRecord{40, {42, 45}}));
    EXPECT_EQ(load_offset(s, kPath), 40);  // the offset alone, for a reader of the plain form
    EXPECT_TRUE(s.console_lines.empty());
}

}  // namespace
}  // namespace emberscope::bot
