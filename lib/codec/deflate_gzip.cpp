// gzip (codec 1): zlib's deflate with the gzip wrapper, as Kafka producers
// write it. A stream per batch: set-up is small beside a batch's work.
#include "codec/deflate_internal.h"

#ifdef BQX_HAVE_ZLIB
#include <zlib.h>

namespace {

constexpr int kGzipWindow = 15 + 16;
constexpr int kMemLevel = 8;
constexpr uint64_t kGzipWrapperExtra = 12; // gzip's 18 bytes of wrapper against zlib's 6

} // namespace

uint64_t deflate_gzip_bound(uint64_t inLen) {
    // compressBound's formula, widened to 64 bits.
    return inLen + (inLen >> 12) + (inLen >> 14) + (inLen >> 25) + 13 + kGzipWrapperExtra;
}

DeflateStatus deflate_gzip(int32_t level, const uint8_t *in, uint32_t inLen, uint8_t *out,
                           uint64_t room, uint32_t *outLen) {
    z_stream stream{};
    int zlibLevel = level == kDeflateDefaultLevel ? Z_DEFAULT_COMPRESSION : level;
    int rc =
        deflateInit2(&stream, zlibLevel, Z_DEFLATED, kGzipWindow, kMemLevel, Z_DEFAULT_STRATEGY);
    if (rc == Z_MEM_ERROR)
        return DeflateStatus::kNoMemory;
    if (rc != Z_OK)
        return DeflateStatus::kFailed;
    stream.next_in = const_cast<Bytef *>(in);
    stream.avail_in = inLen;
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(room > UINT32_MAX ? UINT32_MAX : room);
    rc = deflate(&stream, Z_FINISH);
    uint64_t written = stream.total_out;
    deflateEnd(&stream);
    if (rc != Z_STREAM_END)
        return DeflateStatus::kFailed;
    *outLen = static_cast<uint32_t>(written);
    return DeflateStatus::kOk;
}

#else

uint64_t deflate_gzip_bound(uint64_t) { return 0; }

DeflateStatus deflate_gzip(int32_t, const uint8_t *, uint32_t, uint8_t *, uint64_t, uint32_t *) {
    return DeflateStatus::kUnsupported;
}

#endif
