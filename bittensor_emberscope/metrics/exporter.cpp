#include "metrics/exporter.hpp"

#include <chrono>
#include <sstream>

#include <prometheus/text_serializer.h>

#include "burns/unicode_tables.hpp"
#include "common/utf8.hpp"

namespace emberscope::metrics {

namespace {

constexpr std::string_view kHealthy = "ok\n";
constexpr std::string_view kNotFound = "not found: try /metrics or /healthz\n";

// `text` with each run of white space (the host's str.split() sense) one space, the ends trimmed.
void append_words(std::string& out, std::string_view text) {
    bool pending_space = false;
    bool any = false;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        if (burns::is_space(utf8::next(text, pos))) {
            pending_space = any;
            continue;
        }
        if (pending_space) out += ' ';
        pending_space = false;
        any = true;
        out.append(text.substr(start, pos - start));
    }
}

double system_wall_clock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

Response health_response(const HealthVerdict& verdict) {
    if (verdict.ok) return Response{200, std::string(kHealthy)};
    std::string line = "unhealthy: ";
    for (std::size_t i = 0; i < verdict.problems.size(); ++i) {
        if (i) line += "; ";
        append_words(line, verdict.problems[i]);
    }
    line += '\n';
    return Response{503, std::move(line)};
}

std::string exposition(const Sources& sources) {
    std::vector<prometheus::MetricFamily> families;
    for (const auto& source : sources)
        for (auto& family : source->Collect()) families.push_back(std::move(family));
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, families);
    return std::move(out).str();
}

Response answer(std::string_view path, const Sources& sources, const HealthCheck& health) {
    if (path == "/metrics")
        return Response{200, exposition(sources), std::string(kExpositionType)};
    if (path == "/healthz") return health_response(health());
    return Response{404, std::string(kNotFound)};
}

std::variant<std::unique_ptr<Exporter>, std::string> Exporter::start(
    const Address& address, const Resume& start, HealthCheck health, ExporterOptions options) {
    std::unique_ptr<Exporter> exporter(new Exporter());
    exporter->series_ = std::make_shared<MonitorSeries>(
        start, options.clock ? std::move(options.clock) : WallClock(system_wall_clock));
    Sources sources{exporter->series_};
    if (!options.process_dir.empty())
        sources.push_back(std::make_shared<ProcessSeries>(options.process_dir));
    auto served = HttpServer::start(
        address,
        [sources = std::move(sources), health = std::move(health)](std::string_view path) {
            return answer(path, sources, health);
        },
        options.limits);
    if (auto* reason = std::get_if<std::string>(&served)) return std::move(*reason);
    exporter->server_ = std::move(std::get<std::unique_ptr<HttpServer>>(served));
    return exporter;
}

std::string Exporter::url() const { return "http://" + format_address(address()) + "/metrics"; }

}  // namespace emberscope::metrics
