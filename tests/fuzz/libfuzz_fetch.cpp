// Coverage-guided target (libFuzzer) for the Fetch reply and record decoder.
// An input is a Fetch reply as received; the session, the start offset and
// the capacities of the caller's buffer are chosen from the input's hash,
// so that one input always runs the same way. Half of the inputs have the
// CRC-32C of their batches recomputed, so that mutated records and
// compressed bodies reach the record reader and the codecs. The checks are
// those of the seeded driver (fetch_body.h); a broken promise aborts.
// Seeds: tests/fuzz/seeds/fetch-*.bin, replies of a real broker taken from
// the level-15 hex dumps of a consumer, among them batches written with
// each codec by two different producer clients.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz/fetch_body.h"

using namespace bqxfuzz;

namespace {
FetchSession gSessions[2];
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static QuietStdout quiet; // damaged replies log a line each
    openFetchSessions(gSessions);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > UINT32_MAX) return 0;
    Rng rng = rngOf(data, size);
    FetchSession &s = gSessions[rng.below(2)];
    int64_t start = rng.oneIn(4) ? -1 : rng.below(4);
    Bytes reply(data, data + size);
    if (rng.oneIn(2))
        resealBatches(reply);
    if (!checkFetchReply(rng, s, reply, start, true, {})) {
        fprintf(stderr, "the Fetch reply decoder broke a promise\n");
        abort();
    }
    return 0;
}
