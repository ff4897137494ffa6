// Compressing the records of a record batch as the batch goes out: into
// the caller's buffer, sized by deflate_bound, in the form the Kafka
// consumers read (codec/inflate.h reads the same forms back). Each library
// is optional at build time (BQX_WITH_<CODEC>).
#ifndef BQX_CODEC_DEFLATE_H
#define BQX_CODEC_DEFLATE_H

#include <stddef.h>
#include <stdint.h>

#include "codec/inflate.h"

constexpr int16_t kCodecNone = 0;
// A level of -1 asks for the codec's default.
constexpr int32_t kDeflateDefaultLevel = -1;

enum class DeflateStatus {
    kOk,
    kUnsupported, // the library was built without this codec
    kFailed,      // the codec reported an error
    kNoMemory,
};

// A session's compression state (the codecs' reusable contexts), made at
// the first batch and freed with the session.
struct DeflateContext;
void deflate_context_free(DeflateContext *context);

// The most bytes compressing `inLen` bytes may take (0 for codec none).
uint64_t deflate_bound(int16_t codec, uint64_t inLen);

// Compresses `in` into `out`, which has room for deflate_bound bytes;
// *outLen receives the bytes written. *context is made when null.
DeflateStatus deflate_records(DeflateContext **context, int16_t codec, int32_t level,
                              const uint8_t *in, uint32_t inLen, uint8_t *out, uint64_t room,
                              uint32_t *outLen);

// Whether the library was built with the codec, and the CMake option that
// turns it on ("BQX_WITH_LZ4"). Tests may point gpfnDeflateAvailable
// elsewhere to play a library built without a codec.
bool deflate_built_with(int16_t codec);
extern bool (*gpfnDeflateAvailable)(int16_t codec);
const char *deflate_build_option(int16_t codec);

// Whether `level` is one the codec takes (-1 always; codecs without
// levels take any), and the range for the refusal's text.
bool deflate_level_valid(int16_t codec, int32_t level);
const char *deflate_level_range(int16_t codec);

const char *deflate_status_text(DeflateStatus status);
// "none", "gzip", "snappy", "lz4", "zstd" (as compression.type names them).
const char *deflate_codec_name(int16_t codec);

#endif
