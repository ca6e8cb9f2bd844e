#include "driver/poll.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "testing_cpp/fake_services.hpp"

namespace emberscope::driver {
namespace {

using testing::FakeError;
using testing::FakeServices;

TEST(PollLoop, SurvivesACycleErrorAndStopsOnThePauseFile) {
    FakeServices services;
    int cycles = 0;
    run_poll_loop(services, 0.5, "pause", [&] {
        ++cycles;
        if (cycles == 1) throw FakeError("listing exploded");
        if (cycles == 2) throw std::runtime_error("");
        services.files["pause"] = "";  // the operator pauses during the third cycle
    });
    EXPECT_EQ(cycles, 3);
    EXPECT_EQ(services.console_lines,
              (std::vector<std::string>{"[burn] error: listing exploded\n", "[burn] error: \n",
                                        "[burn] monitoring paused\n"}));
    // One minute at least between cycles, in one-second steps, the first before any cycle.
    EXPECT_EQ(services.sleeps, std::vector<double>(180, 1.0));
}

TEST(PollLoop, APauseFileBeforeTheFirstCycleMeansNoCycle) {
    FakeServices services;
    services.files["pause"] = "";
    int cycles = 0;
    run_poll_loop(services, 5, "pause", [&] { ++cycles; });
    EXPECT_EQ(cycles, 0);
    EXPECT_TRUE(services.sleeps.empty());
    EXPECT_EQ(services.console_lines, std::vector<std::string>{"[burn] monitoring paused\n"});
}

TEST(PollLoop, APendingSignalEndsTheLoopAtTheNextStep) {
    FakeServices services;
    int cycles = 0, checks = 0;
    services.on_signal_check = [&] {
        if (++checks == 75) throw FakeError("KeyboardInterrupt", /*ordinary=*/false);
    };
    EXPECT_THROW(run_poll_loop(services, 1, "", [&] { ++cycles; }), FakeError);
    EXPECT_EQ(cycles, 1);  // the 75th step is in the second wait
    EXPECT_EQ(services.sleeps.size(), 75u);
    EXPECT_TRUE(services.console_lines.empty());
}

TEST(PollLoop, AnInterruptRaisedByACycleIsNotReported) {
    FakeServices services;
    EXPECT_THROW(run_poll_loop(services, 1, "", [] { throw FakeError("SystemExit", false); }),
                 FakeError);
    EXPECT_TRUE(services.console_lines.empty());
}

TEST(IntervalWait, StepsOfOneSecondAndAFractionalLastStep) {
    FakeServices services;
    EXPECT_TRUE(sleep_until_interval(services, 2.5, ""));
    EXPECT_EQ(services.sleeps, (std::vector<double>{1.0, 1.0, 0.5}));
    services.sleeps.clear();
    int looks = 0;
    services.on_signal_check = [&] {
        if (++looks == 2) services.files["p"] = "";
    };
    EXPECT_FALSE(sleep_until_interval(services, 10, "p"));
    EXPECT_EQ(services.sleeps.size(), 2u);
}

}  // namespace
}  // namespace emberscope::driver
