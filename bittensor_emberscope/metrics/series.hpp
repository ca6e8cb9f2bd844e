// The monitor's own series in the exposition: the counters fed by each cycle's report, the
// gauges of the last cycle, and the stored values, read together under one lock so a scrape
// sees one moment.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include "burns/burn_map.hpp"
#include "engine/cycle.hpp"
#include "metrics/counters.hpp"

namespace emberscope::metrics {

/// What the files beside the state told at start: the status file's last cycle, its outbox and
/// counters, and the state file's values (nullopt when it could not be read, empty when there is
/// none). Times are seconds of the Unix epoch.
struct Resume {
    std::optional<double> last_cycle;
    std::optional<double> last_success;
    std::size_t outbox_size = 0;
    std::optional<double> outbox_oldest;
    std::size_t invalid_rows = 0;
    Counters counters;
    std::optional<burns::BurnMap> values;
};

/// The wall clock, in seconds of the Unix epoch.
using WallClock = std::function<double()>;

/// The emberscope_* series. observe() is called by the thread that runs the cycles, Collect() by
/// the server's.
class MonitorSeries : public prometheus::Collectable {
public:
    explicit MonitorSeries(const Resume& start, WallClock clock);

    /// Counts one cycle's report (of a watch cycle or of the start-up list) and takes the stored
    /// values as they now are; nullopt keeps the values last read (the state file could not be
    /// read: the cycle reports that).
    void observe(const engine::CycleReport& report, const std::optional<burns::BurnMap>& stored);

    /// The counters as they stand, to be kept with the status. For a restart never to show a
    /// counter going back, keep `counted(counters(), report)` before observe(report) shows it.
    Counters counters() const;

    /// The families in the exposition's order.
    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    void take_values(const burns::BurnMap& stored);

    WallClock clock_;
    mutable std::mutex mutex_;
    Counters counters_;
    std::optional<double> last_cycle_;
    std::optional<double> last_success_;
    std::size_t outbox_size_ = 0;
    std::optional<double> outbox_oldest_;
    std::size_t invalid_rows_ = 0;
    /// The stored values that are numbers, by netuid (shorter netuids first), and how many
    /// values are stored.
    std::vector<std::pair<std::string, double>> values_;
    std::size_t subnets_ = 0;
};

}  // namespace emberscope::metrics
