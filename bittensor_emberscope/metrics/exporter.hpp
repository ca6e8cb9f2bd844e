// The exporter of `watch --metrics-listen`: the monitor's series and the process's, served at
// /metrics in Prometheus' text format, and /healthz from the health verdict.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <prometheus/collectable.h>

#include "metrics/http_server.hpp"
#include "metrics/listen.hpp"
#include "metrics/process.hpp"
#include "metrics/series.hpp"

namespace emberscope::metrics {

/// The content type of /metrics: the text format Prometheus reads, version 0.0.4.
inline constexpr std::string_view kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

/// What `emberscope status` would say of the monitor's health: ok, or the problems (each one
/// line of words, such as "stale: last cycle 70 min ago, more than 3 intervals (15 min)").
struct HealthVerdict {
    bool ok = true;
    std::vector<std::string> problems;
};

/// Judges the health at the moment of a request (called on the server's thread).
using HealthCheck = std::function<HealthVerdict()>;

/// 200 "ok\n" for a healthy verdict, else 503 "unhealthy: " and the problems joined by "; ",
/// each problem's runs of white space made one space.
Response health_response(const HealthVerdict& verdict);

/// What /metrics shows, in order.
using Sources = std::vector<std::shared_ptr<const prometheus::Collectable>>;

/// The exposition of every series of `sources`, in Prometheus' text format.
std::string exposition(const Sources& sources);

/// The answer for `path`: /metrics, /healthz, else 404 naming both.
Response answer(std::string_view path, const Sources& sources, const HealthCheck& health);

/// Where the exporter's parts come from; tests replace the clocks and the process directory.
struct ExporterOptions {
    ServerLimits limits;
    WallClock clock;                       ///< empty: the system's wall clock
    std::string process_dir = "/proc/self";  ///< "" leaves the process_* series out
};

class Exporter {
public:
    /// Listens at `address` and serves; the system's reason when the address cannot be listened
    /// on. `start` is what the files beside the state told.
    static std::variant<std::unique_ptr<Exporter>, std::string> start(
        const Address& address, const Resume& start, HealthCheck health,
        ExporterOptions options = {});

    /// The monitor's series, which each cycle feeds (MonitorSeries::observe).
    MonitorSeries& series() { return *series_; }
    const Address& address() const { return server_->address(); }
    /// "http://HOST:PORT/metrics", as the start-up line shows it.
    std::string url() const;

private:
    Exporter() = default;

    std::shared_ptr<MonitorSeries> series_;
    std::unique_ptr<HttpServer> server_;  // last: stopped before the series it serves go
};

}  // namespace emberscope::metrics
