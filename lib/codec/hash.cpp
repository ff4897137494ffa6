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
