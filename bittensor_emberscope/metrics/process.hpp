// The process_* series: CPU time, memory, open files and start time, read from the process's
// own /proc directory only. Under systemd's ProcSubset=pid the machine-wide /proc/stat (where
// the boot time is usually read) is hidden; the boot time comes from the clocks instead.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

namespace emberscope::metrics {

/// Readings of two clocks taken together: the wall clock (seconds of the Unix epoch) and the
/// time since boot, suspend included (CLOCK_BOOTTIME), which /proc's start times count in.
struct BootClocks {
    double wall = 0;
    double since_boot = 0;
};

/// The system's two clocks, read back to back.
BootClocks read_boot_clocks();

class ProcessSeries : public prometheus::Collectable {
public:
    /// Reads `process_dir` ("/proc/self": its stat, limits and fd) at each collection.
    explicit ProcessSeries(std::string process_dir = "/proc/self",
                           std::function<BootClocks()> clocks = read_boot_clocks);

    /// process_virtual_memory_bytes, process_resident_memory_bytes, process_start_time_seconds,
    /// process_cpu_seconds_total, process_open_fds and process_max_fds; a file that cannot be
    /// read leaves its series out.
    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    std::string dir_;
    std::function<BootClocks()> clocks_;
    double ticks_;
    double page_size_;
};

}  // namespace emberscope::metrics
