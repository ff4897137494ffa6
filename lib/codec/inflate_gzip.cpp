// gzip (codec 1) with zlib. The window bits accept a gzip or a zlib header;
// Kafka producers write gzip.
#include "codec/inflate_internal.h"

#ifdef BQX_HAVE_ZLIB
#include <zlib.h>

namespace {

constexpr int kGzipOrZlibWindow = 15 + 32;
constexpr size_t kStep = 64 * 1024;

// One inflate step into the room left; the stream's position follows the buffer.
InflateStatus step(z_stream *stream, InflateBuffer *buffer, bool *done) {
    InflateStatus status = inflate_buffer_grow(buffer, kStep);
    if (status == InflateStatus::kTooLarge && buffer->length < buffer->capacity)
        status = InflateStatus::kOk; // fill what is left up to the limit
    if (status != InflateStatus::kOk)
        return status;
    size_t room = buffer->capacity - buffer->length;
    stream->next_out = buffer->data + buffer->length;
    stream->avail_out = static_cast<uInt>(room > 0x40000000 ? 0x40000000 : room);
    uInt before = stream->avail_out;
    uInt inputBefore = stream->avail_in;
    int rc = ::inflate(stream, Z_NO_FLUSH);
    buffer->length += before - stream->avail_out;
    if (rc == Z_STREAM_END) {
        *done = true;
        return InflateStatus::kOk;
    }
    if (rc == Z_MEM_ERROR)
        return InflateStatus::kNoMemory;
    if (rc != Z_OK && rc != Z_BUF_ERROR)
        return InflateStatus::kCorrupt;
    // Nothing moved although there was room: the input ends too early.
    if (before == stream->avail_out && inputBefore == stream->avail_in)
        return InflateStatus::kCorrupt;
    return InflateStatus::kOk;
}

} // namespace

InflateStatus inflate_gzip(const uint8_t *in, uint32_t inLen, InflateBuffer *buffer) {
    z_stream stream = {};
    stream.next_in = const_cast<Bytef *>(in);
    stream.avail_in = inLen;
    if (inflateInit2(&stream, kGzipOrZlibWindow) != Z_OK)
        return InflateStatus::kNoMemory;
    InflateStatus status = InflateStatus::kOk;
    bool done = false;
    while (status == InflateStatus::kOk && !done)
        status = step(&stream, buffer, &done);
    inflateEnd(&stream);
    return status;
}

#else

InflateStatus inflate_gzip(const uint8_t *, uint32_t, InflateBuffer *) {
    return InflateStatus::kUnsupported;
}

#endif
