#include "native/chart_child.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace emberscope::native {
namespace {

std::vector<std::string> shell(const std::string& script) { return {"/bin/sh", "-c", script}; }

TEST(ChartChild, TheChildsInputOutputAndErrorTravelWhole) {
    // More input than a pipe holds, read back through the output.
    const std::string input(300000, 'p');
    const ChildRun run = run_child(shell("cat; echo oops >&2; exit 3"), {}, input, 30, -1, 1 << 20);
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.exit_status, 3);
    EXPECT_EQ(run.output, input);
    EXPECT_EQ(run.error, "oops\n");
}

TEST(ChartChild, AChildThatStopsReadingItsInputDoesNotEndTheProgram) {
    // Writing on would raise SIGPIPE: the program must see EPIPE and carry on.
    const ChildRun run = run_child(shell("exec 0<&-; printf done"), {}, std::string(1 << 20, 'x'), 30, -1, 1 << 20);
    EXPECT_EQ(run.output, "done");
    EXPECT_EQ(run.exit_status, 0);
}

TEST(ChartChild, ClosingKillsAChildUnderWay) {
    // The bot closing: its cancel descriptor turns readable while the child draws.
    int cancel[2];
    ASSERT_EQ(::pipe2(cancel, O_CLOEXEC), 0);
    ASSERT_EQ(::write(cancel[1], "x", 1), 1);
    const ChildRun run = run_child(shell("sleep 30"), {}, "", 30, cancel[0], 1 << 20);
    EXPECT_EQ(run.failure, "cancelled");
    ::close(cancel[0]);
    ::close(cancel[1]);
}

TEST(ChartChild, AnOversizedPictureIsRefused) {
    const ChildRun run = run_child(shell("head -c 5000 /dev/zero; sleep 30"), {}, "", 30, -1, 1000);
    EXPECT_EQ(run.failure, "its picture is over 1000 bytes");
}

TEST(ChartChild, WithoutAnInterpreterChartsAreUnavailable) {
    ChartChild child(std::nullopt, "");
    EXPECT_EQ(child.draw({}).kind, bot::Drawn::Kind::unavailable);
    EXPECT_EQ(find_interpreter(""), std::nullopt);
    EXPECT_EQ(find_interpreter("/nonexistent"), std::nullopt);
}

TEST(ChartChild, TheInterpreterIsTheOneBesideTheProgram) {
    char folder[] = "/tmp/emberscope-interp-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder;
    auto make = [&](const std::string& name, mode_t mode) {
        std::ofstream(dir + "/" + name) << "#!/bin/sh\n";
        ::chmod((dir + "/" + name).c_str(), mode);
    };
    make("python", 0755);
    EXPECT_EQ(find_interpreter(dir), dir + "/python");
    make("python3", 0644);  // not executable: not taken
    EXPECT_EQ(find_interpreter(dir), dir + "/python");
    make("python3", 0755);
    EXPECT_EQ(find_interpreter(dir + "/"), dir + "/python3");
    for (const char* name : {"python", "python3"}) ::unlink((dir + "/" + name).c_str());
    ::rmdir(folder);
    EXPECT_FALSE(program_dir().empty());
}

TEST(ChartChild, AChildThatFailsSaysWhy) {
    // A stand-in interpreter that answers as the chart module does for bad points.
    char folder[] = "/tmp/emberscope-interp-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string python = std::string(folder) + "/python3";
    std::ofstream(python) << "#!/bin/sh\ncat >/dev/null\necho 'chart: the points are not in time order' >&2\nexit 2\n";
    ::chmod(python.c_str(), 0755);
    ChartChild child(python, "");
    const bot::Drawn drawn = child.draw({"t", {{{2, 0.5}}, {{1, 0.6}}}, "c", "sn1.png"});
    EXPECT_EQ(drawn.kind, bot::Drawn::Kind::failed);
    EXPECT_EQ(drawn.error, "the chart could not be drawn: chart: the points are not in time order");
    ::unlink(python.c_str());
    ::rmdir(folder);
}

TEST(ChartChild, TheDocumentIsTheChartModulesInput) {
    EXPECT_EQ(chart_document({"SN3 owner burn, last 7 days", {{{1765152000, 0.5}}, {{1765238400, 0.75}}}, "", ""}),
              "{\"title\": \"SN3 owner burn, last 7 days\", \"points\": [[1765152000.0, 0.5], [1765238400.0, 0.75]]}");
}

}  // namespace
}  // namespace emberscope::native
