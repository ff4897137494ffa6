// CRC-32C (tables, software and hardware paths), the key hash and the
// table printer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bqx.h"
#include "codec/codec.h"
#include "codec/crc32c_hw.h"

namespace {

constexpr uint32_t kCheckValue = 0xE3069283; // CRC-32C of "123456789"
constexpr uint32_t kReferenceCrc = 0x20D59189;

// Bit by bit, straight from the definition: initial and final complement.
uint32_t crc_by_bits(uint32_t crc, const uint8_t *data, size_t length) {
    uint32_t c = ~crc;
    for (size_t i = 0; i < length; ++i) {
        c ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    }
    return ~c;
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint8_t &b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

using CrcFunction = uint32_t (*)(uint32_t, const void *, uint64_t);

struct CrcPath {
    const char *name;
    CrcFunction crc;
};

const CrcPath kPaths[] = {{"crc32c", crc32c}, {"crc32c_sw", crc32c_sw}};

TEST(Crc32cTable, ConstantsAndStandardTablesFolded) {
    const uint32_t constants[8] = {0x527D5351, 0xA31C2483, 0x9105D4A8, 0x2803E8BD,
                                   0x0D153DF2, 0x12580ABF, 0xEC1416E7, 0x3716D8E7};
    uint32_t standard[8][256];
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        standard[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (int i = 0; i < 256; ++i)
            standard[k][i] = (standard[k - 1][i] >> 8) ^ standard[0][standard[k - 1][i] & 0xFF];
    for (int k = 0; k < 8; ++k)
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(crc32c_table[k][i], standard[k][i] ^ constants[k]) << k << "/" << i;
}

// The check values at every alignment of the data, through both paths.
TEST(Crc32c, CheckValuesAtEveryAlignment) {
    alignas(8) uint8_t buffer[64 + 8];
    for (const CrcPath &path : kPaths) {
        for (size_t offset = 0; offset < 8; ++offset) {
            SCOPED_TRACE(std::string(path.name) + " offset " + std::to_string(offset));
            memcpy(buffer + offset, "123456789", 9);
            EXPECT_EQ(path.crc(0, buffer + offset, 9), kCheckValue);
            memcpy(buffer + offset, cCRCReferenzMsg, sizeof cCRCReferenzMsg);
            EXPECT_EQ(path.crc(0, buffer + offset, sizeof cCRCReferenzMsg), kReferenceCrc);
        }
    }
}

TEST(Crc32c, EmptyAndNullInput) {
    for (const CrcPath &path : kPaths) {
        SCOPED_TRACE(path.name);
        EXPECT_EQ(path.crc(0x12345678, "x", 0), 0x12345678u);
        EXPECT_EQ(path.crc(0x12345678, nullptr, 10), 0u);
    }
}

// Continuing from a previous result equals one pass over both parts, and
// every result matches the bitwise definition.
TEST(Crc32c, SplitAnywhereEqualsOnePass) {
    std::mt19937 rng(20240311);
    std::vector<uint8_t> data = random_bytes(rng, 301);
    uint32_t whole = crc_by_bits(0, data.data(), data.size());
    for (const CrcPath &path : kPaths) {
        EXPECT_EQ(path.crc(0, data.data(), data.size()), whole) << path.name;
        for (size_t split = 0; split <= data.size(); ++split) {
            uint32_t first = path.crc(0, data.data(), split);
            ASSERT_EQ(path.crc(first, data.data() + split, data.size() - split), whole)
                << path.name << " split at " << split;
        }
    }
}

TEST(Crc32c, RandomInputsAndStartValuesMatchTheDefinition) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> data = random_bytes(rng, 1 + rng() % 200); // never a null data()
        size_t offset = rng() % (data.size() + 1);
        uint32_t start = static_cast<uint32_t>(rng());
        const uint8_t *p = data.data() + offset;
        size_t length = data.size() - offset;
        uint32_t expected = crc_by_bits(start, p, length);
        ASSERT_EQ(crc32c_sw(start, p, length), expected) << round;
        ASSERT_EQ(crc32c(start, p, length), expected) << round;
    }
}

// Every length up to 300, lengths around one and two rounds of three
// blocks of each size the hardware path uses, and a few long buffers.
std::vector<size_t> hardware_test_lengths() {
    std::vector<size_t> lengths;
    for (size_t length = 0; length <= 300; ++length) lengths.push_back(length);
    for (uint64_t block : kCrc32cBlockSizes)
        for (size_t round : {3 * block, 6 * block})
            for (size_t length = round - 9; length <= round + 9; ++length) lengths.push_back(length);
    for (size_t length : {size_t{65536}, size_t{65536 + 5}, size_t{(1u << 20) + 13}})
        lengths.push_back(length);
    return lengths;
}

class Crc32cHardware : public testing::Test {
  protected:
    void SetUp() override {
        if (!crc32c_has_sse42())
            GTEST_SKIP() << "the processor has no SSE4.2";
    }
    std::mt19937 rng{99};
    std::vector<uint8_t> data = random_bytes(rng, (1u << 20) + 64);

    // length bytes at offset `alignment` from an 8-byte boundary, from a
    // random place in the data.
    const uint8_t *slice(size_t length, size_t alignment) {
        size_t words = (data.size() - 16 - length) / 8; // room for both offsets
        const uint8_t *base = data.data() + (8 - reinterpret_cast<uintptr_t>(data.data()) % 8) % 8;
        return base + 8 * (rng() % (words + 1)) + alignment;
    }
};

// The combine of the three chains is exact at every length and alignment
// (the head bytes before the first word move every block boundary).
TEST_F(Crc32cHardware, EqualsSoftwareAtEveryLengthAndAlignment) {
    for (size_t length : hardware_test_lengths()) {
        for (size_t alignment = 0; alignment < 8; ++alignment) {
            const uint8_t *p = slice(length, alignment);
            uint32_t start = alignment == 0 ? 0 : static_cast<uint32_t>(rng());
            ASSERT_EQ(crc32c_sse42(start, p, length), crc32c_sw(start, p, length))
                << "length " << length << " alignment " << alignment << " start " << start;
        }
    }
}

// A previous result continues the checksum: two calls over a long buffer
// split anywhere equal one call.
TEST_F(Crc32cHardware, ContinuesAcrossCalls) {
    const size_t length = 100000;
    const uint8_t *p = slice(length, 3);
    uint32_t whole = crc32c_sw(0, p, length);
    for (int round = 0; round < 200; ++round) {
        size_t split = round < 100 ? rng() % (length + 1) : rng() % 1000;
        uint32_t first = crc32c_sse42(0, p, split);
        ASSERT_EQ(crc32c_sse42(first, p + split, length - split), whole) << "split at " << split;
    }
}

TEST(DjbHash, KnownValues) {
    EXPECT_EQ(djb_hash("", 0), 5381u);
    EXPECT_EQ(djb_hash("a", 1), 177670u);
    EXPECT_EQ(djb_hash("abc", 3), 193485963u);
    EXPECT_EQ(djb_hash("\xE4", 1), 177545u) << "bytes count as signed";
    EXPECT_EQ(djb_hash("key1", 4), 2090432895u);
    EXPECT_EQ(djb_hash("key1xyz", 4), 2090432895u) << "exactly length bytes";
}

TEST(PrintTable, SourceTextLayout) {
    const uint32_t table[2][8] = {{0, 1, 2, 3, 4, 5, 6, 0xDEADBEEF}, {8, 9, 10, 11, 12, 13, 14, 15}};
    testing::internal::CaptureStdout();
    print_table(&table[0][0], 2, 8, "demo");
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "static uint32_t const demo[][8] = {\n"
              "   {0x00000000, 0x00000001, 0x00000002, 0x00000003, 0x00000004, 0x00000005,\n"
              "    0x00000006, 0xdeadbeef},\n"
              "   {0x00000008, 0x00000009, 0x0000000a, 0x0000000b, 0x0000000c, 0x0000000d,\n"
              "    0x0000000e, 0x0000000f}\n"
              "};\n");
}

} // namespace
