// What the compressors share: the session context they keep their
// reusable state in, and one entry per codec.
#ifndef BQX_CODEC_DEFLATE_INTERNAL_H
#define BQX_CODEC_DEFLATE_INTERNAL_H

#include "codec/deflate.h"

struct DeflateContext {
    void *zstd; // ZSTD_CCtx
    void *lz4;  // LZ4F_cctx
};

// One codec each: the bound for `inLen` bytes and the compression; without
// its library a codec's bound is 0 and its function returns kUnsupported.
uint64_t deflate_gzip_bound(uint64_t inLen);
DeflateStatus deflate_gzip(int32_t level, const uint8_t *in, uint32_t inLen, uint8_t *out,
                           uint64_t room, uint32_t *outLen);
uint64_t deflate_snappy_bound(uint64_t inLen);
DeflateStatus deflate_snappy(const uint8_t *in, uint32_t inLen, uint8_t *out, uint64_t room,
                             uint32_t *outLen);
uint64_t deflate_lz4_bound(uint64_t inLen);
DeflateStatus deflate_lz4(DeflateContext *context, int32_t level, const uint8_t *in, uint32_t inLen,
                          uint8_t *out, uint64_t room, uint32_t *outLen);
void deflate_lz4_free(DeflateContext *context);
uint64_t deflate_zstd_bound(uint64_t inLen);
DeflateStatus deflate_zstd(DeflateContext *context, int32_t level, const uint8_t *in,
                           uint32_t inLen, uint8_t *out, uint64_t room, uint32_t *outLen);
void deflate_zstd_free(DeflateContext *context);

#endif
