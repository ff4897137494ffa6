// The key hash that chooses a produced message's partition, and a printer
// that writes a table of 32-bit words as source text.
#include <stdio.h>

#include "codec/codec.h"

uint32_t djb_hash(const void *data, uint64_t length) {
    const int8_t *bytes = static_cast<const int8_t *>(data);
    uint32_t h = 5381;
    if (!bytes)
        return h;
    // Bytes count as signed values (0xE4 adds 0xE4 - 256); the partition of
    // a key with such bytes depends on it, so it must not change.
    for (uint64_t i = 0; i < length; ++i)
        h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(bytes[i]));
    return h;
}

uint32_t murmur2_hash(const void *data, uint64_t length) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    constexpr uint32_t kMultiplier = 0x5bd1e995;
    constexpr int kShift = 24;
    uint32_t h = 0x9747b28cu ^ static_cast<uint32_t>(length);
    if (!bytes)
        length = 0;
    uint64_t whole = length & ~uint64_t{3};
    for (uint64_t i = 0; i < whole; i += 4) {
        uint32_t k = bytes[i] | (uint32_t{bytes[i + 1]} << 8) | (uint32_t{bytes[i + 2]} << 16) |
                     (uint32_t{bytes[i + 3]} << 24);
        k *= kMultiplier;
        k ^= k >> kShift;
        k *= kMultiplier;
        h *= kMultiplier;
        h ^= k;
    }
    switch (length & 3) {
    case 3:
        h ^= uint32_t{bytes[whole + 2]} << 16;
        [[fallthrough]];
    case 2:
        h ^= uint32_t{bytes[whole + 1]} << 8;
        [[fallthrough]];
    case 1:
        h ^= bytes[whole];
        h *= kMultiplier;
    }
    h ^= h >> 13;
    h *= kMultiplier;
    h ^= h >> 15;
    return h;
}

namespace {

void print_row(const uint32_t *row, size_t columns) {
    fputs("   {", stdout);
    for (size_t c = 0; c < columns; ++c) {
        printf("0x%08x", row[c]);
        if (c + 1 == columns)
            break;
        fputs((c + 1) % 6 == 0 ? ",\n    " : ", ", stdout);
    }
}

} // namespace

void print_table(const uint32_t *table, size_t rows, size_t columns, const char *name) {
    printf("static uint32_t const %s[][%zu] = {\n", name ? name : "", columns);
    if (!table)
        rows = 0;
    for (size_t r = 0; r < rows; ++r) {
        print_row(table + r * columns, columns);
        fputs(r + 1 < rows ? "},\n" : "}\n", stdout);
    }
    fputs("};\n", stdout);
}
