// The SSE4.2 CRC-32C path behind crc32c, exposed for testing it against
// crc32c_sw on machines that have it.
#ifndef BQX_CODEC_CRC32C_HW_H
#define BQX_CODEC_CRC32C_HW_H

#include <stdint.h>

// True when the processor has the SSE4.2 crc32 instruction.
bool crc32c_has_sse42();

// Same arguments and results as crc32c_sw; only call it when
// crc32c_has_sse42() is true.
uint32_t crc32c_sse42(uint32_t crc, const void *data, uint64_t length);

// crc32c_sse42 takes a buffer in rounds of three blocks of one of these
// sizes (largest first, each while three blocks still fit), then the rest
// of fewer than three of the smallest blocks in a single chain.
constexpr uint64_t kCrc32cBlockSizes[] = {8192, 1024, 128, 32};

#endif
