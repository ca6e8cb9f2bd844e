// Instruction counts of the core kernels: run under callgrind, each kernel at each size once,
// between a zeroing and a named dump of the counters (parsed by bench/instr_report.py).
#include <valgrind/callgrind.h>

#include <cstdio>
#include <string>

#include "kernels.hpp"
#include "workload.hpp"

namespace eb = emberscope::bench;

int main() {
    std::size_t sink = 0;
    for (std::size_t size : {std::size_t{1024}, std::size_t{100'000}}) {
        const eb::Workload w = eb::make_workload(size);
        for (const eb::Kernel& kernel : eb::kernels()) {
            sink += kernel.run(w);  // warm the allocator and caches once
            CALLGRIND_ZERO_STATS;
            sink += kernel.run(w);
            const std::string label = std::string(kernel.name) + "/" + std::to_string(size);
            CALLGRIND_DUMP_STATS_AT(label.c_str());
        }
    }
    for (std::size_t lines : {std::size_t{10'000}, std::size_t{1'000'000}}) {
        const std::string text = eb::make_snapshot_text(lines);
        for (std::int64_t max_len : eb::kChunkLimits) {
            CALLGRIND_ZERO_STATS;
            sink += eb::chunk_count(text, max_len);
            const std::string label =
                "chunk_lines/max_len:" + std::to_string(max_len) + "/" + std::to_string(lines);
            CALLGRIND_DUMP_STATS_AT(label.c_str());
        }
    }
    std::printf("%zu\n", sink);
    return 0;
}
