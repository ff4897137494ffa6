// What the codec files share: a bounded output buffer that grows as the
// decompressor asks for room, and one entry per codec.
#ifndef BQX_CODEC_INFLATE_INTERNAL_H
#define BQX_CODEC_INFLATE_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "codec/inflate.h"

struct InflateBuffer {
    uint8_t *data;
    size_t length;   // bytes written
    size_t capacity;
    size_t limit;
};

// A buffer with a first capacity guessed from the compressed size.
InflateStatus inflate_buffer_start(InflateBuffer *buffer, size_t compressedLen, size_t limit);

// Makes room for at least `more` further bytes, or as many as the limit
// still allows when `more` is 0 (for decompressors that fill what they
// get). kTooLarge when the limit is reached.
InflateStatus inflate_buffer_grow(InflateBuffer *buffer, size_t more);

// Hands the bytes over as the result (*out, *outLen); frees them on failure.
InflateStatus inflate_buffer_finish(InflateBuffer *buffer, InflateStatus status, uint8_t **out,
                                    uint32_t *outLen);

// One codec each; without its library a codec's function returns
// kUnsupported.
InflateStatus inflate_gzip(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer);
InflateStatus inflate_snappy(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer);
InflateStatus inflate_lz4(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer);
InflateStatus inflate_zstd(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer);

#endif
