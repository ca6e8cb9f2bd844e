#include "native/posix_waiter.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace emberscope::native {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Far beyond any wait the tests expect to end early: a wait that reaches it failed to notice.
constexpr double kLongDeadline = 30.0;
// Longer than the long deadline: a wait that ends early did not get there by looking.
constexpr double kNoLooking = 120.0;

double now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void touch(const std::string& path) { std::ofstream(path) << ""; }

class Waiter : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/emberscope-waiter-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (later_.joinable()) later_.join();
        fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Runs `action` on another thread once the wait has begun.
    void soon(std::function<void()> action) {
        later_ = std::thread([action = std::move(action)] {
            std::this_thread::sleep_for(200ms);
            action();
        });
    }
    // A wait on the pause file of this folder, long enough that only the file ends it.
    WaitFor on_pause(double seconds = kLongDeadline) const {
        WaitFor what;
        what.seconds = seconds;
        what.pause_path = path("pause");
        what.pause_poll_seconds = kNoLooking;
        return what;
    }

    fs::path dir_;
    std::thread later_;
};

TEST_F(Waiter, TheDeadlineEndsAWaitWithNothingElseToWaitFor) {
    const double began = now();
    WaitFor what;
    what.seconds = 0.3;
    EXPECT_EQ(wait_for_first(what), WaitEnd::deadline);
    EXPECT_GE(now() - began, 0.3);
}

TEST_F(Waiter, ADeadlineAlreadyPassedEndsTheWaitAtOnce) {
    for (const double seconds : {0.0, -5.0}) {
        WaitFor what = on_pause(seconds);
        EXPECT_EQ(wait_for_first(what), WaitEnd::deadline) << seconds;
    }
}

TEST_F(Waiter, APauseFileAlreadyThereEndsTheWaitAtOnce) {
    touch(path("pause"));
    EXPECT_EQ(wait_for_first(on_pause()), WaitEnd::paused);
}

struct Appearance {
    const char* name;
    std::function<void(const std::string& folder)> make;
};

class PauseAppears : public Waiter, public ::testing::WithParamInterface<Appearance> {};

TEST_P(PauseAppears, EndsTheWaitLongBeforeTheDeadline) {
    const std::string folder = dir_.string();
    soon([folder] { GetParam().make(folder); });
    const double began = now();
    EXPECT_EQ(wait_for_first(on_pause()), WaitEnd::paused);
    EXPECT_LT(now() - began, kLongDeadline / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Waiter, PauseAppears,
    ::testing::Values(
        Appearance{"Created", [](const std::string& d) { touch(d + "/pause"); }},
        Appearance{"CreatedEmptyByOpen",
                   [](const std::string& d) {
                       ::close(::open((d + "/pause").c_str(), O_CREAT | O_WRONLY, 0600));
                   }},
        Appearance{"RenamedIntoPlace",
                   [](const std::string& d) {
                       touch(d + "/pause.tmp");
                       fs::rename(d + "/pause.tmp", d + "/pause");
                   }},
        Appearance{"MovedInFromAnotherFolder",
                   [](const std::string& d) {
                       fs::create_directory(d + "/elsewhere");
                       touch(d + "/elsewhere/p");
                       fs::rename(d + "/elsewhere/p", d + "/pause");
                   }},
        Appearance{"LinkedToAFile",
                   [](const std::string& d) {
                       touch(d + "/target");
                       fs::create_symlink(d + "/target", d + "/pause");
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Waiter, ADirectoryOrAPipeNamedLikeThePauseFileDoesNotCount) {
    const std::string pause = path("pause");
    soon([pause] { fs::create_directory(pause); });
    EXPECT_EQ(wait_for_first(on_pause(0.8)), WaitEnd::deadline);
    later_.join();
    fs::remove(pause);
    soon([pause] { ::mkfifo(pause.c_str(), 0600); });
    EXPECT_EQ(wait_for_first(on_pause(0.8)), WaitEnd::deadline);
}

TEST_F(Waiter, OtherFilesOfTheFolderDoNotEndTheWait) {
    const std::string folder = dir_.string();
    soon([folder] {
        touch(folder + "/state.json");
        touch(folder + "/pause.tmp");
        fs::rename(folder + "/state.json", folder + "/state2.json");
    });
    EXPECT_EQ(wait_for_first(on_pause(0.8)), WaitEnd::deadline);
}

TEST_F(Waiter, AnEmptyPausePathNeverPauses) {
    touch(path("pause"));
    WaitFor what;
    what.seconds = 0.3;
    EXPECT_EQ(wait_for_first(what), WaitEnd::deadline);
}

TEST_F(Waiter, AReadableWakeDescriptorEndsTheWaitAndKeepsItsBytes) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const int writer = ends[1];
    soon([writer] { ASSERT_EQ(::write(writer, "\x0f", 1), 1); });
    WaitFor what = on_pause();
    what.wake_fd = ends[0];
    const double began = now();
    EXPECT_EQ(wait_for_first(what), WaitEnd::woken);
    EXPECT_LT(now() - began, kLongDeadline / 2);
    char byte = 0;
    EXPECT_EQ(::read(ends[0], &byte, 1), 1);
    EXPECT_EQ(byte, '\x0f');
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST_F(Waiter, TheWatchdogFallingDueEndsTheWait) {
    WaitFor what = on_pause();
    what.watchdog_seconds = 0.2;
    const double began = now();
    EXPECT_EQ(wait_for_first(what), WaitEnd::watchdog);
    const double waited = now() - began;
    EXPECT_GE(waited, 0.2);
    EXPECT_LT(waited, kLongDeadline / 2);
}

TEST_F(Waiter, TheDeadlineComesBeforeAWatchdogDueAfterIt) {
    WaitFor what = on_pause(0.2);
    what.watchdog_seconds = kLongDeadline;
    EXPECT_EQ(wait_for_first(what), WaitEnd::deadline);
}

TEST_F(Waiter, AMissingFolderIsLookedAtEveryFewSecondsUntilThePauseFileIsThere) {
    const std::string folder = path("later");
    soon([folder] {
        fs::create_directory(folder);
        touch(folder + "/pause");
    });
    WaitFor what;
    what.seconds = kLongDeadline;
    what.pause_path = folder + "/pause";
    what.pause_poll_seconds = 0.5;
    const double began = now();
    EXPECT_EQ(wait_for_first(what), WaitEnd::paused);
    EXPECT_LT(now() - began, kLongDeadline / 2);
}

TEST_F(Waiter, AFolderRemovedDuringTheWaitFallsBackToLooking) {
    const std::string folder = path("sub");
    fs::create_directory(folder);
    later_ = std::thread([folder] {
        std::this_thread::sleep_for(200ms);
        fs::remove(folder);
        std::this_thread::sleep_for(300ms);
        fs::create_directory(folder);
        touch(folder + "/pause");
    });
    WaitFor what;
    what.seconds = kLongDeadline;
    what.pause_path = folder + "/pause";
    what.pause_poll_seconds = 0.5;
    const double began = now();
    EXPECT_EQ(wait_for_first(what), WaitEnd::paused);
    EXPECT_LT(now() - began, kLongDeadline / 2);
}

}  // namespace
}  // namespace emberscope::native
