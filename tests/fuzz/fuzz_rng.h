// The seeded random source of the fuzz drivers: splitmix64, so that a run
// is repeated exactly by its seed on any machine.
#ifndef BQX_TESTS_FUZZ_FUZZ_RNG_H
#define BQX_TESTS_FUZZ_FUZZ_RNG_H

#include <stdint.h>

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

#endif
