#include "records/files.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "engine/outbox.hpp"
#include "native/posix_files.hpp"
#include "records/records_fixture.hpp"

namespace emberscope::records {
namespace {

TEST(RecordsFiles, NamesBesideTheStateFile) {
    struct Case { const char* state; const char* status; const char* history; const char* rotated;
                  const char* outbox; const char* mutes; const char* offset; const char* lock; };
    const Case cases[] = {
        {"/var/lib/emberscope/state.json", "/var/lib/emberscope/state.status.json",
         "/var/lib/emberscope/state.history.jsonl", "/var/lib/emberscope/state.history.jsonl.1",
         "/var/lib/emberscope/state.outbox.json", "/var/lib/emberscope/state.mutes.json",
         "/var/lib/emberscope/state.bot-offset.json", "/var/lib/emberscope/state.lock"},
        {"burns", "burns.status.json", "burns.history.jsonl", "burns.history.jsonl.1", "burns.outbox.json",
         "burns.mutes.json", "burns.bot-offset.json", "burns.lock"},
        {"a.json.bak", "a.json.bak.status.json", "a.json.bak.history.jsonl", "a.json.bak.history.jsonl.1",
         "a.json.bak.outbox.json", "a.json.bak.mutes.json", "a.json.bak.bot-offset.json", "a.json.bak.lock"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(status_path(c.state), c.status);
        EXPECT_EQ(history_path(c.state), c.history);
        EXPECT_EQ(rotated_history_path(c.state), c.rotated);
        EXPECT_EQ(outbox_path(c.state), c.outbox);
        EXPECT_EQ(mutes_path(c.state), c.mutes);
        EXPECT_EQ(bot_offset_path(c.state), c.offset);
        EXPECT_EQ(lock_path(c.state), c.lock);
    }
    // Odd names follow the rule the engine names its outbox by: only a name that ends in ".json"
    // after something else loses that ending.
    const std::pair<std::string, std::string> odd[] = {
        {"state", "state.status.json"},
        {"a.json.json", "a.json.status.json"},
        {"dir/.json", "dir/.json.status.json"},
        {".json", ".json.status.json"},
        {"dir.json/state", "dir.json/state.status.json"},
        {"caf\xe9.json", "caf\xe9.status.json"},  // not UTF-8
        {"\xc3\xa9tat.json", "\xc3\xa9tat.status.json"},
    };
    for (const auto& [state, status] : odd) {
        EXPECT_EQ(status_path(state), status) << state;
        EXPECT_EQ(outbox_path(state), engine::beside_state(state, ".outbox.json")) << state;
    }
}

using RecordsRegularFiles = RecordsTest;

TEST_F(RecordsRegularFiles, AFifoIsRefusedAtOnceAndNamed) {
    const std::string fifo = path("state.status.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(irregular(fifo), fifo + " is a FIFO, not a regular file");
    EXPECT_EQ(irregular(dir_.string()), dir_.string() + " is a directory, not a regular file");
    EXPECT_EQ(irregular(path("missing")), std::nullopt);
    EXPECT_EQ(irregular(""), std::nullopt);
    EXPECT_EQ(read_regular(fifo), std::nullopt);  // returns: no writer is waited for
    EXPECT_THROW(open_regular(fifo, O_WRONLY | O_APPEND), native::OsError);
    ASSERT_EQ(::mkdir(outbox_path(state_).c_str(), 0700), 0);
    EXPECT_EQ(irregular_files(state_, path("pause")),
              (std::vector<std::string>{fifo + " is a FIFO, not a regular file",
                                        outbox_path(state_) + " is a directory, not a regular file"}));
    EXPECT_EQ(own_files(state_, "").back(), "");
    write(path("plain"), "abc");
    EXPECT_EQ(irregular(path("plain")), std::nullopt);
    EXPECT_EQ(read_regular(path("plain")), "abc");
    EXPECT_EQ(read_regular(path("plain"), 2), "ab");
}

using RecordsLock = RecordsTest;

TEST_F(RecordsLock, TheHolderIsNamedByItsPidAndLetsGoWhenReleased) {
    EXPECT_EQ(lock_holder(state_), std::nullopt);  // no lock file yet
    StateLock first(state_);
    ASSERT_EQ(first.acquire(), std::nullopt);
    EXPECT_EQ(read(lock_path(state_)), std::to_string(::getpid()) + "\n");
    const std::optional<LockHolder> held = lock_holder(state_);
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->held);
    EXPECT_EQ(held->pid, ::getpid());

    // flock(2) locks belong to one open file: a second lock in this process is another holder.
    StateLock second(state_);
    const auto started = std::chrono::steady_clock::now();
    const std::optional<StateLock::Busy> busy = second.acquire(0.25);
    ASSERT_TRUE(busy);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
    EXPECT_EQ(busy->holder(), "pid " + std::to_string(::getpid()));
    EXPECT_EQ(StateLock::Busy{}.holder(), "another process");

    first.release();
    EXPECT_EQ(read(lock_path(state_)), "");
    const std::optional<LockHolder> free = lock_holder(state_);
    ASSERT_TRUE(free);
    EXPECT_FALSE(free->held);
    EXPECT_EQ(second.acquire(), std::nullopt);
    EXPECT_TRUE(second.held());
}

TEST_F(RecordsLock, AFifoInPlaceOfTheLockFileIsRefused) {
    ASSERT_EQ(::mkfifo(lock_path(state_).c_str(), 0600), 0);
    StateLock lock(state_);
    EXPECT_THROW(lock.acquire(), native::OsError);
    EXPECT_EQ(lock_holder(state_), std::nullopt);
}

}  // namespace
}  // namespace emberscope::records
