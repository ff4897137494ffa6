// Coverage-guided target (libFuzzer) for every reply handler the dispatcher
// calls. An input is three bytes that say which request the reply answers
// (API key, API version, flags: bit 0 a Metadata refresh) and the reply as
// received. The session and its checks are those of the seeded driver
// (reply_body.h); a broken invariant aborts, so libFuzzer keeps the input.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz/reply_body.h"

using namespace bqxfuzz;

namespace {
ReplySession gSession;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static QuietStdout quiet; // every broken reply logs its error
    if (!openReplySession(gSession)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > UINT32_MAX) return 0;
    ReplyKind kind = {"", static_cast<int16_t>(data[0]), static_cast<int16_t>(data[1])};
    resetSession(gSession);
    feedReply(gSession, kind, data[2], data + 3, static_cast<uint32_t>(size - 3));
    if (!sessionSound(gSession, kind.apiKey)) {
        fprintf(stderr, "reply of API key %d version %d left the session unsound\n", data[0], data[1]);
        abort();
    }
    return 0;
}
