// Coverage-guided target (libFuzzer) for the reply unmarshaller. An input
// starts with a header that chooses the calls, the rest is the reply:
//   byte 0: bits 0-1 number of calls - 1, bit 2 the session (UTF-8 or
//           ISO-8859-15 as local code set), bit 3 start at the position in
//           bits 4-6 (else at 0)
//   then per call 3 bytes: bit 0 two codes (else one), bits 1-7 the first
//           code; the second code and the two "c1" conversion flags (bits
//           4, 5); the two "um" byte counts.
// The checks are those of the seeded driver (unmarshall_body.h).
#include <stdio.h>
#include <stdlib.h>

#include "fuzz/unmarshall_body.h"

using namespace bqxfuzz;

namespace {
PCB gSessions[2];
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static QuietStdout quiet; // invalid texts make the converter log a line each
    open_sessions(gSessions);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint32_t callCount = 1 + (data[0] & 3);
    size_t headerSize = 1 + 3 * size_t{callCount};
    if (size < headerSize || size - headerSize > INT32_MAX) return 0;
    PCB *pcb = &gSessions[(data[0] >> 2) & 1];
    int32_t position = (data[0] & 8) ? (data[0] >> 4) & 7 : 0;
    Call calls[4];
    Slot slots[4][2];
    for (uint32_t c = 0; c < callCount; ++c) {
        const uint8_t *choice = data + 1 + 3 * c;
        calls[c].width = 1 + (choice[0] & 1);
        calls[c].codes[0] = (choice[0] >> 1) % kCodeCount;
        calls[c].codes[1] = choice[1] % kCodeCount;
        slots[c][0].fill(choice[2], (choice[1] >> 4) & 1);
        slots[c][1].fill(choice[2] / (sizeof slots[c][1].raw + 1), (choice[1] >> 5) & 1);
    }
    Bytes reply(data + headerSize, data + size);
    if (!run_chain(pcb, reply, position, calls, slots, callCount)) {
        fprintf(stderr, "the unmarshaller broke a promise\n");
        abort();
    }
    return 0;
}
