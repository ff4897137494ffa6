// lz4 (codec 3): the LZ4 frame format, decompressed frame after frame into
// the bounded buffer.
#include "codec/inflate_internal.h"

#ifdef BQX_HAVE_LZ4
#include <lz4frame.h>

namespace {

constexpr size_t kStep = 64 * 1024;

InflateStatus run(LZ4F_dctx *context, const uint8_t *in, size_t inLen, InflateBuffer *buffer) {
    size_t used = 0;
    size_t hint = 1;
    while (used < inLen || hint != 0) {
        InflateStatus status = inflate_buffer_grow(buffer, kStep);
        if (status == InflateStatus::kTooLarge && buffer->length < buffer->capacity)
            status = InflateStatus::kOk;
        if (status != InflateStatus::kOk)
            return status;
        size_t room = buffer->capacity - buffer->length;
        size_t taken = inLen - used;
        hint = LZ4F_decompress(context, buffer->data + buffer->length, &room, in + used, &taken,
                               nullptr);
        if (LZ4F_isError(hint))
            return InflateStatus::kCorrupt;
        buffer->length += room;
        used += taken;
        // No progress although there was room: the input ends mid-frame.
        if (room == 0 && taken == 0)
            return InflateStatus::kCorrupt;
    }
    return InflateStatus::kOk;
}

} // namespace

InflateStatus inflate_lz4(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer) {
    LZ4F_dctx *context = nullptr;
    if (LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION)))
        return InflateStatus::kNoMemory;
    InflateStatus status = inLen == 0 ? InflateStatus::kCorrupt : run(context, in, inLen, buffer);
    LZ4F_freeDecompressionContext(context);
    return status;
}

#else

InflateStatus inflate_lz4(const uint8_t *, uint32_t, InflateBuffer *) {
    return InflateStatus::kUnsupported;
}

#endif
