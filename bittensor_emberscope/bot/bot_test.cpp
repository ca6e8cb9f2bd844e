// The bot's poller and answering, step by step over a fake Telegram and a fake clock; and its
// threads, which the loop never waits on.
#include "bot/bot.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <map>

#include "testing_cpp/fake_services.hpp"

namespace emberscope::bot {
namespace {

using testing::FakeServices;

const std::string kToken = "123456:bot-token-that-must-never-show";
const std::string kChat = "-1001";
const std::string kOffsetPath = "/srv/state.bot-offset.json";

std::string field(const HttpRequest& r, std::string_view name) {
    for (const auto& [key, value] : r.form)
        if (key == name) return value;
    return "";
}

std::string method_of(const HttpRequest& r) { return r.url.substr(r.url.rfind('/') + 1); }

std::string update_json(std::int64_t id, std::string_view text, std::string_view chat = kChat,
                        std::string_view user = "42") {
    return "{\"update_id\": " + std::to_string(id) + ", \"message\": {\"message_id\": 1, \"date\": 0, "
           "\"chat\": {\"id\": " + std::string(chat) + ", \"type\": \"supergroup\"}, \"from\": {\"id\": " +
           std::string(user) + "}, \"text\": \"" + std::string(text) + "\"}}";
}

// Telegram as the bot sees it: updates kept until an offset confirms them, each sent message
// recorded with the fake clock's time; answers to sends scripted in order, else ok.
struct FakeTelegram {
    std::vector<std::pair<std::int64_t, std::string>> updates;  // id (or -1: none), JSON
    std::int64_t next_id = 500;
    std::deque<HttpAnswer> send_answers;
    std::deque<HttpAnswer> poll_answers;  // when set, getUpdates answers these first
    double poll_takes = 0;  // seconds an empty long poll keeps the clock going
    struct Sent {
        std::string chat, text, thread;
        double at;
        bool photo;
    };
    std::vector<Sent> sent;

    std::int64_t push(std::string_view text, std::string_view chat = kChat, std::string_view user = "42") {
        const std::int64_t id = next_id++;
        updates.emplace_back(id, update_json(id, text, chat, user));
        return id;
    }

    HttpAnswer respond(FakeServices& s, const HttpRequest& r) {
        const std::string method = method_of(r);
        if (method == "getMe")
            return FakeServices::answer(200, R"({"ok": true, "result": {"id": 1, "is_bot": true, "username": "emberscope_bot"}})");
        if (method == "setMyCommands") return FakeServices::answer(200, R"({"ok": true, "result": true})");
        if (method == "getUpdates") {
            if (!poll_answers.empty()) {
                HttpAnswer a = std::move(poll_answers.front());
                poll_answers.pop_front();
                return a;
            }
            const std::int64_t offset = std::stoll(field(r, "offset"));
            std::erase_if(updates, [&](const auto& u) { return u.first >= 0 && u.first < offset; });
            if (updates.empty()) s.clock += poll_takes;
            std::string list;
            for (const auto& [id, json] : updates) list += (list.empty() ? "" : ", ") + json;
            return FakeServices::answer(200, "{\"ok\": true, \"result\": [" + list + "]}");
        }
        if (!send_answers.empty()) {
            HttpAnswer a = std::move(send_answers.front());
            send_answers.pop_front();
            if (a.status != 200) return a;
        }
        const bool photo = method == "sendPhoto";
        sent.push_back({photo ? "" : field(r, "chat_id"), photo ? r.body : field(r, "text"),
                        field(r, "message_thread_id"), s.clock, photo});
        return FakeServices::answer(200, R"({"ok": true, "result": {"message_id": 9}})");
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const Sent& m : sent) out.push_back(m.text);
        return out;
    }
};

struct EchoAnswers : Answerer {
    std::vector<std::string> asked;
    std::function<void()> during;  // runs inside each answer (a slow chart, a fault)
    std::optional<Reply> answer(const Parsed& command, const Message&) override {
        asked.push_back(command.name + " " + command.netuid);
        if (during) during();
        Reply reply;
        if (command.name == "chart") {
            reply.chart = Chart{"SN" + command.netuid, {{{1.0, 0.5}}}, "caption of SN" + command.netuid,
                                "sn" + command.netuid + ".png"};
        } else {
            reply.text = "answer to /" + command.name + (command.netuid.empty() ? "" : " " + command.netuid);
        }
        return reply;
    }
};

struct FakeCharts : ChartDrawer {
    Drawn result{Drawn::Kind::drawn, "PNGDATA", ""};
    Drawn draw(const Chart&) override { return result; }
};

// The poller and the answering of one bot, driven by hand.
struct Harness {
    FakeServices s;
    FakeTelegram tg;
    engine::ChatHolds holds;
    EchoAnswers answers;
    FakeCharts charts;
    Context context;
    Poller poller;
    Answering answering;

    explicit Harness(AccessList access = {{kChat}, {}}, std::size_t per_chat = kQueuePerChat)
        : context(settings(std::move(access), per_chat), holds, nullptr),
          poller(context, s), answering(context, s, answers, &charts) {
        s.responder = [this](const HttpRequest& r) { return tg.respond(s, r); };
    }
    static BotSettings settings(AccessList access, std::size_t per_chat) {
        BotSettings b;
        b.token = kToken;
        b.api_base = "http://127.0.0.1:8081";
        b.offset_path = kOffsetPath;
        b.access = std::move(access);
        b.queue_per_chat = per_chat;
        return b;
    }
    // Answers everything due, letting the fake clock run to each one's turn.
    void answer_all() {
        for (int guard = 0; guard < 1000; ++guard) {
            const std::optional<double> due = answering.step();
            if (!due) return;
            if (*due > 0) s.clock += *due;
        }
        FAIL() << "the answering never ran out of work";
    }
    std::vector<HttpRequest> polls() const {
        std::vector<HttpRequest> out;
        for (const HttpRequest& r : s.requests)
            if (method_of(r) == "getUpdates") out.push_back(r);
        return out;
    }
};

// Fault: commands were dropped by a one-a-second rule (1 of 4 sent while stopped answered;
// 5 in a batch got 1 answer). Every command is answered, paced at one a second per chat.
TEST(BotAnswering, EveryCommandOfABacklogIsAnsweredOnceAtOneASecond) {
    Harness h;
    const std::int64_t first = h.tg.push("/burn 1");
    h.tg.push("/burn 2");
    h.tg.push("/status");
    const std::int64_t last = h.tg.push("/mute 12 1h");
    h.poller.step();
    h.answer_all();
    ASSERT_EQ(h.tg.texts(), (std::vector<std::string>{"answer to /burn 1", "answer to /burn 2",
                                                       "answer to /status", "answer to /mute 12"}));
    for (std::size_t i = 1; i < h.tg.sent.size(); ++i)
        EXPECT_GE(h.tg.sent[i].at - h.tg.sent[i - 1].at, 1.0);
    EXPECT_EQ(h.s.files.at(kOffsetPath), "{\"offset\": " + std::to_string(last + 1) + "}\n");
    // The next poll confirms them to Telegram and gets nothing again.
    h.poller.step();
    EXPECT_EQ(field(h.polls().back(), "offset"), std::to_string(last + 1));
    EXPECT_GT(last, first);
    EXPECT_EQ(h.answers.asked.size(), 4u);
    EXPECT_TRUE(h.s.console_lines.empty()) << h.s.console_lines[0];
}

TEST(BotAnswering, ACommandAfterASlowOneIsAnsweredNotLost) {
    // Seen: /status and /mute 12 1h sent 1.5 s apart after a slow /chart: the /mute was lost.
    Harness h;
    h.tg.push("/chart 3");
    h.poller.step();
    h.answers.during = [&] { h.s.clock += 20; };  // the chart takes 20 s
    ASSERT_EQ(h.answering.step(), 0.0);
    h.answers.during = nullptr;
    h.tg.push("/status");
    h.poller.step();
    h.s.clock += 1.5;
    h.tg.push("/mute 12 1h");
    h.poller.step();
    h.answer_all();
    ASSERT_EQ(h.tg.sent.size(), 3u);
    EXPECT_TRUE(h.tg.sent[0].photo);
    EXPECT_NE(h.tg.sent[0].text.find("caption of SN3"), std::string::npos);
    EXPECT_EQ(h.tg.sent[1].text, "answer to /status");
    EXPECT_EQ(h.tg.sent[2].text, "answer to /mute 12");
}

TEST(BotAnswering, PastItsBoundAChatsCommandsAreDroppedWithOneLine) {
    Harness h({{kChat}, {}}, 3);
    for (const char* text : {"/burn 1", "/burn 2", "/burn 3", "/burn 4", "/burn 5"}) h.tg.push(text);
    const std::int64_t other = h.tg.push("/help", "-1002");
    h.context.set_access({{kChat, "-1002"}, {}});
    h.poller.step();
    EXPECT_EQ(h.s.console_lines, (std::vector<std::string>{
        "[bot] chat -1001: 2 command(s) not answered (/burn 4, /burn 5): 3 are waiting already\n"}));
    h.answer_all();
    EXPECT_EQ(h.tg.sent.size(), 4u);  // three of the first chat, the other chat's one
    EXPECT_EQ(h.s.files.at(kOffsetPath), "{\"offset\": " + std::to_string(other + 1) + "}\n");
}

TEST(BotAnswering, OnlyAllowedChatsAndUsersAreAnsweredTheRestConfirmed) {
    Harness h({{kChat, "@Ember_Ops"}, {"77"}});
    h.tg.push("/help");                        // the configured chat
    h.tg.push("/help", "-100999", "5");        // a stranger's group
    h.tg.push("/help", "-100999", "77");       // a listed user elsewhere
    h.tg.push("what is SN3 burning?");         // not a command
    h.tg.push("/help@other_bot");              // another bot's command
    const std::int64_t last = h.tg.push("/chart twelve");  // ours, with bad arguments
    h.poller.step();
    h.answer_all();
    EXPECT_EQ(h.tg.texts(), (std::vector<std::string>{
        "answer to /help", "answer to /help",
        "usage: /chart N [days]  (a chart of SN N's owner burn (default 30 days))"}));
    EXPECT_EQ(h.s.files.at(kOffsetPath), "{\"offset\": " + std::to_string(last + 1) + "}\n");
}

// Fault: after a migration, alerts go to the new chat and the bot ignored it.
TEST(BotAnswering, AnAnswerFollowsTheChatWhenItMovesAndTheNewIdIsAnswered) {
    Harness h;
    h.tg.send_answers.push_back(FakeServices::answer(
        400, R"({"ok": false, "error_code": 400, "description": "Bad Request: group chat was upgraded to a supergroup chat", "parameters": {"migrate_to_chat_id": -1009}})"));
    h.tg.push("/help");
    h.poller.step();
    h.answer_all();
    ASSERT_EQ(h.tg.sent.size(), 1u);
    EXPECT_EQ(h.tg.sent[0].chat, "-1009");
    EXPECT_EQ(h.holds.chat_for(kChat), "-1009");  // the cycle's alerts follow it too
    EXPECT_EQ(h.s.console_lines, (std::vector<std::string>{
        "[bot] chat -1001 was upgraded to a supergroup, now -1009: answering there\n"}));
    // The group lives on as -1009: its commands come from there now, and are answered.
    h.tg.push("/status", "-1009");
    h.poller.step();
    h.answer_all();
    ASSERT_EQ(h.tg.sent.size(), 2u);
    EXPECT_EQ((std::pair{h.tg.sent[1].chat, h.tg.sent[1].text}), (std::pair{std::string("-1009"), std::string("answer to /status")}));
}

TEST(BotAnswering, AMoveTheCycleLearntIsAnsweredToo) {
    Harness h;
    h.holds.migrate(kChat, "-1009");  // an alert was refused with migrate_to_chat_id
    h.tg.push("/help", "-1009");
    h.poller.step();
    h.answer_all();
    ASSERT_EQ(h.tg.sent.size(), 1u);
    EXPECT_EQ(h.tg.sent[0].chat, "-1009");
}

TEST(BotAnswering, FloodControlOnAnAnswerHoldsTheChatForAlertsAndAnswersAlike) {
    Harness h;
    h.tg.send_answers.push_back(FakeServices::answer(
        429, R"({"ok": false, "error_code": 429, "description": "Too Many Requests: retry after 41", "parameters": {"retry_after": 41}})"));
    h.tg.push("/help");
    h.poller.step();
    const double began = h.s.clock;
    EXPECT_EQ(h.answering.step(), 0.0);  // refused: held
    EXPECT_EQ(h.holds.held_until(kChat, h.s.clock), began + 41);  // the cycle's alerts wait too
    EXPECT_EQ(h.answering.step(), 41.0);  // its turn comes when the hold ends, not before
    h.answer_all();
    ASSERT_EQ(h.tg.sent.size(), 1u);
    EXPECT_EQ(h.tg.sent[0].at, began + 41);
    EXPECT_EQ(h.tg.sent[0].text, "answer to /help");
    EXPECT_TRUE(h.s.console_lines.empty());
}

TEST(BotAnswering, AnAlertsHoldKeepsTheAnswersBackAndOtherChatsGoOn) {
    Harness h({{kChat, "-1002"}, {}});
    h.holds.hold(kChat, h.s.clock + 30);  // an alert met flood control
    const std::int64_t held = h.tg.push("/help");
    const std::int64_t free = h.tg.push("/status", "-1002");
    h.poller.step();
    EXPECT_EQ(h.answering.step(), 0.0);
    ASSERT_EQ(h.tg.sent.size(), 1u);
    EXPECT_EQ(h.tg.sent[0].chat, "-1002");
    // The held one is still open: the offset stays before it and names the one answered past it.
    EXPECT_EQ(h.s.files.at(kOffsetPath),
              "{\"offset\": " + std::to_string(held) + ", \"answered\": [" + std::to_string(free) + "]}\n");
    EXPECT_EQ(h.answering.step(), 30.0);
    h.answer_all();
    EXPECT_EQ(h.tg.sent.size(), 2u);
    EXPECT_EQ(h.s.files.at(kOffsetPath), "{\"offset\": " + std::to_string(free + 1) + "}\n");
}

TEST(BotAnswering, ARestartNeitherAnswersTwiceNorSkips) {
    FakeServices files;
    std::int64_t held = 0, free = 0;
    std::deque<std::pair<std::int64_t, std::string>> left;
    {
        Harness h({{kChat, "-1002"}, {}});
        h.holds.hold(kChat, h.s.clock + 30);
        held = h.tg.push("/help");
        free = h.tg.push("/status", "-1002");
        h.poller.step();
        h.answering.step();  // -1002 answered, -1001 held: then the process ends
        ASSERT_EQ(h.tg.sent.size(), 1u);
        files.files = h.s.files;
        left.assign(h.tg.updates.begin(), h.tg.updates.end());
    }
    Harness h({{kChat, "-1002"}, {}});
    h.s.files = files.files;
    h.tg.updates.assign(left.begin(), left.end());
    h.context.restore_offset(h.s);
    h.poller.step();
    EXPECT_EQ(field(h.polls().at(0), "offset"), std::to_string(held));
    h.answer_all();
    EXPECT_EQ(h.tg.texts(), std::vector<std::string>{"answer to /help"});
    EXPECT_EQ(h.s.files.at(kOffsetPath), "{\"offset\": " + std::to_string(free + 1) + "}\n");
}

TEST(BotAnswering, AFailingAnswerIsSaidAndApologisedFor) {
    Harness h;
    h.answers.during = [] { throw std::runtime_error("a history line the reader did not expect"); };
    const std::int64_t id = h.tg.push("/help");
    h.poller.step();
    h.answer_all();
    EXPECT_EQ(h.s.console_lines,
              std::vector<std::string>{"[bot] /help failed: a history line the reader did not expect\n"});
    EXPECT_EQ(h.tg.texts(), std::vector<std::string>{"Sorry, /help failed."});
    EXPECT_EQ(h.s.files.at(kOffsetPath), "{\"offset\": " + std::to_string(id + 1) + "}\n");
}

TEST(BotAnswering, AChartThatCannotBeDrawnIsSaidInWords) {
    struct Case {
        Drawn drawn;
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{Drawn::Kind::unavailable, "", ""}, std::string(kChartsUnavailable), {}},
        {{Drawn::Kind::failed, "", "the chart could not be drawn: chart: the points are not in time order"},
         "Sorry, /chart failed: the chart could not be drawn: chart: the points are not in time order",
         {"[bot] /chart failed: the chart could not be drawn: chart: the points are not in time order\n"}},
    };
    for (const Case& c : cases) {
        Harness h;
        h.charts.result = c.drawn;
        h.tg.push("/chart 3 7");
        h.poller.step();
        h.answer_all();
        EXPECT_EQ(h.tg.texts(), std::vector<std::string>{c.text});
        EXPECT_EQ(h.s.console_lines, c.lines);
    }
}

TEST(BotAnswering, AnAnswerIsSentInTheTopicItWasAskedIn) {
    Harness h;
    h.tg.updates.emplace_back(7, R"({"update_id": 7, "message": {"chat": {"id": -1001}, "from": {"id": 42},
        "message_thread_id": 5, "text": "/help"}})");
    h.poller.step();
    h.answer_all();
    ASSERT_EQ(h.tg.sent.size(), 1u);
    EXPECT_EQ(h.tg.sent[0].thread, "5");
}

// Fault: getUpdates answered at once with nothing made the poller spin (~1,200 requests a second).
TEST(BotPoller, NothingAtOnceMakesThePollerBackOff) {
    for (const char* result : {"[]", "null", "{}"}) {
        Harness h;
        h.poller.step();  // getMe, setMyCommands, and the first poll
        std::vector<double> waits;
        for (int i = 0; i < 8; ++i) {
            h.tg.poll_answers.push_back(FakeServices::answer(200, std::string("{\"ok\": true, \"result\": ") + result + "}"));
            waits.push_back(h.poller.step().wait);
        }
        EXPECT_EQ(waits, (std::vector<double>{2, 4, 8, 16, 32, 60, 60, 60})) << result;
    }
}

TEST(BotPoller, ALongPollThatRanItsCourseIsFollowedAtOnce) {
    Harness h;
    h.tg.poll_takes = 50;  // Telegram kept the poll until its timeout
    for (int i = 0; i < 3; ++i) EXPECT_EQ(h.poller.step().wait, 0.0);
    EXPECT_EQ(field(h.polls().back(), "timeout"), "50");
    EXPECT_EQ(field(h.polls().back(), "allowed_updates"), "[\"message\"]");
    EXPECT_EQ(h.polls().back().timeout_seconds, 65.0);
}

// Fault: an update without update_id was answered again every second.
TEST(BotPoller, AnUpdateWithoutAnIdIsSkippedOnceWithALine) {
    Harness h;
    h.tg.updates.emplace_back(-1, R"({"message": {"chat": {"id": -1001}, "from": {"id": 42}, "text": "/help"}})");
    std::vector<double> waits;
    for (int i = 0; i < 3; ++i) waits.push_back(h.poller.step().wait);
    h.answer_all();
    EXPECT_TRUE(h.tg.sent.empty());
    EXPECT_EQ(h.s.console_lines, std::vector<std::string>{"[bot] an update without an update_id was skipped\n"});
    EXPECT_EQ(waits, (std::vector<double>{1, 2, 4}));  // it comes back at once: no busy loop
}

TEST(BotPoller, WhileCommandsWaitThePollWaitsForAnAnswer) {
    Harness h;
    h.holds.hold(kChat, h.s.clock + 100);
    h.tg.push("/help");
    EXPECT_EQ(h.poller.step().wait, 0.0);  // a fresh command: ask again at once
    const Poller::Next next = h.poller.step();  // the same command comes back at once
    EXPECT_EQ(next.wait, kRepollWhileAnswering);
    EXPECT_TRUE(next.until_progress);
}

// Fault: behind a proxy that closes quiet connections after 20 s, a 50 s poll never completed.
TEST(BotPoller, ACutMidPollMakesThePollsShorterAndTheyGrowBack) {
    Harness h;
    h.poller.step();
    h.tg.poll_answers.push_back(FakeServices::dropped());
    h.tg.poll_takes = 0;
    const double began = h.s.clock;
    h.s.responder = [&h, began](const HttpRequest& r) {
        if (method_of(r) == "getUpdates" && !h.tg.poll_answers.empty()) h.s.clock = began + 20;  // cut at 20 s
        return h.tg.respond(h.s, r);
    };
    EXPECT_EQ(h.poller.step().wait, 0.0);  // polled again at once, shorter
    EXPECT_EQ(h.poller.poll_length(), 10.0);
    EXPECT_EQ(h.s.console_lines, std::vector<std::string>{"[bot] a long poll was cut after 20 s: polling 10 s at a time\n"});
    h.tg.poll_takes = 10;
    for (int i = 0; i < kPollsBeforeLonger; ++i) h.poller.step();
    EXPECT_EQ(field(h.polls().back(), "timeout"), "10");
    EXPECT_EQ(h.poller.poll_length(), 16.0);  // longer again, under where the cut came
    for (int i = kPollsBeforeLonger; i < kPollsBeforeForgettingCut; ++i) h.poller.step();
    EXPECT_EQ(h.poller.poll_length(), 32.0);  // the cut forgotten: back towards 50 s
    for (int i = 0; i < kPollsBeforeLonger; ++i) h.poller.step();
    EXPECT_EQ(h.poller.poll_length(), 50.0);
}

TEST(BotPoller, AFailureIsSaidOnceAndRecoveryToo) {
    Harness h;
    h.tg.poll_takes = 50;
    h.poller.step();
    for (int i = 0; i < 4; ++i) h.tg.poll_answers.push_back(FakeServices::dropped("Connection refused"));
    std::vector<double> waits;
    for (int i = 0; i < 5; ++i) waits.push_back(h.poller.step().wait);
    EXPECT_EQ(waits, (std::vector<double>{5, 10, 20, 40, 0}));
    ASSERT_EQ(h.s.console_lines.size(), 2u);
    EXPECT_TRUE(h.s.console_lines[0].starts_with("[bot] not answering commands: telegram: ")) << h.s.console_lines[0];
    EXPECT_TRUE(h.s.console_lines[0].ends_with("; alerts continue; asking again later\n"));
    EXPECT_EQ(h.s.console_lines[1], "[bot] answering commands again as @emberscope_bot\n");
    EXPECT_EQ(h.context.note(), "answering as @emberscope_bot");
}

TEST(BotPoller, ASecondPollerIsSaidOnceAndAskedEveryMinute) {
    Harness h;
    h.poller.step();
    for (int i = 0; i < 3; ++i)
        h.tg.poll_answers.push_back(FakeServices::answer(409, R"({"ok": false, "error_code": 409, "description": "Conflict: terminated by other getUpdates request"})"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(h.poller.step().wait, kConflictRetry);
    EXPECT_EQ(h.s.console_lines, std::vector<std::string>{
        "[bot] not answering commands: telegram: HTTP 409 Conflict: terminated by other getUpdates request "
        "(another program reads this bot's updates, or a webhook is set); alerts continue; asking again every 60 s\n"});
    EXPECT_EQ(h.context.note(), "not answering: telegram: HTTP 409 Conflict: terminated by other getUpdates request "
                                "(since 2025-12-08T00:00:00Z)");
}

TEST(BotPoller, TheMenuIsRegisteredFromTheCommandTable) {
    Harness h;
    h.poller.step();
    ASSERT_GE(h.s.requests.size(), 2u);
    EXPECT_EQ(method_of(h.s.requests[1]), "setMyCommands");
    const std::string menu = field(h.s.requests[1], "commands");
    std::size_t at = 0;
    for (const CommandInfo& c : command_table()) {
        at = menu.find("{\"command\": \"" + std::string(c.name) + "\", \"description\": ", at);
        EXPECT_NE(at, std::string::npos) << c.name;
    }
}

// The threads. Fault: the bot answered in the loop's thread with no overall limit (40 /chart
// held the loop 79.5 s and the watchdog starved).

struct BlockingAnswers : Answerer {
    std::promise<void> entered;
    std::shared_future<void> release;
    std::optional<Reply> answer(const Parsed&, const Message&) override {
        entered.set_value();
        release.wait();
        return Reply{"late answer", std::nullopt};
    }
};

// FakeServices for a thread of its own: its calls under one lock.
struct LockedServices : FakeServices {
    std::mutex mutex;
    HttpAnswer http(const HttpRequest& r) override {
        std::unique_lock lock(mutex);
        return FakeServices::http(r);
    }
};

TEST(BotThreads, TheLoopNeverWaitsOnAnAnswerUnderWay) {
    LockedServices poll, send;
    FakeTelegram tg;
    tg.push("/chart 3");
    std::mutex telegram;
    std::condition_variable polled;
    int polls = 0;
    poll.responder = [&](const HttpRequest& r) {
        std::unique_lock lock(telegram);
        if (method_of(r) == "getUpdates" && ++polls > 1) {
            // Telegram holds the long poll until the bot closes.
            polled.notify_all();
            polled.wait(lock, [&] { return polls < 0; });
            throw testing::FakeError("the exchange was cancelled");
        }
        return tg.respond(poll, r);
    };
    send.responder = [&](const HttpRequest& r) {
        std::unique_lock lock(telegram);
        HttpAnswer a = tg.respond(send, r);
        polled.notify_all();
        return a;
    };
    engine::ChatHolds holds;
    BlockingAnswers answers;
    std::promise<void> release;
    answers.release = release.get_future().share();
    std::vector<int> notes;
    BotSettings settings = Harness::settings({{kChat}, {}}, kQueuePerChat);
    Bot bot(settings, poll, send, holds, answers, nullptr,
            {[&] { notes.push_back(1); }, [&] {
                 std::lock_guard lock(telegram);
                 polls = -1;
                 polled.notify_all();
             }});
    bot.start();
    answers.entered.get_future().wait();  // the answer is under way, and stays so
    // Everything the loop calls returns while it is.
    EXPECT_EQ(bot.note(), "answering as @emberscope_bot");
    bot.set_access({{kChat, "-1002"}, {}});
    EXPECT_EQ(holds.ready_at(kChat, 0), 0);
    release.set_value();
    {
        std::unique_lock lock(telegram);
        polled.wait(lock, [&] { return polls >= 2 && !tg.sent.empty(); });
    }
    bot.close();  // ends the long poll under way
    EXPECT_EQ(bot.note(), std::nullopt);
    ASSERT_EQ(tg.texts(), std::vector<std::string>{"late answer"});
}

TEST(BotThreads, ClosingEndsALongPollAndLeavesTheUnansweredForTheNextStart) {
    LockedServices poll, send;
    FakeTelegram tg;
    const std::int64_t id = tg.push("/help");
    std::mutex m;
    std::condition_variable cv;
    bool cancelled = false;
    poll.responder = [&](const HttpRequest& r) {
        if (method_of(r) != "getUpdates") return tg.respond(poll, r);
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return cancelled; });
        throw testing::FakeError("the exchange was cancelled");
    };
    engine::ChatHolds holds;
    EchoAnswers answers;
    Bot bot(Harness::settings({{kChat}, {}}, kQueuePerChat), poll, send, holds, answers, nullptr,
            {nullptr, [&] {
                 std::lock_guard lock(m);
                 cancelled = true;
                 cv.notify_all();
             }});
    bot.start();
    bot.close();
    EXPECT_TRUE(poll.console_lines.empty()) << poll.console_lines[0];  // a cancel is not a failure
    EXPECT_FALSE(poll.files.contains(kOffsetPath));  // nothing confirmed: it is answered next time
    EXPECT_EQ(tg.updates.front().first, id);
}

}  // namespace
}  // namespace emberscope::bot
