#include "metrics/exporter.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "testing_cpp/loopback_client.hpp"

namespace emberscope::metrics {
namespace {

struct Verdict {
    std::vector<std::string> problems;
    std::string line;
};

TEST(HealthResponse, SaysOkOrEveryProblemOnOneLine) {
    EXPECT_EQ(health_response({true, {}}), (Response{200, "ok\n"}));
    const Verdict cases[] = {
        {{"no cycle recorded yet"}, "unhealthy: no cycle recorded yet\n"},
        {{"failing: the last 3 cycles failed (fetch_failed: taostats: HTTP 502\nBad Gateway)"},
         "unhealthy: failing: the last 3 cycles failed (fetch_failed: taostats: HTTP 502 Bad "
         "Gateway)\n"},
        {{"stale: last cycle 70 min ago, more than 3 intervals (15 min)", "  two \t\r\n words  "},
         "unhealthy: stale: last cycle 70 min ago, more than 3 intervals (15 min); two words\n"},
        // The host's white space: U+00A0 and U+2028 part words too; U+200B does not.
        {{"a\u00a0b\u2028c\u200bd"}, "unhealthy: a b c\u200bd\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(health_response({false, c.problems}), (Response{503, c.line})) << c.line;
}

class Serving : public ::testing::Test {
protected:
    void SetUp() override {
        Resume start;
        start.values = burns::BurnMap{{"7", "0.625"}};
        ExporterOptions options;
        options.clock = [] { return 1772366400.0; };
        auto started = Exporter::start(
            {"127.0.0.1", 0}, start,
            [this] { return healthy_ ? HealthVerdict{} : HealthVerdict{false, {"stale: x"}}; },
            options);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<Exporter>>(started));
        exporter_ = std::move(std::get<std::unique_ptr<Exporter>>(started));
    }
    std::string get(const std::string& request) {
        return testing::exchange(exporter_->address().host, exporter_->address().port, request);
    }
    std::atomic<bool> healthy_{true};
    std::unique_ptr<Exporter> exporter_;
};

const char kPlainHead[] = "Content-Type: text/plain; charset=utf-8\r\nContent-Length: ";
const char kTail[] = "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";

TEST_F(Serving, HealthzFollowsTheVerdict) {
    EXPECT_EQ(get("GET /healthz HTTP/1.1\r\n\r\n"),
              std::string("HTTP/1.1 200 OK\r\n") + kPlainHead + "3" + kTail + "ok\n");
    healthy_ = false;
    EXPECT_EQ(get("GET /healthz HTTP/1.1\r\n\r\n"),
              std::string("HTTP/1.1 503 Service Unavailable\r\n") + kPlainHead + "20" + kTail +
                  "unhealthy: stale: x\n");
    EXPECT_EQ(get("HEAD /healthz HTTP/1.1\r\n\r\n"),
              std::string("HTTP/1.1 503 Service Unavailable\r\n") + kPlainHead + "20" + kTail);
    EXPECT_EQ(get("GET /metrics.txt HTTP/1.1\r\n\r\n"),
              std::string("HTTP/1.1 404 Not Found\r\n") + kPlainHead + "36" + kTail +
                  "not found: try /metrics or /healthz\n");
}

TEST_F(Serving, MetricsCarryTheMonitorsAndTheProcesssSeries) {
    engine::CycleReport report;
    report.outcome = "ok";
    report.updated_at_utc = "2026-03-01T12:00:00Z";
    report.delivered = 2;
    exporter_->series().observe(report, burns::BurnMap{{"7", "0.625"}, {"8", "1"}});

    const std::string reply = get("GET /metrics HTTP/1.1\r\n\r\n");
    const std::size_t body_at = reply.find("\r\n\r\n") + 4;
    const std::string head = reply.substr(0, body_at);
    const std::string body = reply.substr(body_at);
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                    "Content-Length: " + std::to_string(body.size()) + kTail);
    for (const char* line : {"emberscope_cycles_total{outcome=\"ok\"} 1\n",
                             "emberscope_telegram_messages_total{result=\"sent\"} 2\n",
                             "emberscope_owner_burn{netuid=\"8\"} 1\n", "emberscope_subnets 2\n",
                             "# TYPE process_cpu_seconds_total counter\n",
                             "# TYPE process_resident_memory_bytes gauge\n"})
        EXPECT_NE(body.find(line), std::string::npos) << line;
    EXPECT_EQ(body.find("python_"), std::string::npos);
    // HEAD: the same head and no body; its length is that of an exposition made anew, whose
    // process series (CPU time, memory) may have moved since.
    const std::string head_only = get("HEAD /metrics HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(head_only.starts_with(head.substr(0, head.find("Content-Length: ") + 16))) << head_only;
    EXPECT_TRUE(head_only.ends_with(kTail)) << head_only;
    EXPECT_EQ(head_only.find(kTail) + std::string_view(kTail).size(), head_only.size());
    EXPECT_EQ(exporter_->url(), "http://127.0.0.1:" + std::to_string(exporter_->address().port) + "/metrics");

    // Prometheus' own linter accepts the exposition, where it is installed.
    const std::filesystem::path promtool = "/usr/bin/promtool";
    if (!std::filesystem::exists(promtool)) GTEST_SKIP() << "promtool is not installed";
    const auto dir = std::filesystem::temp_directory_path();
    const auto input = dir / ("emberscope-exposition-" + std::to_string(::getpid()));
    const auto output = dir / ("emberscope-promtool-" + std::to_string(::getpid()));
    std::ofstream(input, std::ios::binary) << body;
    const std::string command = promtool.string() + " check metrics < " + input.string() + " > " +
                                output.string() + " 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream said(output);
    const std::string lint{std::istreambuf_iterator<char>(said), {}};
    std::filesystem::remove(input);
    std::filesystem::remove(output);
    EXPECT_EQ(status, 0) << lint;
    EXPECT_EQ(lint, "");
}

}  // namespace
}  // namespace emberscope::metrics
