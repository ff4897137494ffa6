// Choosing the decompressor of a batch and the bounded output buffer they
// all write into.
#include <stdlib.h>

#include "codec/inflate.h"
#include "codec/inflate_internal.h"

namespace {

constexpr size_t kFirstRoom = 64 * 1024;
constexpr size_t kGuessFactor = 4; // records compress about this well

using InflateFn = InflateStatus (*)(uint32_t, InflateBuffer *);

InflateFn codecFunction(int16_t codec) {
    switch (codec) {
    case kCodecGzip: return inflate_gzip;
    case kCodecSnappy: return inflate_snappy;
    case kCodecLz4: return inflate_lz4;
    case kCodecZstd: return inflate_zstd;
    default: return nullptr;
    }
}

InflateStatus checkCodec(int16_t codec) {
    if (!codecFunction(codec))
        return InflateStatus::kUnknown;
    return inflate_available(codec) ? InflateStatus::kOk : InflateStatus::kUnsupported;
}

// First room for the output, guessed from the compressed size.
size_t firstRoom(size_t compressedLen) {
    size_t room = compressedLen * kGuessFactor;
    return room < kFirstRoom ? kFirstRoom : room;
}

} // namespace

InflateStatus inflate_buffer_grow(InflateBuffer *buffer, size_t more, bool partial) {
    size_t left = buffer->limit - buffer->length;
    if (left == 0 || (more > left && !partial))
        return InflateStatus::kTooLarge;
    size_t wanted = buffer->length + (more < left ? more : left);
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

InflateStatus inflate_records(int16_t codec, const uint8_t *in, uint32_t inLen, uint32_t limit,
                              uint8_t **out, uint32_t *outLen) {
    *out = nullptr;
    *outLen = 0;
    InflateStatus status = checkCodec(codec);
    if (status != InflateStatus::kOk)
        return status;
    InflateBuffer buffer = {nullptr, 0, 0, limit, in, 0};
    status = inflate_buffer_grow(&buffer, firstRoom(inLen), true);
    if (status == InflateStatus::kOk)
        status = codecFunction(codec)(inLen, &buffer);
    if (status != InflateStatus::kOk) {
        free(buffer.data);
        *outLen = static_cast<uint32_t>(buffer.capacity); // the room the attempt took
        return status;
    }
    *out = buffer.data;
    *outLen = static_cast<uint32_t>(buffer.length);
    return status;
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
