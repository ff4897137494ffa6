// zstd (codec 4). Decompressed as a stream into the bounded buffer, so a
// frame that claims a huge content size allocates nothing for it; the
// window a frame may ask for is capped as well.
#include "codec/inflate_internal.h"

#ifdef BQX_HAVE_ZSTD
#include <zstd.h>

namespace {

constexpr int kWindowLogMax = 26; // 64 MiB, the inflate limit
constexpr size_t kStep = 64 * 1024;

InflateStatus run(ZSTD_DCtx *context, ZSTD_inBuffer *input, InflateBuffer *buffer) {
    size_t last = 1;
    while (input->pos < input->size || last != 0) {
        InflateStatus status = inflate_buffer_grow(buffer, kStep);
        if (status == InflateStatus::kTooLarge && buffer->length < buffer->capacity)
            status = InflateStatus::kOk;
        if (status != InflateStatus::kOk)
            return status;
        ZSTD_outBuffer output = {buffer->data, buffer->capacity, buffer->length};
        size_t inputBefore = input->pos;
        last = ZSTD_decompressStream(context, &output, input);
        if (ZSTD_isError(last))
            return InflateStatus::kCorrupt;
        bool moved = output.pos != buffer->length || input->pos != inputBefore;
        buffer->length = output.pos;
        // No progress although there was room: the input ends in the middle
        // of a frame.
        if (!moved)
            return InflateStatus::kCorrupt;
    }
    return InflateStatus::kOk;
}

} // namespace

InflateStatus inflate_zstd(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer) {
    ZSTD_DCtx *context = ZSTD_createDCtx();
    if (!context)
        return InflateStatus::kNoMemory;
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, kWindowLogMax);
    ZSTD_inBuffer input = {in, inLen, 0};
    InflateStatus status = inLen == 0 ? InflateStatus::kCorrupt : run(context, &input, buffer);
    ZSTD_freeDCtx(context);
    return status;
}

#else

InflateStatus inflate_zstd(const uint8_t *, uint32_t, InflateBuffer *) {
    return InflateStatus::kUnsupported;
}

#endif
