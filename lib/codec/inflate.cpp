// Choosing the decompressor of a batch and the bounded output buffer they
// all write into.
#include <stdlib.h>

#include "codec/inflate.h"
#include "codec/inflate_internal.h"

namespace {

constexpr size_t kFirstCapacity = 64 * 1024;
constexpr size_t kGuessFactor = 4; // records compress about this well

using InflateFn = InflateStatus (*)(const uint8_t *, uint32_t, InflateBuffer *);

InflateFn codecFunction(int16_t codec) {
    switch (codec) {
    case kCodecGzip: return inflate_gzip;
    case kCodecSnappy: return inflate_snappy;
    case kCodecLz4: return inflate_lz4;
    case kCodecZstd: return inflate_zstd;
    default: return nullptr;
    }
}

} // namespace

InflateStatus inflate_buffer_start(InflateBuffer *buffer, size_t compressedLen, size_t limit) {
    size_t capacity = compressedLen * kGuessFactor;
    if (capacity < kFirstCapacity)
        capacity = kFirstCapacity;
    if (capacity > limit)
        capacity = limit;
    *buffer = {static_cast<uint8_t *>(malloc(capacity ? capacity : 1)), 0, capacity, limit};
    return buffer->data ? InflateStatus::kOk : InflateStatus::kNoMemory;
}

InflateStatus inflate_buffer_grow(InflateBuffer *buffer, size_t more) {
    size_t wanted = buffer->length + (more ? more : 1);
    if (wanted > buffer->limit)
        return InflateStatus::kTooLarge;
    if (wanted <= buffer->capacity)
        return InflateStatus::kOk;
    size_t capacity = buffer->capacity * 2;
    if (capacity < wanted)
        capacity = wanted;
    if (capacity > buffer->limit)
        capacity = buffer->limit;
    uint8_t *grown = static_cast<uint8_t *>(realloc(buffer->data, capacity));
    if (!grown)
        return InflateStatus::kNoMemory;
    buffer->data = grown;
    buffer->capacity = capacity;
    return InflateStatus::kOk;
}

InflateStatus inflate_buffer_finish(InflateBuffer *buffer, InflateStatus status, uint8_t **out,
                                    uint32_t *outLen) {
    if (status != InflateStatus::kOk) {
        free(buffer->data);
        *buffer = {};
        return status;
    }
    *out = buffer->data;
    *outLen = static_cast<uint32_t>(buffer->length);
    return status;
}

InflateStatus inflate_records(int16_t codec, const uint8_t *in, uint32_t inLen, uint32_t limit,
                              uint8_t **out, uint32_t *outLen) {
    *out = nullptr;
    *outLen = 0;
    InflateFn inflate = codecFunction(codec);
    if (!inflate)
        return InflateStatus::kUnknown;
    if (!inflate_available(codec))
        return InflateStatus::kUnsupported;
    InflateBuffer buffer;
    InflateStatus status = inflate_buffer_start(&buffer, inLen, limit);
    if (status == InflateStatus::kOk)
        status = inflate(in, inLen, &buffer);
    return inflate_buffer_finish(&buffer, status, out, outLen);
}

bool inflate_available(int16_t codec) {
    switch (codec) {
#ifdef BQX_HAVE_ZLIB
    case kCodecGzip: return true;
#endif
#ifdef BQX_HAVE_SNAPPY
    case kCodecSnappy: return true;
#endif
#ifdef BQX_HAVE_LZ4
    case kCodecLz4: return true;
#endif
#ifdef BQX_HAVE_ZSTD
    case kCodecZstd: return true;
#endif
    default: return false;
    }
}

const char *inflate_status_text(InflateStatus status) {
    switch (status) {
    case InflateStatus::kOk: return "is fine";
    case InflateStatus::kUnsupported: return "cannot be read: the library was built without it";
    case InflateStatus::kUnknown: return "names an unknown codec";
    case InflateStatus::kTooLarge: return "inflates beyond 64 MiB";
    case InflateStatus::kCorrupt: return "is corrupt";
    case InflateStatus::kNoMemory: return "cannot be inflated: no memory";
    }
    return "is corrupt";
}
