// Choosing the compressor of a batch, the session's contexts, and what
// each codec accepts as a level.
#include <stdlib.h>

#include "codec/deflate.h"
#include "codec/deflate_internal.h"

namespace {

// Levels as the Java client and librdkafka take them; -1 is the codec's
// default (zlib's 6, lz4's fast mode 0, zstd's 3).
struct LevelRange {
    int32_t minimum;
    int32_t maximum;
    const char *text;
};

constexpr LevelRange kLevels[] = {
    {-1, 22, "any (none has no levels)"},   {0, 9, "0 to 9, or -1 (6)"},
    {-1, 22, "any (snappy has no levels)"}, {0, 12, "0 to 12, or -1 (0)"},
    {1, 22, "1 to 22, or -1 (3)"},
};

constexpr const char *kNames[] = {"none", "gzip", "snappy", "lz4", "zstd"};
constexpr const char *kOptions[] = {"", "BQX_WITH_GZIP", "BQX_WITH_SNAPPY", "BQX_WITH_LZ4",
                                    "BQX_WITH_ZSTD"};

bool known(int16_t codec) { return codec >= kCodecGzip && codec <= kCodecZstd; }

} // namespace

bool (*gpfnDeflateAvailable)(int16_t codec) = deflate_built_with;

bool deflate_built_with(int16_t codec) { return known(codec) && deflate_bound(codec, 1) != 0; }

const char *deflate_build_option(int16_t codec) { return known(codec) ? kOptions[codec] : ""; }

bool deflate_level_valid(int16_t codec, int32_t level) {
    if (level == kDeflateDefaultLevel)
        return true;
    if (codec < kCodecNone || codec > kCodecZstd)
        return false;
    return level >= kLevels[codec].minimum && level <= kLevels[codec].maximum;
}

const char *deflate_level_range(int16_t codec) {
    return codec >= kCodecNone && codec <= kCodecZstd ? kLevels[codec].text : "";
}

uint64_t deflate_bound(int16_t codec, uint64_t inLen) {
    switch (codec) {
    case kCodecGzip:
        return deflate_gzip_bound(inLen);
    case kCodecSnappy:
        return deflate_snappy_bound(inLen);
    case kCodecLz4:
        return deflate_lz4_bound(inLen);
    case kCodecZstd:
        return deflate_zstd_bound(inLen);
    default:
        return 0;
    }
}

DeflateStatus deflate_records(DeflateContext **context, int16_t codec, int32_t level,
                              const uint8_t *in, uint32_t inLen, uint8_t *out, uint64_t room,
                              uint32_t *outLen) {
    *outLen = 0;
    if (!gpfnDeflateAvailable(codec))
        return DeflateStatus::kUnsupported;
    if (room < deflate_bound(codec, inLen))
        return DeflateStatus::kFailed;
    if (!*context) {
        *context = static_cast<DeflateContext *>(calloc(1, sizeof(DeflateContext)));
        if (!*context)
            return DeflateStatus::kNoMemory;
    }
    switch (codec) {
    case kCodecGzip:
        return deflate_gzip(level, in, inLen, out, room, outLen);
    case kCodecSnappy:
        return deflate_snappy(in, inLen, out, room, outLen);
    case kCodecLz4:
        return deflate_lz4(*context, level, in, inLen, out, room, outLen);
    case kCodecZstd:
        return deflate_zstd(*context, level, in, inLen, out, room, outLen);
    default:
        return DeflateStatus::kUnsupported;
    }
}

void deflate_context_free(DeflateContext *context) {
    if (!context)
        return;
    deflate_lz4_free(context);
    deflate_zstd_free(context);
    free(context);
}

const char *deflate_status_text(DeflateStatus status) {
    switch (status) {
    case DeflateStatus::kOk:
        return "ok";
    case DeflateStatus::kUnsupported:
        return "the library was built without this codec";
    case DeflateStatus::kFailed:
        return "the codec reported an error";
    case DeflateStatus::kNoMemory:
        return "out of memory";
    }
    return "unknown";
}

const char *deflate_codec_name(int16_t codec) {
    return codec >= kCodecNone && codec <= kCodecZstd ? kNames[codec] : "unknown";
}
