// Callgrind client requests for programs that cannot issue them themselves (the Python-facing
// instruction counts load this library with ctypes). Outside valgrind every call does nothing.
#include <valgrind/callgrind.h>

extern "C" {

/// Starts instrumenting and zeroes the counters: what follows is counted.
__attribute__((visibility("default"))) void marks_begin() {
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_ZERO_STATS;
}

/// Dumps the counters since marks_begin under `label` and stops instrumenting.
__attribute__((visibility("default"))) void marks_end(const char* label) {
    CALLGRIND_DUMP_STATS_AT(label);
    CALLGRIND_STOP_INSTRUMENTATION;
}
}
