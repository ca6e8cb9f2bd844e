#include "reports/telegram_verdict.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing_cpp/fake_services.hpp"

namespace emberscope::reports {
namespace {

using testing::FakeServices;
using K = TelegramVerdict::Kind;
using Form = TelegramBody::Form;

// Hands out a prepared body and records what it was asked to read.
class ScriptedReader : public TelegramReader {
public:
    explicit ScriptedReader(TelegramBody body) : body_(std::move(body)) {}
    TelegramBody read(std::string_view body, bool success) override {
        reads.emplace_back(std::string(body), success);
        return body_;
    }
    std::vector<std::pair<std::string, bool>> reads;

private:
    TelegramBody body_;
};

TelegramBody object(bool ok) {
    TelegramBody body;
    body.form = Form::object;
    body.ok = ok;
    return body;
}

TelegramBody migrating() {
    TelegramBody body = object(false);
    body.migrate_to_chat_id = "-100123";
    return body;
}

TelegramBody of_form(Form form) {
    TelegramBody body;
    body.form = form;
    return body;
}

HttpAnswer over_limit(int status) {
    HttpAnswer answer = FakeServices::answer(status, "");
    answer.body_over_limit = true;
    return answer;
}

TEST(TelegramVerdict, OneJudgementForBothSenders) {
    struct Case {
        const char* what;
        HttpAnswer answer;
        TelegramBody body;
        K repeating;  // the command's delivery and bot
        K once;       // the documented delivery
    };
    const Case cases[] = {
        {"ok set", FakeServices::answer(200, "b"), object(true), K::delivered, K::delivered},
        {"ok not set", FakeServices::answer(200, "b"), object(false), K::refused, K::refused},
        {"2xx not JSON", FakeServices::answer(200, "b"), of_form(Form::not_json), K::transient, K::refused},
        {"2xx not an object", FakeServices::answer(200, "b"), of_form(Form::not_object), K::transient,
         K::refused},
        {"2xx over its limit", over_limit(200), object(true), K::transient, K::refused},
        {"transport", FakeServices::dropped(), object(true), K::transient, K::refused},
        {"flood", FakeServices::answer(429, "b"), object(false), K::flood, K::refused},
        {"flood, body over its limit", over_limit(429), object(false), K::flood, K::refused},
        {"server error", FakeServices::answer(502, "b"), of_form(Form::not_json), K::transient, K::refused},
        {"migrated", FakeServices::answer(400, "b"), migrating(), K::migrated, K::refused},
        {"new chat id on another status", FakeServices::answer(403, "b"), migrating(), K::refused,
         K::refused},
        {"bad request", FakeServices::answer(400, "b"), object(false), K::refused, K::refused},
        {"ok set on an error status", FakeServices::answer(401, "b"), object(true), K::refused,
         K::refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedReader repeating(c.body), once(c.body);
        EXPECT_EQ(judge_telegram_answer(c.answer, repeating, kSendUntilDelivered).kind, c.repeating);
        EXPECT_EQ(judge_telegram_answer(c.answer, once, kSendOnce).kind, c.once);
    }
}

TEST(TelegramVerdict, ReadsABodyOnceAndOnlyWhenThereIsOne) {
    struct Case {
        HttpAnswer answer;
        std::vector<std::pair<std::string, bool>> reads;
    };
    const Case cases[] = {
        {FakeServices::answer(200, "{\"ok\": true}"), {{"{\"ok\": true}", true}}},
        {FakeServices::answer(404, ""), {{"", false}}},
        {FakeServices::dropped(), {}},
        {over_limit(200), {}},
        {over_limit(500), {}},
    };
    for (const Case& c : cases) {
        ScriptedReader reader(object(true));
        const TelegramVerdict verdict = judge_telegram_answer(c.answer, reader, kSendOnce);
        EXPECT_EQ(reader.reads, c.reads);
        if (c.reads.empty()) {
            EXPECT_EQ(verdict.body.form, Form::unread);
        }
    }
}

}  // namespace
}  // namespace emberscope::reports
