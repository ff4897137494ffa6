// snappy (codec 2) in the framed form the Java consumer reads: a 16-byte
// header (the magic 0x82 "SNAPPY" 0, version 1, compatible version 1),
// then blocks of a big-endian 32-bit length and a plain snappy block of
// at most 32 KiB of input each.
#include <string.h>

#include "codec/deflate_internal.h"

#ifdef BQX_HAVE_SNAPPY
#include <snappy-c.h>

namespace {

constexpr uint8_t kFramedHeader[16] = {0x82, 'S', 'N', 'A', 'P', 'P', 'Y', 0,
                                       0,    0,   0,   1,   0,   0,   0,   1};
constexpr uint32_t kBlockInput = 32 * 1024;

void putBe32(uint8_t *out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

} // namespace

uint64_t deflate_snappy_bound(uint64_t inLen) {
    uint64_t blocks = (inLen + kBlockInput - 1) / kBlockInput;
    // snappy's own bound (32 + n + n/6) for each block, and its length.
    return sizeof kFramedHeader + blocks * (4 + 32) + inLen + inLen / 6;
}

DeflateStatus deflate_snappy(const uint8_t *in, uint32_t inLen, uint8_t *out, uint64_t room,
                             uint32_t *outLen) {
    memcpy(out, kFramedHeader, sizeof kFramedHeader);
    uint64_t at = sizeof kFramedHeader;
    for (uint32_t done = 0; done < inLen;) {
        uint32_t take = inLen - done < kBlockInput ? inLen - done : kBlockInput;
        if (room - at < 4 + snappy_max_compressed_length(take))
            return DeflateStatus::kFailed;
        size_t written = room - at - 4;
        if (snappy_compress(reinterpret_cast<const char *>(in + done), take,
                            reinterpret_cast<char *>(out + at + 4), &written) != SNAPPY_OK)
            return DeflateStatus::kFailed;
        putBe32(out + at, static_cast<uint32_t>(written));
        at += 4 + written;
        done += take;
    }
    *outLen = static_cast<uint32_t>(at);
    return DeflateStatus::kOk;
}

#else

uint64_t deflate_snappy_bound(uint64_t) { return 0; }

DeflateStatus deflate_snappy(const uint8_t *, uint32_t, uint8_t *, uint64_t, uint32_t *) {
    return DeflateStatus::kUnsupported;
}

#endif
