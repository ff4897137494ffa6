// crc32c: the processor's crc32 instruction where there is one, else the
// table-driven crc32c_sw. Both give the same result for every input.
#include "codec/crc32c_hw.h"

#include <string.h>

#include "codec/codec.h"

#if defined(__x86_64__)
#include <nmmintrin.h>

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
    uint64_t c = ~crc;
    for (; length && (reinterpret_cast<uintptr_t>(p) & 7); --length)
        c = _mm_crc32_u8(static_cast<uint32_t>(c), *p++);
    for (; length >= 8; length -= 8, p += 8) {
        uint64_t word;
        memcpy(&word, p, sizeof word);
        c = _mm_crc32_u64(c, word);
    }
    for (; length; --length)
        c = _mm_crc32_u8(static_cast<uint32_t>(c), *p++);
    return ~static_cast<uint32_t>(c);
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
