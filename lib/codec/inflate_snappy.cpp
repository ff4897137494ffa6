// snappy (codec 2), in both forms Kafka producers write: a plain snappy
// block, or the framed form of Java producers, a 16-byte header (the magic
// 0x82 "SNAPPY" 0 and two versions) followed by blocks of a big-endian
// 32-bit length and that many bytes of plain snappy.
#include <string.h>

#include "codec/inflate_internal.h"

#ifdef BQX_HAVE_SNAPPY
#include <snappy-c.h>

namespace {

constexpr uint8_t kFramedMagic[8] = {0x82, 'S', 'N', 'A', 'P', 'P', 'Y', 0};
constexpr uint32_t kFramedHeaderBytes = 16;

// Appends one plain snappy block, its size checked against the limit first.
InflateStatus appendBlock(const uint8_t *in, size_t inLen, InflateBuffer *buffer) {
    const char *block = reinterpret_cast<const char *>(in);
    size_t length = 0;
    if (snappy_uncompressed_length(block, inLen, &length) != SNAPPY_OK)
        return InflateStatus::kCorrupt;
    InflateStatus status = inflate_buffer_grow(buffer, length);
    if (status != InflateStatus::kOk)
        return status;
    if (length == 0)
        return InflateStatus::kOk;
    size_t produced = length;
    if (snappy_uncompress(block, inLen, reinterpret_cast<char *>(buffer->data + buffer->length),
                          &produced) != SNAPPY_OK ||
        produced != length)
        return InflateStatus::kCorrupt;
    buffer->length += produced;
    return InflateStatus::kOk;
}

uint32_t readBe32(const uint8_t *bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

InflateStatus inflateFramed(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer) {
    uint32_t position = kFramedHeaderBytes;
    while (position < inLen) {
        if (inLen - position < 4)
            return InflateStatus::kCorrupt;
        uint32_t blockLen = readBe32(in + position);
        position += 4;
        if (blockLen > inLen - position)
            return InflateStatus::kCorrupt;
        InflateStatus status = appendBlock(in + position, blockLen, buffer);
        if (status != InflateStatus::kOk)
            return status;
        position += blockLen;
    }
    return InflateStatus::kOk;
}

} // namespace

InflateStatus inflate_snappy(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer) {
    if (inLen >= kFramedHeaderBytes && memcmp(in, kFramedMagic, sizeof kFramedMagic) == 0)
        return inflateFramed(in, inLen, buffer);
    return appendBlock(in, inLen, buffer);
}

#else

InflateStatus inflate_snappy(const uint8_t *, uint32_t, InflateBuffer *) {
    return InflateStatus::kUnsupported;
}

#endif
