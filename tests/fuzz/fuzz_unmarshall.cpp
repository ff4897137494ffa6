// Seeded random-input driver for the reply decoder: valid encodings of every
// reply code, mutated, truncated and extended, and plain random bytes, run
// through single codes, every pair of codes and chains of calls, with the
// decoder's promises checked after every call (unmarshall_body.h).
// Usage: bqx_fuzz_unmarshall [iterations] [seed]
#include <stdio.h>
#include <stdlib.h>

#include "fuzz/unmarshall_body.h"

using namespace bqxfuzz;

namespace {

void put_uvarint(Bytes &out, uint64_t value) {
    for (; value >= 0x80; value >>= 7)
        out.push_back(static_cast<uint8_t>(value | 0x80));
    out.push_back(static_cast<uint8_t>(value));
}

// Bytes of a text: ASCII, UTF-8 sequences and the odd invalid byte.
void put_text(Rng &rng, Bytes &out, uint32_t length) {
    static const uint8_t kAlphabet[] = {'a', 'Z', '0', ' ', 0xC3, 0xA4, 0xE2, 0x82, 0xAC, 0xFF, 0x00};
    for (uint32_t i = 0; i < length; ++i)
        out.push_back(kAlphabet[rng.below(sizeof kAlphabet)]);
}

uint64_t random_value(Rng &rng) { return rng.next() >> rng.below(64); }

void put_valid(Rng &rng, Bytes &out, int code, const Slot &slot) {
    static const uint32_t kWidth[] = {1, 2, 4, 8};
    uint32_t length = rng.below(24);
    switch (code) {
    case I1: case I2: case I4: case I8:
        for (uint32_t i = 0; i < kWidth[code]; ++i)
            out.push_back(static_cast<uint8_t>(rng.next()));
        break;
    case UV: case VI:
        put_uvarint(out, random_value(rng));
        break;
    case U3:
        put_uvarint(out, rng.below(6));
        break;
    case UM:
        put_text(rng, out, slot.count);
        break;
    case NS: case ST:
        if (rng.below(8) == 0)
            length = rng.below(2) ? 0xFFFF : 0;
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(length));
        put_text(rng, out, length == 0xFFFF ? 0 : length);
        break;
    case CS: case CB:
        put_uvarint(out, rng.below(8) == 0 ? 0 : length + 1);
        put_text(rng, out, length);
        break;
    default: // c1
        put_uvarint(out, rng.below(8) == 0 ? 1 : 2ull * length);
        put_text(rng, out, length);
    }
}

// Mutations of a valid reply: changed bytes, varint runs, a cut, an extension.
void mutate(Rng &rng, Bytes &reply) {
    for (uint32_t n = rng.below(4); n > 0 && !reply.empty(); --n) {
        size_t at = rng.below(static_cast<uint32_t>(reply.size()));
        reply[at] = rng.below(3) == 0 ? 0xFF : rng.below(2) ? 0x80 : static_cast<uint8_t>(rng.next());
    }
    if (rng.below(3) == 0 && !reply.empty())
        reply.resize(rng.below(static_cast<uint32_t>(reply.size())));
    if (rng.below(4) == 0)
        for (uint32_t n = rng.below(12); n > 0; --n)
            reply.push_back(rng.below(2) ? 0x80 : static_cast<uint8_t>(rng.next()));
}

// One iteration: a chain of one to four calls over one reply.
bool run_iteration(Rng &rng, PCB *pcb) {
    Call calls[4];
    Slot slots[4][2];
    uint32_t callCount = 1 + rng.below(4);
    Bytes reply;
    bool randomBytes = rng.below(5) == 0;
    for (uint32_t c = 0; c < callCount; ++c) {
        calls[c].width = 1 + static_cast<int>(rng.below(2));
        for (int i = 0; i < calls[c].width; ++i) {
            calls[c].codes[i] = static_cast<int>(rng.below(kCodeCount));
            uint32_t count = rng.below(sizeof slots[c][i].raw + 1);
            slots[c][i].fill(count, static_cast<int32_t>(rng.below(2)));
            if (!randomBytes)
                put_valid(rng, reply, calls[c].codes[i], slots[c][i]);
        }
    }
    if (randomBytes)
        for (uint32_t n = rng.below(48); n > 0; --n)
            reply.push_back(static_cast<uint8_t>(rng.next()));
    else
        mutate(rng, reply);
    int32_t position = rng.below(16) == 0 ? static_cast<int32_t>(rng.below(8)) : 0;
    return run_chain(pcb, reply, position, calls, slots, callCount);
}

} // namespace

int main(int argc, char **argv) {
    unsigned long iterations = argc > 1 ? strtoul(argv[1], nullptr, 10) : 10000;
    Rng rng{argc > 2 ? strtoull(argv[2], nullptr, 10) : 0x5EED};
    PCB sessions[2];
    open_sessions(sessions);
    unsigned long passed = 0, failed = 0;
    {
        QuietStdout quiet; // invalid texts make the converter log a line each
        for (unsigned long i = 0; i < iterations; ++i) {
            if (run_iteration(rng, &sessions[i & 1]))
                ++passed;
            else if (++failed <= 10)
                fprintf(stderr, "iteration %lu failed\n", i);
        }
    }
    iconv_done(&sessions[0]);
    iconv_done(&sessions[1]);
    printf("calls: %lu decoded, %lu overrun, %lu passed on after a failure\n",
           gOutcomes.decoded, gOutcomes.overrun, gOutcomes.passedOn);
    printf("%lu passed, %lu failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
