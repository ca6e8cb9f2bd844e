// Google Benchmark timings of the pure core at listing sizes 1,024, 10,000 and 100,000, and of
// the chunker at 10^6 lines for several limits; each with a fitted complexity.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <map>
#include <memory>

#include "burns/state_text.hpp"
#include "engine/json.hpp"
#include "taostats/listing_scan.hpp"
#include "kernels.hpp"
#include "workload.hpp"

namespace eb = emberscope::bench;

namespace {

const eb::Workload& workload(std::size_t size) {
    static std::map<std::size_t, std::unique_ptr<eb::Workload>> cache;
    auto& slot = cache[size];
    if (!slot) slot = std::make_unique<eb::Workload>(eb::make_workload(size));
    return *slot;
}

const std::string& long_text(std::size_t lines) {
    static std::map<std::size_t, std::string> cache;
    auto it = cache.find(lines);
    if (it == cache.end()) it = cache.emplace(lines, eb::make_snapshot_text(lines)).first;
    return it->second;
}

// Minor page faults so far: fresh memory that the kernel maps in on first touch. Large results
// are allocated afresh on every call and handed back to the system after it, so their faults
// recur per call and show in the time of the largest inputs.
long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

void count_faults(benchmark::State& state, long before) {
    state.counters["faults"] = benchmark::Counter(static_cast<double>(minor_faults() - before),
                                                  benchmark::Counter::kAvgIterations);
}

void run_kernel(benchmark::State& state, const eb::Kernel& kernel) {
    const eb::Workload& w = workload(static_cast<std::size_t>(state.range(0)));
    const long faults = minor_faults();
    for (auto _ : state) benchmark::DoNotOptimize(kernel.run(w));
    count_faults(state, faults);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetComplexityN(state.range(0));
}

void run_chunker(benchmark::State& state, std::int64_t max_len) {
    const std::string& text = long_text(static_cast<std::size_t>(state.range(0)));
    std::size_t chunks = 0;
    const long faults = minor_faults();
    for (auto _ : state) benchmark::DoNotOptimize(chunks = eb::chunk_count(text, max_len));
    count_faults(state, faults);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.SetComplexityN(state.range(0));
    state.counters["chunks"] = static_cast<double>(chunks);
}

const std::string& listing_json(std::size_t rows) {
    static std::map<std::size_t, std::string> cache;
    auto it = cache.find(rows);
    if (it == cache.end()) it = cache.emplace(rows, eb::make_listing_json(rows)).first;
    return it->second;
}

// The engine's JSON reader on the listing's body: the tree built and dropped on every call, as a
// cycle does.
void run_parse_json(benchmark::State& state) {
    const std::string& body = listing_json(static_cast<std::size_t>(state.range(0)));
    const long faults = minor_faults();
    for (auto _ : state) {
        auto parsed = emberscope::engine::parse_json(body);
        if (parsed.index() != 0) state.SkipWithError("the listing does not parse");
        benchmark::DoNotOptimize(parsed);
    }
    count_faults(state, faults);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
    state.SetComplexityN(state.range(0));
}

// The UTF-8 check every body passes before it is parsed.
void run_is_utf8(benchmark::State& state) {
    const std::string& body = listing_json(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        bool valid = emberscope::engine::is_utf8(body);
        if (!valid) state.SkipWithError("the listing is not UTF-8");
        benchmark::DoNotOptimize(valid);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
    state.SetComplexityN(state.range(0));
}

// The documented module's one-pass scan of the same body.
void run_listing_scan(benchmark::State& state) {
    const std::string& body = listing_json(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto scanned = emberscope::taostats::scan_listing(body);
        if (!scanned) state.SkipWithError("the scan declines the listing");
        benchmark::DoNotOptimize(scanned);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
    state.SetComplexityN(state.range(0));
}

// The documented module's one-pass read of the state file it writes, into views.
void run_state_read(benchmark::State& state) {
    const eb::Workload& w = workload(static_cast<std::size_t>(state.range(0)));
    const std::string text = emberscope::burns::render_state_file(w.map, eb::kUpdatedAt);
    emberscope::burns::StateEntryViews views;
    for (auto _ : state) {
        const bool read = emberscope::burns::read_state_file(text, views);
        if (!read) state.SkipWithError("the reader declines the state file");
        benchmark::DoNotOptimize(views.entries.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.SetComplexityN(state.range(0));
}

int register_all() {
    for (const eb::Kernel& kernel : eb::kernels()) {
        benchmark::RegisterBenchmark(kernel.name, run_kernel, kernel)
            ->Arg(1024)->Arg(10'000)->Arg(100'000)
            ->Complexity(benchmark::oN)
            ->Unit(benchmark::kMicrosecond);
    }
    using Run = void (*)(benchmark::State&);
    const std::pair<const char*, Run> json_runs[] = {{"engine_parse_json", run_parse_json},
                                                     {"engine_is_utf8", run_is_utf8},
                                                     {"listing_scan", run_listing_scan},
                                                     {"state_read", run_state_read}};
    for (const auto& [name, run] : json_runs) {
        benchmark::RegisterBenchmark(name, run)
            ->Arg(1024)->Arg(10'000)->Arg(100'000)
            ->Complexity(benchmark::oN)
            ->Unit(benchmark::kMicrosecond);
    }
    for (std::int64_t max_len : eb::kChunkLimits) {
        const std::string name = "chunk_lines/max_len:" + std::to_string(max_len);
        benchmark::RegisterBenchmark(name.c_str(), run_chunker, max_len)
            ->Arg(10'000)->Arg(100'000)->Arg(1'000'000)
            ->Complexity(benchmark::oN)
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}

const int registered = register_all();

}  // namespace

BENCHMARK_MAIN();
