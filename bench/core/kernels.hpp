// The core operations under measurement, each applied to a whole listing at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "workload.hpp"

namespace emberscope::bench {

/// One measured operation: runs over every subnet of a workload and returns a value derived
/// from all its results, so that nothing can be optimised away.
struct Kernel {
    const char* name;
    const char* what;
    std::size_t (*run)(const Workload&);
};

/// The kernels, in report order.
const std::vector<Kernel>& kernels();

/// Splits `text` with the chunker at `max_len`; returns the number of chunks.
std::size_t chunk_count(const std::string& text, std::int64_t max_len);

/// The `max_len` values at which the chunker is measured on a very long text: every line its
/// own chunk, small chunks, the message size, and one chunk for the whole text.
inline constexpr std::int64_t kChunkLimits[] = {0, 100, 3900, std::int64_t{1} << 40};

}  // namespace emberscope::bench
