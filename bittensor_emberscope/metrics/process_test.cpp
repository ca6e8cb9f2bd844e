#include "metrics/process.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace emberscope::metrics {
namespace {

namespace fs = std::filesystem;

std::map<std::string, double> values_of(const std::vector<prometheus::MetricFamily>& families) {
    std::map<std::string, double> out;
    for (const auto& f : families) {
        EXPECT_EQ(f.metric.size(), 1u) << f.name;
        const auto& m = f.metric.at(0);
        out[f.name] = f.type == prometheus::MetricType::Counter ? m.counter.value : m.gauge.value;
    }
    return out;
}

class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("emberscope-proc-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "self" / "fd");
    }
    void TearDown() override { fs::remove_all(root_); }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(root_ / "self" / name) << text;
    }
    fs::path root_;
};

// Under the unit's ProcSubset=pid only the process's own directory is there: the machine-wide
// stat file (where the boot time used to be read) is not, and the series were all left out.
TEST_F(FakeProc, TheSeriesNeedOnlyTheProcesssOwnDirectory) {
    ASSERT_FALSE(fs::exists(root_ / "stat"));
    // A command name with spaces and parentheses; then state, ..., utime 250, stime 50,
    // starttime 12345, vsize 104857600, rss 2560 pages.
    write("stat", "4321 (a (b) c) S 1 4321 4321 0 -1 4194560 100 0 0 0 250 50 0 0 20 0 3 0 "
                  "12345 104857600 2560 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0\n");
    write("limits", "Limit                     Soft Limit           Hard Limit           Units\n"
                    "Max cpu time              unlimited            unlimited            seconds\n"
                    "Max open files            1024                 524288               files\n");
    for (const char* fd : {"0", "1", "2", "7"}) std::ofstream(root_ / "self" / "fd" / fd) << "";

    const ProcessSeries series((root_ / "self").string(),
                               [] { return BootClocks{1772366400.0, 1000.0}; });
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    const auto got = values_of(series.Collect());
    const std::map<std::string, double> want = {
        {"process_virtual_memory_bytes", 104857600.0},
        {"process_resident_memory_bytes", 2560 * page},
        {"process_start_time_seconds", 1772366400.0 - 1000.0 + 12345 / ticks},
        {"process_cpu_seconds_total", 300 / ticks},
        {"process_open_fds", 4},
        {"process_max_fds", 1024},
    };
    EXPECT_EQ(got, want);
}

TEST_F(FakeProc, AMissingFileLeavesOnlyItsSeriesOut) {
    write("stat", "1 (x) S 1\n");  // cut short: not read
    const ProcessSeries series((root_ / "self").string(), [] { return BootClocks{}; });
    const auto got = values_of(series.Collect());
    EXPECT_EQ(got, (std::map<std::string, double>{{"process_open_fds", 0}}));
}

TEST(ProcessSeries, ThisProcessStartedBeforeNowAndHoldsMemory) {
    const ProcessSeries series;
    const auto got = values_of(series.Collect());
    ASSERT_EQ(got.size(), 6u);
    const BootClocks now = read_boot_clocks();
    EXPECT_LE(got.at("process_start_time_seconds"), now.wall + 1);
    EXPECT_GT(got.at("process_start_time_seconds"), now.wall - now.since_boot - 1);
    EXPECT_GT(got.at("process_resident_memory_bytes"), 0);
    EXPECT_GE(got.at("process_open_fds"), 3);
}

}  // namespace
}  // namespace emberscope::metrics
