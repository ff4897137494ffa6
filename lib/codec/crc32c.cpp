// CRC-32C (Castagnoli) by slicing-by-8 over tables that carry the
// checksum's initial and final complement, and the reference record batch.
#include <stdint.h>
#include <string.h>

#include "bqx.h"
#include "codec/codec.h"

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u; // reflected

struct CrcTables {
    uint32_t t[8][256];
};

// The standard slicing tables: table 0 byte by byte, table k one byte
// further on from table k-1.
constexpr CrcTables standard_tables() {
    CrcTables s{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
        s.t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i)
            s.t[k][i] = (s.t[k - 1][i] >> 8) ^ s.t[0][s.t[k - 1][i] & 0xFF];
    return s;
}

// The running value is kept complemented (no initial or final complement
// in the loop). By linearity of the CRC, that shifts the result of every
// table lookup by a constant: table 0 alone must absorb the difference of
// one byte step, T0[0xFF] ^ 0xFF000000, and the eight tables together that
// of one 8-byte step, T4..T7[0xFF] ^ 0xFFFFFFFF. Table k < 4 takes
// T_k[0xFF] and the complement of one byte, table k >= 4 takes
// T_k[0xFF] ^ T_(k-4)[0xFF].
constexpr uint32_t fold_constant(const CrcTables &s, int k) {
    return k < 4 ? s.t[k][0xFF] ^ (0xFF000000u >> (8 * k)) : s.t[k][0xFF] ^ s.t[k - 4][0xFF];
}

constexpr CrcTables folded_tables() {
    CrcTables s = standard_tables();
    CrcTables f{};
    for (int k = 0; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i)
            f.t[k][i] = s.t[k][i] ^ fold_constant(s, k);
    return f;
}

constexpr CrcTables kFolded = folded_tables();

static_assert(kFolded.t[0][0] == 0x527D5351u && kFolded.t[1][0] == 0xA31C2483u &&
              kFolded.t[2][0] == 0x9105D4A8u && kFolded.t[3][0] == 0x2803E8BDu &&
              kFolded.t[4][0] == 0x0D153DF2u && kFolded.t[5][0] == 0x12580ABFu &&
              kFolded.t[6][0] == 0xEC1416E7u && kFolded.t[7][0] == 0x3716D8E7u,
              "folded CRC-32C table constants");

uint32_t byte_step(uint32_t c, uint8_t byte) {
    return crc32c_table[0][(c ^ byte) & 0xFF] ^ (c >> 8);
}

uint64_t load_le64(const uint8_t *p) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

uint32_t word_step(uint32_t c, uint64_t w) {
    w ^= c;
    return crc32c_table[7][w & 0xFF] ^ crc32c_table[6][(w >> 8) & 0xFF] ^
           crc32c_table[5][(w >> 16) & 0xFF] ^ crc32c_table[4][(w >> 24) & 0xFF] ^
           crc32c_table[3][(w >> 32) & 0xFF] ^ crc32c_table[2][(w >> 40) & 0xFF] ^
           crc32c_table[1][(w >> 48) & 0xFF] ^ crc32c_table[0][w >> 56];
}

} // namespace

// The exported table is an array object, so it is spelled out element by
// element from the compile-time tables (2048 entries by doubling).
#define BQX_CRC_1(n) kFolded.t[(n) / 256][(n) % 256]
#define BQX_CRC_2(n) BQX_CRC_1(n), BQX_CRC_1((n) + 1)
#define BQX_CRC_4(n) BQX_CRC_2(n), BQX_CRC_2((n) + 2)
#define BQX_CRC_8(n) BQX_CRC_4(n), BQX_CRC_4((n) + 4)
#define BQX_CRC_16(n) BQX_CRC_8(n), BQX_CRC_8((n) + 8)
#define BQX_CRC_32(n) BQX_CRC_16(n), BQX_CRC_16((n) + 16)
#define BQX_CRC_64(n) BQX_CRC_32(n), BQX_CRC_32((n) + 32)
#define BQX_CRC_128(n) BQX_CRC_64(n), BQX_CRC_64((n) + 64)
#define BQX_CRC_256(n) BQX_CRC_128(n), BQX_CRC_128((n) + 128)
#define BQX_CRC_512(n) BQX_CRC_256(n), BQX_CRC_256((n) + 256)
#define BQX_CRC_1024(n) BQX_CRC_512(n), BQX_CRC_512((n) + 512)
#define BQX_CRC_2048(n) BQX_CRC_1024(n), BQX_CRC_1024((n) + 1024)

const uint32_t crc32c_table[8][256] = {BQX_CRC_2048(0)};

// The CRC-covered part of a one-record batch with the value "1234567890",
// no key, timestamp 1627658828223; its CRC-32C is 0x20D59189.
const uint8_t cCRCReferenzMsg[57] = {
    0x00, 0x00,                                     // attributes
    0x00, 0x00, 0x00, 0x00,                         // lastOffsetDelta
    0x00, 0x00, 0x01, 0x7A, 0xF8, 0x06, 0xB9, 0xBF, // firstTimestamp
    0x00, 0x00, 0x01, 0x7A, 0xF8, 0x06, 0xB9, 0xBF, // maxTimestamp
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, // producerId -1
    0xFF, 0xFF,                                     // producerEpoch -1
    0xFF, 0xFF, 0xFF, 0xFF,                         // baseSequence -1
    0x00, 0x00, 0x00, 0x01,                         // record count
    0x20,                                           // record length 16
    0x00,                                           // record attributes
    0x00,                                           // timestampDelta
    0x00,                                           // offsetDelta
    0x01,                                           // key length -1
    0x14,                                           // value length 10
    '1', '2', '3', '4', '5', '6', '7', '8', '9', '0',
    0x00, // header count
};

uint32_t crc32c_sw(uint32_t crc, const void *data, uint64_t length) {
    if (!data)
        return 0;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t c = crc;
    // Bytes up to an 8-byte boundary, so that the body reads aligned words.
    for (; length && (reinterpret_cast<uintptr_t>(p) & 7); --length)
        c = byte_step(c, *p++);
    for (; length >= 8; length -= 8, p += 8)
        c = word_step(c, load_le64(p));
    for (; length; --length)
        c = byte_step(c, *p++);
    return c;
}
