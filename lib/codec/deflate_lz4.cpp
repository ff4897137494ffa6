// lz4 (codec 3): one LZ4 frame with independent 64 KiB blocks, without
// content size or checksums, the frame the Java client writes and reads.
// The frame context is kept for the session's next batch.
#include "codec/deflate_internal.h"

#ifdef BQX_HAVE_LZ4
#include <lz4frame.h>

namespace {

LZ4F_preferences_t preferences(int32_t level) {
    LZ4F_preferences_t prefs{};
    prefs.frameInfo.blockSizeID = LZ4F_max64KB;
    prefs.frameInfo.blockMode = LZ4F_blockIndependent;
    prefs.frameInfo.contentChecksumFlag = LZ4F_noContentChecksum;
    prefs.frameInfo.blockChecksumFlag = LZ4F_noBlockChecksum;
    prefs.compressionLevel = level == kDeflateDefaultLevel ? 0 : level;
    prefs.autoFlush = 1; // the whole batch in one call: no copy into the context
    return prefs;
}

} // namespace

uint64_t deflate_lz4_bound(uint64_t inLen) {
    LZ4F_preferences_t prefs = preferences(0);
    return LZ4F_HEADER_SIZE_MAX + LZ4F_compressBound(static_cast<size_t>(inLen), &prefs);
}

DeflateStatus deflate_lz4(DeflateContext *context, int32_t level, const uint8_t *in, uint32_t inLen,
                          uint8_t *out, uint64_t room, uint32_t *outLen) {
    if (!context->lz4) {
        LZ4F_cctx *made = nullptr;
        if (LZ4F_isError(LZ4F_createCompressionContext(&made, LZ4F_VERSION)))
            return DeflateStatus::kNoMemory;
        context->lz4 = made;
    }
    LZ4F_cctx *cctx = static_cast<LZ4F_cctx *>(context->lz4);
    LZ4F_preferences_t prefs = preferences(level);
    size_t header = LZ4F_compressBegin(cctx, out, room, &prefs);
    if (LZ4F_isError(header))
        return DeflateStatus::kFailed;
    size_t body = LZ4F_compressUpdate(cctx, out + header, room - header, in, inLen, nullptr);
    if (LZ4F_isError(body))
        return DeflateStatus::kFailed;
    size_t end = LZ4F_compressEnd(cctx, out + header + body, room - header - body, nullptr);
    if (LZ4F_isError(end))
        return DeflateStatus::kFailed;
    *outLen = static_cast<uint32_t>(header + body + end);
    return DeflateStatus::kOk;
}

void deflate_lz4_free(DeflateContext *context) {
    LZ4F_freeCompressionContext(static_cast<LZ4F_cctx *>(context->lz4));
    context->lz4 = nullptr;
}

#else

uint64_t deflate_lz4_bound(uint64_t) { return 0; }

DeflateStatus deflate_lz4(DeflateContext *, int32_t, const uint8_t *, uint32_t, uint8_t *, uint64_t,
                          uint32_t *) {
    return DeflateStatus::kUnsupported;
}

void deflate_lz4_free(DeflateContext *) {}

#endif
