// Decompressing the records of a compressed record batch. The codec is the
// one the batch attributes name (bits 0-2); each library is optional at
// build time. Output never grows beyond the caller's limit, whatever the
// compressed data claims.
#ifndef BQX_CODEC_INFLATE_H
#define BQX_CODEC_INFLATE_H

#include <stdint.h>

constexpr int16_t kCodecGzip = 1;
constexpr int16_t kCodecSnappy = 2;
constexpr int16_t kCodecLz4 = 3;
constexpr int16_t kCodecZstd = 4;

// The most a batch's records may inflate to.
constexpr uint32_t kMaxInflatedBytes = 64u << 20;

// The most the batches of one Fetch reply may inflate to together: room for
// the one batch a broker may send beyond the Fetch's limit at its largest,
// and as much again for the batches within the limit (16 KiB on the wire).
// A batch beyond it is inflated as the first of a later reply instead.
constexpr uint32_t kMaxInflatedPerReply = 2 * kMaxInflatedBytes;

enum class InflateStatus {
    kOk,
    kUnsupported, // the library was built without this codec
    kUnknown,     // codec 5 to 7
    kTooLarge,    // the records would exceed the limit
    kCorrupt,     // the codec rejected the data
    kNoMemory,
};

// Inflates `in` into a buffer allocated with malloc (*out, freed by the
// caller; null unless kOk) of *outLen bytes. When inflating fails,
// *outLen is the room the attempt took.
InflateStatus inflate_records(int16_t codec, const uint8_t *in, uint32_t inLen, uint32_t limit,
                              uint8_t **out, uint32_t *outLen);

bool inflate_available(int16_t codec);

// What a status means, for the log line: "is corrupt", "inflates beyond
// the limit", ...
const char *inflate_status_text(InflateStatus status);

#endif
