#include "taostats/answer.hpp"

#include <gtest/gtest.h>

#include "testing_cpp/fake_services.hpp"

namespace emberscope::taostats {
namespace {

using testing::FakeServices;
using K = AnswerKind;

// Says what it was told to and counts what it was asked.
class ScriptedReader : public AnswerReader {
public:
    explicit ScriptedReader(bool limited) : limited_(limited) {}
    void read(const HttpAnswer&) override { ++reads; }
    bool says_rate_limited() override {
        ++asked;
        return limited_;
    }
    int reads = 0, asked = 0;

private:
    bool limited_;
};

TEST(TaostatsAnswer, OneJudgementForTheClientAndTheListing) {
    struct Case {
        const char* what;
        HttpAnswer answer;
        bool record_says_limited;
        K single, retried, page;
    };
    const Case cases[] = {
        {"a listing", FakeServices::answer(200, "b"), false, K::body, K::body, K::body},
        {"a success whose record says rate limited", FakeServices::answer(200, "b"), true, K::body,
         K::rate_limited, K::body},
        {"429 whose record says so", FakeServices::answer(429, "b"), true, K::refused, K::rate_limited,
         K::rate_limited},
        // The documented client knows a rate limit by the record's words only.
        {"429 whose record says nothing of it", FakeServices::answer(429, "b"), false, K::refused,
         K::refused, K::rate_limited},
        {"503 whose record says rate limited", FakeServices::answer(503, "b"), true, K::refused,
         K::rate_limited, K::rate_limited},
        {"500", FakeServices::answer(500, "b"), false, K::refused, K::refused, K::refused},
        {"no answer", FakeServices::dropped(), true, K::transport, K::transport, K::transport},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedReader single(c.record_says_limited), retried(c.record_says_limited),
            page(c.record_says_limited);
        EXPECT_EQ(judge_taostats_answer(c.answer, single, kSingleRequest), c.single);
        EXPECT_EQ(judge_taostats_answer(c.answer, retried, kRetriedRequest), c.retried);
        EXPECT_EQ(judge_taostats_answer(c.answer, page, kListingPage), c.page);
        EXPECT_EQ(single.asked, 0);  // a single GET hands its answer on as it is
    }
}

TEST(TaostatsAnswer, ReadsOnlyWhatItJudgesBy) {
    struct Case {
        HttpAnswer answer;
        AnswerPolicy policy;
        int reads, asked;
    };
    const Case cases[] = {
        {FakeServices::dropped(), kRetriedRequest, 0, 0},
        {FakeServices::answer(429, "b"), kListingPage, 0, 0},  // the status says it all
        {FakeServices::answer(429, "b"), kRetriedRequest, 1, 1},
        {FakeServices::answer(200, "b"), kListingPage, 1, 0},
        {FakeServices::answer(404, "b"), kListingPage, 1, 1},
        {FakeServices::answer(200, "b"), kSingleRequest, 1, 0},
    };
    for (const Case& c : cases) {
        ScriptedReader reader(false);
        judge_taostats_answer(c.answer, reader, c.policy);
        EXPECT_EQ(reader.reads, c.reads) << c.answer.status;
        EXPECT_EQ(reader.asked, c.asked) << c.answer.status;
    }
}

TEST(TaostatsAnswer, TheMessageRuleIsExactCase) {
    const std::pair<std::string_view, bool> cases[] = {
        {"Rate Limited", true}, {"429: Rate Limited, slow down", true}, {"['Rate Limited']", true},
        {"rate limited", false}, {"Rate  Limited", false}, {"", false},
    };
    for (const auto& [message, limited] : cases) EXPECT_EQ(message_says_rate_limited(message), limited) << message;
}

}  // namespace
}  // namespace emberscope::taostats
