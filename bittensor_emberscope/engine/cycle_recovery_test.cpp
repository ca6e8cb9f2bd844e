// The watch cycle where files, disks, clocks and readings misbehave: unreadable files, a state
// that cannot be written, readings that are missing or not numbers, moves below the display's
// precision, wall-clock steps and repeated corruption.
#include "engine/cycle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "testing_cpp/cycle_fixture.hpp"

namespace emberscope::engine {
namespace {

using testing::FakeError;
using testing::FakeServices;
using namespace fixture;

const std::string kToken = "123456:SECRET-token";
const std::string kDenied = "[Errno 13] Permission denied: '/srv/x'";

class CycleRecovery : public CycleFixture {
protected:
    CycleRecovery() : CycleFixture(kToken) {}

    void SetUp() override {
        CycleFixture::SetUp();
        // Telegram takes every message until it is down.
        fake.responder = [this](const HttpRequest& r) {
            if (r.url.find("/api/subnet/") != std::string::npos) {
                if (taostats.empty()) throw FakeError("no listing scripted");
                HttpAnswer a = std::move(taostats.front());
                taostats.pop_front();
                return a;
            }
            if (telegram_down) return FakeServices::dropped("Connection refused");
            return FakeServices::answer(200, kSentOk);
        };
    }

    std::vector<std::string> sent() const { return sent_texts(); }
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const auto& c : fake.calls)
            if (c.starts_with("replace") || c.starts_with("rename") || c.starts_with("remove"))
                out.push_back(c);
        return out;
    }

    bool telegram_down = false;
};

// --- A file that exists but cannot be read ---------------------------------------------------

TEST_F(CycleRecovery, AnUnreadableFileStopsTheCycleAndTouchesNothing) {
    struct Case {
        std::string unreadable;
        bool snapshot;
        std::string detail;
    };
    const Case cases[] = {
        {kState, false, "cannot read the state file " + kState + ": " + kDenied},
        {kOutbox, false, "cannot read the outbox file " + kOutbox + ": " + kDenied},
        {kOutbox, true, "cannot read the outbox file " + kOutbox + ": " + kDenied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.detail + (c.snapshot ? " (snapshot)" : ""));
        fake = FakeServices{};
        taostats.clear();
        SetUp();
        const std::string saved = state_file({{"1", "0.1"}});
        fake.files[kState] = saved;
        Outbox waiting;
        waiting.messages.push_back({"alert", 1, "2025-12-07T23:00:00Z", fake.clock - 600, 1, 1, "waiting"});
        fake.files[kOutbox] = render_outbox(waiting);
        const auto files = fake.files;
        fake.unreadable[c.unreadable] = kDenied;
        list({{"1", "0.9"}});
        CycleReport r = c.snapshot ? run_snapshot(fake, settings) : run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "error");
        EXPECT_EQ(r.detail, c.detail);
        EXPECT_EQ(lines(), std::vector<std::string>{"[burn] error: " + c.detail + "\n"});
        EXPECT_EQ(fake.files, files);
        EXPECT_EQ(writes(), std::vector<std::string>{});
        EXPECT_EQ(fake.requests.size(), 0u);  // neither fetched nor sent
    }
}

// --- A state that cannot be written -----------------------------------------------------------

TEST_F(CycleRecovery, AFullDiskNeverDeliversTheSameChangeTwice) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    bool full = true;
    fake.fail_replace = [&](std::string_view path) { return full && path == kState; };
    for (int cycle = 0; cycle < 4; ++cycle) {
        list({{"1", "0.9"}});
        CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "error");
        EXPECT_EQ(r.detail, "[Errno 28] No space left on device: '" + kState + "'");
    }
    EXPECT_EQ(sent().size(), 0u);
    EXPECT_EQ(fake.files.count(kOutbox), 0u);
    EXPECT_EQ(fake.files[kState], state_file({{"1", "0.1"}}));
    full = false;
    for (int cycle = 0; cycle < 2; ++cycle) {
        list({{"1", "0.9"}});
        EXPECT_EQ(run_cycle(fake, settings).outcome, "ok");
    }
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_NE(sent()[0].find("SN1%3A+0.1000+%E2%86%92+0.9000"), std::string::npos);
}

TEST_F(CycleRecovery, AFailedStateWriteKeepsWhatWaitedBefore) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    Outbox waiting;
    waiting.messages.push_back({"alert", 1, "2025-12-07T23:00:00Z", fake.clock - 600, 1, 1, "earlier"});
    fake.files[kOutbox] = render_outbox(waiting);
    telegram_down = true;
    fake.fail_replace = [](std::string_view path) { return path == kState; };
    list({{"1", "0.9"}});
    EXPECT_EQ(run_cycle(fake, settings).outcome, "error");
    ASSERT_EQ(outbox().messages.size(), 1u);
    EXPECT_EQ(outbox().messages[0].text, "earlier");
}

TEST_F(CycleRecovery, ValuesSavedDespiteAnErrorKeepTheirAlert) {
    // The state is in place but its directory's sync failed: the alert must not be taken back,
    // as the change will not be found again.
    fake.files[kState] = state_file({{"1", "0.1"}});
    telegram_down = true;
    fake.fail_after_replace = [](std::string_view path) { return path == kState; };
    list({{"1", "0.9"}});
    EXPECT_EQ(run_cycle(fake, settings).outcome, "error");
    ASSERT_EQ(outbox().messages.size(), 1u);
    fake.fail_after_replace = nullptr;
    telegram_down = false;
    list({{"1", "0.9"}});
    EXPECT_EQ(run_cycle(fake, settings).outcome, "ok");
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(CycleRecovery, AStopDuringTheStateWriteKeepsTheAlert) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    fake.fail_replace = [](std::string_view path) {
        if (path == kState) throw FakeError("KeyboardInterrupt", false);
        return false;
    };
    list({{"1", "0.9"}});
    EXPECT_THROW(run_cycle(fake, settings), FakeError);
    ASSERT_EQ(outbox().messages.size(), 1u);
    EXPECT_EQ(sent().size(), 0u);
}

// --- Readings that are missing or not numbers -------------------------------------------------

TEST_F(CycleRecovery, AMissingOrNonFiniteReadingKeepsTheLastValue) {
    const std::pair<std::string, std::string> cases[] = {
        {"null", "1: null"},       {"", "1: (none)"},          {"NaN", "1: NaN"},
        {"\"nan\"", "1: \"nan\""}, {"\" -NAN \"", "1: \" -NAN \""}, {"Infinity", "1: Infinity"},
        {"-Infinity", "1: -Infinity"}, {"\"inf\"", "1: \"inf\""}, {"1e999", "1: Infinity"},
        {"\"-infinity\"", "1: \"-infinity\""},
    };
    for (const auto& [burn, sample] : cases) {
        SCOPED_TRACE(burn);
        fake.files.clear();
        fake.files[kState] = state_file({{"1", "0.18"}, {"2", "0.5"}});
        list({{"1", burn}, {"2", "0.5"}});
        CycleReport r = run_cycle(fake, settings);
        EXPECT_EQ(r.outcome, "ok");
        EXPECT_TRUE(r.changes.empty());
        EXPECT_EQ(r.invalid_rows, 1u);
        EXPECT_EQ(r.subnets, 1u);
        EXPECT_EQ(lines(), std::vector<std::string>{
                               "[burn] listing: 1 row(s) without a valid netuid or owner burn left "
                               "out (first: " + sample + ")\n"});
        EXPECT_EQ(fake.files[kState],
                  state_file({{"1", "0.18"}, {"2", "0.5"}}, "2025-12-08T00:00:00Z"));
    }
    // Back with a reading: compared with the value it had before.
    list({{"1", "0.18"}, {"2", "0.5"}});
    EXPECT_TRUE(run_cycle(fake, settings).changes.empty());
}

TEST_F(CycleRecovery, AChangeAcrossAnUnusableReadingIsAlerted) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    list({{"1", "NaN"}, {"7", "null"}});  // 7 is new: nothing to keep
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "fetch_failed");
    list({{"1", "\"nan\""}, {"7", "0.2"}});
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_TRUE(r.changes.empty());
    EXPECT_EQ(fake.files[kState], state_file({{"1", "0.1"}, {"7", "0.2"}}, "2025-12-08T00:00:00Z"));
    list({{"1", "0.9"}, {"7", "0.2"}});
    r = run_cycle(fake, settings);
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0], (burns::BurnChange{"1", "0.1", "0.9"}));
}

// --- Moves below the display's four decimals --------------------------------------------------

TEST_F(CycleRecovery, AlertLinesShowEnoughDecimalsToTellTheValuesApart) {
    struct Case {
        std::string old_burn, new_burn;
        double threshold;
        std::string line;
    };
    const Case cases[] = {
        {"0.18", "0.18004", 0.00001, "SN1: 0.18000 → 0.18004"},
        {"0.18", "0.180049", 0.00001, "SN1: 0.18000 → 0.18005"},
        {"0.18", "0.18006", 0.00001, "SN1: 0.1800 → 0.1801"},
        {"0.1", "0.3", 0.05, "SN1: 0.1000 → 0.3000"},
        {"0.5", "0.5000000001", 0, "SN1: 0.5000000000 → 0.5000000001"},
        {"1e-25", "2e-25", 0, "SN1: 1e-25 → 2e-25"},
        {"0.1", "\"n/a\"", 0, "SN1: 0.1000 → n/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        fake.files.clear();
        fake.files[kState] = state_file({{"1", c.old_burn}});
        settings.threshold = c.threshold;
        settings.token = "";  // the alert stays in the outbox to be read
        list({{"1", c.new_burn}});
        run_cycle(fake, settings);
        ASSERT_EQ(outbox().messages.size(), 1u);
        EXPECT_EQ(outbox().messages[0].text,
                  "Owner burn rate changed\n2025-12-08T00:00:00Z UTC\n\n" + c.line);
    }
}

// --- Steps of the wall clock ------------------------------------------------------------------

TEST_F(CycleRecovery, AWallClockStepNeitherAgesNorKeepsMessages) {
    fake.files[kState] = state_file({{"1", "0.1"}});
    telegram_down = true;
    list({{"1", "0.9"}});
    EXPECT_EQ(run_cycle(fake, settings).outcome, "telegram_failed");
    ASSERT_EQ(outbox().messages.size(), 1u);
    EXPECT_EQ(outbox().messages[0].boot, "boot-1");

    // Five minutes later the wall clock is stepped a day forward: the alert is still sent.
    fake.clock += 300;
    fake.wall_offset = 86400;
    telegram_down = false;
    list({{"1", "0.9"}});
    lines();
    CycleReport r = run_cycle(fake, settings);
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.delivered, 1u);
    EXPECT_EQ(lines(), std::vector<std::string>{"[burn] alert sent (1 subnet(s))\n"});

    // A day and more later, with the wall clock stepped back, a waiting alert is dropped.
    telegram_down = true;
    list({{"1", "0.1"}});
    EXPECT_EQ(run_cycle(fake, settings).outcome, "telegram_failed");
    fake.clock += 86400 + 60;
    fake.wall_offset = -86400;
    list({{"1", "0.1"}});
    lines();
    r = run_cycle(fake, settings);
    EXPECT_EQ(r.outbox_size, 0u);
    EXPECT_TRUE(lines().at(0).starts_with("[burn] outbox: dropped 1 undelivered message(s) older than 24 h"));
}

// --- Corrupt files, more than once in a second ------------------------------------------------

TEST_F(CycleRecovery, EveryCorruptCopyIsKept) {
    const std::string stamp = ".corrupt-20251208T000000Z";
    for (int n = 0; n < 3; ++n) {
        fake.files[kState] = "not json " + std::to_string(n);
        fake.files[kOutbox] = "[" + std::to_string(n) + "]";
        list({{"1", "0.1"}});
        EXPECT_EQ(run_cycle(fake, settings).outcome, "ok");
    }
    for (const auto& [path, kept] :
         std::vector<std::pair<std::string, std::string>>{{kState, "not json "}, {kOutbox, "["}}) {
        EXPECT_EQ(fake.files[path + stamp], kept + "0" + (path == kOutbox ? "]" : ""));
        EXPECT_EQ(fake.files[path + stamp + "-2"], kept + "1" + (path == kOutbox ? "]" : ""));
        EXPECT_EQ(fake.files[path + stamp + "-3"], kept + "2" + (path == kOutbox ? "]" : ""));
    }
}

}  // namespace
}  // namespace emberscope::engine
