// What the codec files share: a bounded output buffer that grows as the
// decompressor asks for room, and one entry per codec.
#ifndef BQX_CODEC_INFLATE_INTERNAL_H
#define BQX_CODEC_INFLATE_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "codec/inflate.h"

// The output grows behind `length` bytes of a malloc'd block that may move
// when it grows; the compressed input is either outside (`external`) or
// inside that same block at `inputAt`, so codecs fetch it afresh with
// inflate_input after every growth.
struct InflateBuffer {
    uint8_t *data;
    size_t length;   // bytes of the block in use, output included
    size_t capacity;
    size_t limit;    // the most `length` may reach
    const uint8_t *external;
    size_t inputAt;
};

inline const uint8_t *inflate_input(const InflateBuffer *buffer) {
    return buffer->external ? buffer->external : buffer->data + buffer->inputAt;
}

// Makes room for at least `more` further bytes (the room left below the
// limit when `more` would pass it but some is left and `partial` is set).
// kTooLarge when the limit is reached.
InflateStatus inflate_buffer_grow(InflateBuffer *buffer, size_t more, bool partial = false);

// One codec each; without its library a codec's function returns
// kUnsupported.
InflateStatus inflate_gzip(uint32_t inLen, InflateBuffer *buffer);
InflateStatus inflate_snappy(uint32_t inLen, InflateBuffer *buffer);
InflateStatus inflate_lz4(uint32_t inLen, InflateBuffer *buffer);
InflateStatus inflate_zstd(uint32_t inLen, InflateBuffer *buffer);

#endif
