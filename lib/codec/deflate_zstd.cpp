// zstd (codec 4): one frame per batch from the session's reused context.
#include "codec/deflate_internal.h"

#ifdef BQX_HAVE_ZSTD
#include <zstd.h>

namespace {

constexpr int kDefaultLevel = 3; // zstd's own default

} // namespace

uint64_t deflate_zstd_bound(uint64_t inLen) {
    return ZSTD_compressBound(static_cast<size_t>(inLen));
}

DeflateStatus deflate_zstd(DeflateContext *context, int32_t level, const uint8_t *in,
                           uint32_t inLen, uint8_t *out, uint64_t room, uint32_t *outLen) {
    if (!context->zstd && !(context->zstd = ZSTD_createCCtx()))
        return DeflateStatus::kNoMemory;
    ZSTD_CCtx *cctx = static_cast<ZSTD_CCtx *>(context->zstd);
    int wanted = level == kDeflateDefaultLevel ? kDefaultLevel : level;
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, wanted)))
        return DeflateStatus::kFailed;
    size_t written = ZSTD_compress2(cctx, out, room, in, inLen);
    if (ZSTD_isError(written))
        return DeflateStatus::kFailed;
    *outLen = static_cast<uint32_t>(written);
    return DeflateStatus::kOk;
}

void deflate_zstd_free(DeflateContext *context) {
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx *>(context->zstd));
    context->zstd = nullptr;
}

#else

uint64_t deflate_zstd_bound(uint64_t) { return 0; }

DeflateStatus deflate_zstd(DeflateContext *, int32_t, const uint8_t *, uint32_t, uint8_t *,
                           uint64_t, uint32_t *) {
    return DeflateStatus::kUnsupported;
}

void deflate_zstd_free(DeflateContext *) {}

#endif
