// Building blocks of the wire codec: the two-character type codes, varint
// arithmetic and bounds-checked writing and reading of Kafka fields.
#ifndef BQX_CODEC_WIRE_H
#define BQX_CODEC_WIRE_H

#include <stdint.h>
#include <string.h>

// Positions are signed 32-bit offsets, so no buffer is used beyond this.
constexpr uint32_t kMaxWirePosition = 0x7FFFFFFF;

enum class WireCode { I1, I2, I4, I8, UV, VI, VS, NS, ST, CS, SW, U3, UM, CB, C1, None };

// The code spelled by the two characters at `pair`; None for any other pair,
// including a lone last character of a format.
inline WireCode wire_code(const char *pair) {
    struct Spelling {
        char first, second;
        WireCode code;
    };
    static constexpr Spelling kCodes[] = {
        {'i', '1', WireCode::I1}, {'i', '2', WireCode::I2}, {'i', '4', WireCode::I4},
        {'i', '8', WireCode::I8}, {'u', 'v', WireCode::UV}, {'v', 'i', WireCode::VI},
        {'v', 's', WireCode::VS}, {'n', 's', WireCode::NS}, {'s', 't', WireCode::ST},
        {'c', 's', WireCode::CS}, {'s', 'w', WireCode::SW}, {'u', '3', WireCode::U3},
        {'u', 'm', WireCode::UM}, {'c', 'b', WireCode::CB}, {'c', '1', WireCode::C1},
    };
    if (pair[0] == '\0' || pair[1] == '\0')
        return WireCode::None;
    for (const Spelling &spelling : kCodes)
        if (spelling.first == pair[0] && spelling.second == pair[1])
            return spelling.code;
    return WireCode::None;
}

constexpr uint32_t kMaxVarintBytes = 10; // 64 bits in groups of 7

constexpr uint32_t uvarint_size(uint64_t value) {
    uint32_t bytes = 1;
    for (; value >= 0x80; value >>= 7)
        ++bytes;
    return bytes;
}

constexpr uint64_t zigzag_encode(int64_t value) {
    return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

constexpr int64_t zigzag_decode(uint64_t value) {
    return static_cast<int64_t>((value >> 1) ^ (0 - (value & 1)));
}

// A request buffer being filled. Invariant: pos <= cap.
struct WireWriter {
    uint8_t *buf;
    uint32_t cap; // usable bytes
    uint32_t pos;
};

inline uint32_t wire_space(const WireWriter &out) { return out.cap - out.pos; }

// The put functions assume the caller has checked wire_space.
inline void put_be(WireWriter &out, uint64_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i)
        out.buf[out.pos + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    out.pos += width;
}

inline void put_uvarint(WireWriter &out, uint64_t value) {
    for (; value >= 0x80; value >>= 7)
        out.buf[out.pos++] = static_cast<uint8_t>(value | 0x80);
    out.buf[out.pos++] = static_cast<uint8_t>(value);
}

// A reply being read. Invariant: pos <= len.
struct WireReader {
    const uint8_t *buf;
    uint32_t len;
    uint32_t pos;
};

// Reads a big-endian integer of `width` bytes; false when it reaches beyond
// the reply.
inline bool get_be(WireReader &in, uint32_t width, uint64_t *value) {
    if (in.len - in.pos < width)
        return false;
    uint64_t result = 0;
    for (uint32_t i = 0; i < width; ++i)
        result = (result << 8) | in.buf[in.pos + i];
    in.pos += width;
    *value = result;
    return true;
}

// Reads an unsigned varint; false when it runs past the reply or is longer
// than a 64-bit value can take.
inline bool get_uvarint(WireReader &in, uint64_t *value) {
    uint64_t result = 0;
    for (uint32_t i = 0; i < kMaxVarintBytes && in.pos + i < in.len; ++i) {
        uint8_t byte = in.buf[in.pos + i];
        result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) {
            in.pos += i + 1;
            *value = result;
            return true;
        }
    }
    return false;
}

// The next `count` bytes of the reply, or null when they reach beyond it.
inline const uint8_t *get_bytes(WireReader &in, uint64_t count) {
    if (count > in.len - in.pos)
        return nullptr;
    const uint8_t *bytes = in.buf + in.pos;
    in.pos += static_cast<uint32_t>(count);
    return bytes;
}

#endif
