// crc32c: the processor's crc32 instruction where there is one, else the
// table-driven crc32c_sw. Both give the same result for every input.
#include "codec/crc32c_hw.h"

#include <string.h>

#include "codec/codec.h"

#if defined(__x86_64__)
#include <nmmintrin.h>

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u; // reflected: bit 31 is x^0

// Product of two residues mod the CRC polynomial, in the reflected bit
// order of the CRC register.
constexpr uint32_t multiply_mod_p(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (int power = 0; power < 32; ++power) { // b is the original b * x^power
        if (a & (0x80000000u >> power))
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// x^(8 * bytes) mod P: what a register value is multiplied by when that
// many zero bytes pass through it.
constexpr uint32_t zero_bytes_factor(uint64_t bytes) {
    uint32_t factor = 0x80000000u; // x^0
    uint32_t square = 0x00800000u; // x^8
    for (; bytes; bytes >>= 1, square = multiply_mod_p(square, square))
        if (bytes & 1)
            factor = multiply_mod_p(factor, square);
    return factor;
}

// Multiplication of a register value by x^(8 * bytes), one table per byte
// of the value (the product is linear in it).
struct ShiftTable {
    uint32_t t[4][256];
};

constexpr ShiftTable shift_table(uint64_t bytes) {
    const uint32_t factor = zero_bytes_factor(bytes);
    ShiftTable s{};
    for (int k = 0; k < 4; ++k)
        for (uint32_t i = 0; i < 256; ++i)
            s.t[k][i] = multiply_mod_p(i << (8 * k), factor);
    return s;
}

uint32_t shift(const ShiftTable &s, uint32_t c) {
    return s.t[0][c & 0xFF] ^ s.t[1][(c >> 8) & 0xFF] ^ s.t[2][(c >> 16) & 0xFF] ^ s.t[3][c >> 24];
}

// The buffer is taken in rounds of three adjacent blocks whose crc32
// chains run side by side: the instruction's latency is three times its
// issue interval, so one chain alone leaves two thirds of it idle. A big
// block keeps the combine cost small on long buffers, the smaller ones
// take the rest down to the point where a single chain is as fast.
constexpr uint64_t kLongBlock = kCrc32cBlockSizes[0];
constexpr uint64_t kMediumBlock = kCrc32cBlockSizes[1];
constexpr uint64_t kShortBlock = kCrc32cBlockSizes[2];
constexpr uint64_t kTinyBlock = kCrc32cBlockSizes[3];
static_assert(sizeof kCrc32cBlockSizes / sizeof kCrc32cBlockSizes[0] == 4, "four block sizes");

// Per block size: the shift over one block, and over a whole round.
struct RoundShifts {
    ShiftTable block;
    ShiftTable round;
};

constexpr RoundShifts round_shifts(uint64_t block) {
    return {shift_table(block), shift_table(3 * block)};
}

constexpr RoundShifts kShiftLong = round_shifts(kLongBlock);
constexpr RoundShifts kShiftMedium = round_shifts(kMediumBlock);
constexpr RoundShifts kShiftShort = round_shifts(kShortBlock);
constexpr RoundShifts kShiftTiny = round_shifts(kTinyBlock);

static_assert(zero_bytes_factor(3) == 0x00000080u && zero_bytes_factor(4) == kPolynomial,
              "x^24 needs no reduction, x^32 is the polynomial's low terms");

__attribute__((target("sse4.2"))) inline uint64_t load64(const uint8_t *p) {
    uint64_t word;
    memcpy(&word, p, sizeof word);
    return word;
}

// Rounds of three blocks of Block bytes while the buffer holds one. All
// three chains start from zero and are folded in, by the register's
// linearity: the register after X then Y is shift(X, |Y|) ^ (Y's from zero).
// So the running value only passes one shift per round and the chains of
// the next round need not wait for the fold of this one.
template <uint64_t Block>
__attribute__((target("sse4.2"))) inline uint32_t three_chains(uint32_t c, const uint8_t *&p,
                                                                uint64_t &length,
                                                                const RoundShifts &shifts) {
    static_assert(Block % 8 == 0, "the chains read whole words");
    for (; length >= 3 * Block; length -= 3 * Block, p += 3 * Block) {
        uint64_t a = 0, b = 0, d = 0;
        for (uint64_t i = 0; i < Block; i += 8) {
            a = _mm_crc32_u64(a, load64(p + i));
            b = _mm_crc32_u64(b, load64(p + Block + i));
            d = _mm_crc32_u64(d, load64(p + 2 * Block + i));
        }
        uint32_t ab = shift(shifts.block, static_cast<uint32_t>(a)) ^ static_cast<uint32_t>(b);
        c = shift(shifts.round, c) ^ shift(shifts.block, ab) ^ static_cast<uint32_t>(d);
    }
    return c;
}

} // namespace

bool crc32c_has_sse42() {
    __builtin_cpu_init(); // may run before the runtime's own constructors
    return __builtin_cpu_supports("sse4.2");
}

// The instruction updates the plain CRC register, while the library's
// values are its complement (the tables fold the complements in): so
// complement on the way in and on the way out.
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const void *data,
                                                         uint64_t length) {
    if (!data)
        return 0;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t c = ~crc;
    for (; length && (reinterpret_cast<uintptr_t>(p) & 7); --length)
        c = _mm_crc32_u8(c, *p++);
    c = three_chains<kLongBlock>(c, p, length, kShiftLong);
    c = three_chains<kMediumBlock>(c, p, length, kShiftMedium);
    c = three_chains<kShortBlock>(c, p, length, kShiftShort);
    c = three_chains<kTinyBlock>(c, p, length, kShiftTiny);
    uint64_t single = c;
    for (; length >= 8; length -= 8, p += 8)
        single = _mm_crc32_u64(single, load64(p));
    c = static_cast<uint32_t>(single);
    for (; length; --length)
        c = _mm_crc32_u8(c, *p++);
    return ~c;
}

#else

bool crc32c_has_sse42() { return false; }

uint32_t crc32c_sse42(uint32_t crc, const void *data, uint64_t length) {
    return crc32c_sw(crc, data, length);
}

#endif

uint32_t crc32c(uint32_t crc, const void *data, uint64_t length) {
    static const bool useHardware = crc32c_has_sse42();
    return useHardware ? crc32c_sse42(crc, data, length) : crc32c_sw(crc, data, length);
}
