#include "metrics/process.hpp"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <utility>

namespace emberscope::metrics {

namespace {

using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily one(std::string name, std::string help, MetricType type, double value) {
    MetricFamily out{std::move(name), std::move(help), type, {}};
    out.metric.emplace_back();
    (type == MetricType::Counter ? out.metric.back().counter.value
                                 : out.metric.back().gauge.value) = value;
    return out;
}

std::optional<std::string> file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return text;
}

// The fields of /proc/PID/stat after the command's name (which may hold spaces and
// parentheses): the state first.
std::vector<std::string_view> stat_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos) return fields;
    std::size_t pos = close + 1;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n')) ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] != ' ' && text[pos] != '\n') ++pos;
        if (pos > start) fields.push_back(text.substr(start, pos - start));
    }
    return fields;
}

std::optional<double> number(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

double seconds_of(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

BootClocks read_boot_clocks() {
    return BootClocks{seconds_of(CLOCK_REALTIME), seconds_of(CLOCK_BOOTTIME)};
}

ProcessSeries::ProcessSeries(std::string process_dir, std::function<BootClocks()> clocks)
    : dir_(std::move(process_dir)), clocks_(std::move(clocks)) {
    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    ticks_ = ticks > 0 ? static_cast<double>(ticks) : 100.0;
    page_size_ = page > 0 ? static_cast<double>(page) : 4096.0;
}

std::vector<MetricFamily> ProcessSeries::Collect() const {
    std::vector<MetricFamily> out;
    if (const auto stat = file_text(dir_ + "/stat")) {
        const std::vector<std::string_view> f = stat_fields(*stat);
        // Counted from the state (field 3 of proc(5)): utime 14, stime 15, starttime 22,
        // vsize 23, rss 24.
        std::optional<double> utime, stime, start, vsize, rss;
        if (f.size() > 21) {
            utime = number(f[11]), stime = number(f[12]), start = number(f[19]);
            vsize = number(f[20]), rss = number(f[21]);
        }
        if (utime && stime && start && vsize && rss) {
            const BootClocks clocks = clocks_();
            const double boot = clocks.wall - clocks.since_boot;
            out.push_back(one("process_virtual_memory_bytes", "Virtual memory size in bytes.",
                              MetricType::Gauge, *vsize));
            out.push_back(one("process_resident_memory_bytes", "Resident memory size in bytes.",
                              MetricType::Gauge, *rss * page_size_));
            out.push_back(one("process_start_time_seconds",
                              "Start time of the process since unix epoch in seconds.",
                              MetricType::Gauge, boot + *start / ticks_));
            out.push_back(one("process_cpu_seconds_total",
                              "Total user and system CPU time spent in seconds.",
                              MetricType::Counter, (*utime + *stime) / ticks_));
        }
    }
    if (DIR* fds = opendir((dir_ + "/fd").c_str())) {
        double open = 0;
        while (const dirent* entry = readdir(fds))
            if (entry->d_name[0] != '.') ++open;
        closedir(fds);
        out.push_back(one("process_open_fds", "Number of open file descriptors.",
                          MetricType::Gauge, open));
    }
    if (const auto limits = file_text(dir_ + "/limits")) {
        std::istringstream lines(*limits);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.starts_with("Max open files")) continue;
            std::istringstream words(line.substr(14));
            std::string soft;
            words >> soft;
            if (const auto value = number(soft))
                out.push_back(one("process_max_fds", "Maximum number of open file descriptors.",
                                  MetricType::Gauge, *value));
            break;
        }
    }
    return out;
}

}  // namespace emberscope::metrics
