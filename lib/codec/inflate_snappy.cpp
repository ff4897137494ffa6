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

// Appends the plain snappy block of `inLen` bytes at `at` of the input,
// its size checked against the limit before room is made for it.
InflateStatus appendBlock(InflateBuffer *buffer, size_t at, size_t inLen) {
    size_t length = 0;
    if (snappy_uncompressed_length(reinterpret_cast<const char *>(inflate_input(buffer) + at),
                                   inLen, &length) != SNAPPY_OK)
        return InflateStatus::kCorrupt;
    if (length == 0)
        return InflateStatus::kOk;
    InflateStatus status = inflate_buffer_grow(buffer, length);
    if (status != InflateStatus::kOk)
        return status;
    // Fetched after the growth: the block that holds the input may have moved.
    const char *block = reinterpret_cast<const char *>(inflate_input(buffer) + at);
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

InflateStatus inflateFramed(uint32_t inLen, InflateBuffer *buffer) {
    uint32_t position = kFramedHeaderBytes;
    while (position < inLen) {
        if (inLen - position < 4)
            return InflateStatus::kCorrupt;
        uint32_t blockLen = readBe32(inflate_input(buffer) + position);
        position += 4;
        if (blockLen > inLen - position)
            return InflateStatus::kCorrupt;
        InflateStatus status = appendBlock(buffer, position, blockLen);
        if (status != InflateStatus::kOk)
            return status;
        position += blockLen;
    }
    return InflateStatus::kOk;
}

} // namespace

InflateStatus inflate_snappy(uint32_t inLen, InflateBuffer *buffer) {
    const uint8_t *in = inflate_input(buffer);
    if (inLen >= kFramedHeaderBytes && memcmp(in, kFramedMagic, sizeof kFramedMagic) == 0)
        return inflateFramed(inLen, buffer);
    return appendBlock(buffer, 0, inLen);
}

#else

InflateStatus inflate_snappy(uint32_t, InflateBuffer *) {
    return InflateStatus::kUnsupported;
}

#endif
