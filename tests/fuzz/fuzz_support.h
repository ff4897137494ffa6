// What every fuzz driver needs: the seeded random source (splitmix64, so
// that a run is repeated exactly by its seed on any machine) and a guard
// that sends standard output, where the library logs every broken input,
// to /dev/null while the driver runs.
#ifndef BQX_TESTS_FUZZ_FUZZ_SUPPORT_H
#define BQX_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <vector>

namespace bqxfuzz {

using Bytes = std::vector<uint8_t>;

struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool oneIn(uint32_t n) { return below(n) == 0; }
};

// A random source that depends only on the bytes of one input (FNV-1a), for
// the choices a coverage-guided target makes beside the input itself.
inline Rng rngOf(const uint8_t *data, size_t size) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 0x100000001B3ull;
    return Rng{hash};
}

// Standard output goes to /dev/null from construction to destruction.
struct QuietStdout {
    int terminal = -1;
    QuietStdout() {
        fflush(stdout);
        terminal = dup(STDOUT_FILENO);
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    ~QuietStdout() {
        fflush(stdout);
        dup2(terminal, STDOUT_FILENO);
        close(terminal);
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;
};

} // namespace bqxfuzz

#endif
