// The floor at rest: one cycle of floor_cycle.cpp (the first writes the state file, a second
// compares with it), then nothing until a byte or the end of standard input. What its
// resident memory is then is what a plain C++ program doing our cycle keeps between cycles.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" long floor_cycle(const char* url, const char* key, const char* state_path,
                            double threshold);

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: floor_idle URL KEY STATE\n");
        return 2;
    }
    for (int i = 0; i < 2; ++i)
        if (floor_cycle(argv[1], argv[2], argv[3], 0.01) < 0) {
            std::fprintf(stderr, "floor_idle: the listing could not be read\n");
            return 1;
        }
    std::puts("idle");
    std::fflush(stdout);
    char byte;
    [[maybe_unused]] ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    return 0;
}
