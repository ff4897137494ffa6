// Builds Fetch replies (version 11) with record batches of format version 2
// whose CRC-32C is computed, for the record decoder's tests and fuzz driver.
// Batches can be compressed with each codec's own library, where the test
// target links it (BQX_TEST_ZLIB, BQX_TEST_SNAPPY, BQX_TEST_LZ4,
// BQX_TEST_ZSTD); elsewhere nothing can be compressed.
#ifndef BQX_TESTS_FETCH_REPLY_BUILDER_H
#define BQX_TESTS_FETCH_REPLY_BUILDER_H

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/codec.h"

#ifdef BQX_TEST_ZLIB
#include <zlib.h>
#endif
#ifdef BQX_TEST_SNAPPY
#include <snappy-c.h>
#endif
#ifdef BQX_TEST_LZ4
#include <lz4frame.h>
#endif
#ifdef BQX_TEST_ZSTD
#include <zstd.h>
#endif

namespace bqxtest {

using Bytes = std::vector<uint8_t>;
using Field = std::optional<std::string>; // nullopt: a null field

struct TestRecord {
    int32_t offsetDelta;
    Field value;
    Field key = std::nullopt;
    std::vector<std::pair<std::string, Field>> headers = {};
};

struct TestBatch {
    int64_t baseOffset;
    std::vector<TestRecord> records;
    int16_t attributes = 0;
    int64_t producerId = -1;
    int32_t lastOffsetDelta = -1; // -1: the largest offset delta of the records
    Bytes rawRecords = {};        // used instead of `records` when not empty
    int32_t rawCount = 0;
};

struct Out {
    Bytes b;
    Out &be(uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Out &varint(int64_t v) {
        uint64_t u = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
        for (; u >= 0x80; u >>= 7) b.push_back(static_cast<uint8_t>(u | 0x80));
        b.push_back(static_cast<uint8_t>(u));
        return *this;
    }
    Out &field(const Field &f) {
        if (!f) return varint(-1);
        varint(static_cast<int64_t>(f->size()));
        b.insert(b.end(), f->begin(), f->end());
        return *this;
    }
    Out &bytes(const Bytes &more) {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
};

inline Bytes encodeRecord(const TestRecord &r) {
    Out body;
    body.be(0, 1).varint(0).varint(r.offsetDelta).field(r.key).field(r.value);
    body.varint(static_cast<int64_t>(r.headers.size()));
    for (const auto &h : r.headers) body.field(h.first).field(h.second);
    Out out;
    out.varint(static_cast<int64_t>(body.b.size())).bytes(body.b);
    return out.b;
}

// The whole batch from baseOffset on, with its batchLength and CRC-32C.
inline Bytes encodeBatch(const TestBatch &t) {
    Out records;
    int32_t last = 0, count = t.rawCount;
    if (!t.rawRecords.empty()) {
        records.bytes(t.rawRecords);
    } else {
        count = static_cast<int32_t>(t.records.size());
        for (const TestRecord &r : t.records) {
            records.bytes(encodeRecord(r));
            last = r.offsetDelta > last ? r.offsetDelta : last;
        }
    }
    if (t.lastOffsetDelta >= 0) last = t.lastOffsetDelta;
    Out covered; // attributes to the end
    covered.be(static_cast<uint16_t>(t.attributes), 2).be(static_cast<uint32_t>(last), 4);
    covered.be(1700000000000, 8).be(1700000000000, 8).be(static_cast<uint64_t>(t.producerId), 8);
    covered.be(0, 2).be(0xFFFFFFFF, 4).be(static_cast<uint32_t>(count), 4).bytes(records.b);
    uint32_t crc = crc32c(0, covered.b.data(), covered.b.size());
    Out batch;
    batch.be(static_cast<uint64_t>(t.baseOffset), 8).be(covered.b.size() + 9, 4);
    batch.be(0, 4).be(2, 1).be(crc, 4).bytes(covered.b);
    return batch.b;
}

// A control batch holding one marker (type 0 abort, 1 commit).
inline TestBatch controlBatch(int64_t offset, int64_t producerId, int type) {
    std::string key("\0\0\0", 3), value("\0\0\0\0\0\0", 6);
    key.push_back(static_cast<char>(type));
    return {offset, {{0, value, key}}, 0x30, producerId};
}

inline Bytes concat(const std::vector<TestBatch> &batches) {
    Out out;
    for (const TestBatch &t : batches) out.bytes(encodeBatch(t));
    return out.b;
}

// How a batch's records are compressed.
struct Compression {
    int16_t codec;                  // 1 gzip, 2 snappy, 3 lz4, 4 zstd
    bool framed = false;            // snappy: 16-byte header, then [int32 length][block]...
    bool checksum = false;          // lz4, zstd: the frame carries a checksum of the content
    bool contentSize = false;       // lz4: the frame header states the content size
    uint32_t blockBytes = 32 * 1024; // snappy framed: input bytes per block
};

inline const char *codecName(int16_t codec) {
    static const char *const kNames[] = {"none", "gzip", "snappy", "lz4", "zstd"};
    return codec >= 0 && codec <= 4 ? kNames[codec] : "unknown";
}

inline bool canCompress(int16_t codec) {
    switch (codec) {
#ifdef BQX_TEST_ZLIB
    case 1: return true;
#endif
#ifdef BQX_TEST_SNAPPY
    case 2: return true;
#endif
#ifdef BQX_TEST_LZ4
    case 3: return true;
#endif
#ifdef BQX_TEST_ZSTD
    case 4: return true;
#endif
    default: return false;
    }
}

#ifdef BQX_TEST_ZLIB
inline Bytes gzipBytes(const uint8_t *in, size_t len) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    Bytes out(deflateBound(&z, static_cast<uLong>(len)));
    z.next_in = const_cast<uint8_t *>(in);
    z.avail_in = static_cast<uInt>(len);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : Bytes{};
}
#endif

#ifdef BQX_TEST_SNAPPY
inline Bytes snappyRaw(const uint8_t *in, size_t len) {
    size_t outLen = snappy_max_compressed_length(len);
    Bytes out(outLen);
    if (snappy_compress(reinterpret_cast<const char *>(in), len,
                        reinterpret_cast<char *>(out.data()), &outLen) != SNAPPY_OK)
        return {};
    out.resize(outLen);
    return out;
}

// The framed layout: 0x82 "SNAPPY" 0, two big-endian int32 versions (1, 1),
// then per block its big-endian int32 length and the raw snappy bytes.
inline Bytes snappyFramed(const uint8_t *in, size_t len, uint32_t blockBytes) {
    Out out;
    out.be(0x82, 1).bytes({'S', 'N', 'A', 'P', 'P', 'Y', 0}).be(1, 4).be(1, 4);
    for (size_t at = 0; at < len; at += blockBytes) {
        size_t part = len - at < blockBytes ? len - at : blockBytes;
        Bytes block = snappyRaw(in + at, part);
        out.be(block.size(), 4).bytes(block);
    }
    return out.b;
}
#endif

#ifdef BQX_TEST_LZ4
inline Bytes lz4Frame(const uint8_t *in, size_t len, const Compression &c) {
    LZ4F_preferences_t prefs{};
    prefs.frameInfo.contentChecksumFlag = c.checksum ? LZ4F_contentChecksumEnabled
                                                     : LZ4F_noContentChecksum;
    prefs.frameInfo.contentSize = c.contentSize ? len : 0;
    Bytes out(LZ4F_compressFrameBound(len, &prefs));
    size_t n = LZ4F_compressFrame(out.data(), out.size(), in, len, &prefs);
    if (LZ4F_isError(n))
        return {};
    out.resize(n);
    return out;
}
#endif

#ifdef BQX_TEST_ZSTD
inline Bytes zstdFrame(const uint8_t *in, size_t len, const Compression &c) {
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, c.checksum ? 1 : 0);
    Bytes out(ZSTD_compressBound(len));
    size_t n = ZSTD_compress2(cctx, out.data(), out.size(), in, len);
    ZSTD_freeCCtx(cctx);
    if (ZSTD_isError(n))
        return {};
    out.resize(n);
    return out;
}
#endif

// `plain` compressed by the codec's own library; empty when this build of
// the tests cannot compress with it.
inline Bytes compressBytes(const Compression &c, const Bytes &plain) {
    [[maybe_unused]] const uint8_t *in = plain.data();
    [[maybe_unused]] size_t len = plain.size();
    switch (c.codec) {
#ifdef BQX_TEST_ZLIB
    case 1: return gzipBytes(in, len);
#endif
#ifdef BQX_TEST_SNAPPY
    case 2: return c.framed ? snappyFramed(in, len, c.blockBytes) : snappyRaw(in, len);
#endif
#ifdef BQX_TEST_LZ4
    case 3: return lz4Frame(in, len, c);
#endif
#ifdef BQX_TEST_ZSTD
    case 4: return zstdFrame(in, len, c);
#endif
    default: return {};
    }
}

inline Bytes encodeRecords(const std::vector<TestRecord> &records) {
    Out out;
    for (const TestRecord &r : records) out.bytes(encodeRecord(r));
    return out.b;
}

// The batch with its records compressed: the same offsets and record count,
// the codec in its attributes. Its records are empty when the codec cannot
// be used here (check canCompress).
inline TestBatch compressedBatch(const TestBatch &t, const Compression &c) {
    TestBatch out = t;
    out.attributes = static_cast<int16_t>(t.attributes | c.codec);
    out.rawCount = static_cast<int32_t>(t.records.size());
    out.rawRecords = compressBytes(c, encodeRecords(t.records));
    if (out.lastOffsetDelta < 0) {
        out.lastOffsetDelta = 0;
        for (const TestRecord &r : t.records)
            out.lastOffsetDelta = r.offsetDelta > out.lastOffsetDelta ? r.offsetDelta : out.lastOffsetDelta;
    }
    out.records.clear();
    return out;
}

struct TestReply {
    int32_t partition = 0;
    Bytes records = {};
    std::vector<std::pair<int64_t, int64_t>> aborted = {}; // producer id, first offset
    int16_t error = 0;
    int16_t partitionError = 0;
    std::string topic = "t";
};

// The reply as received, from its size field on: one topic (the first
// part's) and a section per part, in their order.
inline Bytes fetchReplyOf(int32_t correlId, const std::vector<TestReply> &parts) {
    const TestReply &first = parts.at(0);
    Out body;
    body.be(0, 4).be(static_cast<uint16_t>(first.error), 2).be(0, 4).be(1, 4);
    body.be(first.topic.size(), 2).bytes(Bytes(first.topic.begin(), first.topic.end()));
    body.be(parts.size(), 4);
    for (const TestReply &t : parts) {
        body.be(static_cast<uint32_t>(t.partition), 4);
        body.be(static_cast<uint16_t>(t.partitionError), 2).be(99, 8).be(99, 8).be(0, 8);
        if (t.aborted.empty()) {
            body.be(0xFFFFFFFF, 4);
        } else {
            body.be(t.aborted.size(), 4);
            for (const auto &a : t.aborted)
                body.be(static_cast<uint64_t>(a.first), 8).be(static_cast<uint64_t>(a.second), 8);
        }
        body.be(0xFFFFFFFF, 4).be(t.records.size(), 4).bytes(t.records);
    }
    Out reply;
    reply.be(body.b.size() + 4, 4).be(static_cast<uint32_t>(correlId), 4).bytes(body.b);
    return reply.b;
}

inline Bytes fetchReply(int32_t correlId, const TestReply &t) {
    return fetchReplyOf(correlId, {t});
}

} // namespace bqxtest

#endif
