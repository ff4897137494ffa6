// Builds Fetch replies (version 11) with record batches of format version 2
// whose CRC-32C is computed, for the record decoder's tests and fuzz driver.
#ifndef BQX_TESTS_FETCH_REPLY_BUILDER_H
#define BQX_TESTS_FETCH_REPLY_BUILDER_H

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/codec.h"

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

struct TestReply {
    int32_t partition = 0;
    Bytes records = {};
    std::vector<std::pair<int64_t, int64_t>> aborted = {}; // producer id, first offset
    int16_t error = 0;
    int16_t partitionError = 0;
};

// The reply as received, from its size field on.
inline Bytes fetchReply(int32_t correlId, const TestReply &t) {
    Out body;
    body.be(0, 4).be(static_cast<uint16_t>(t.error), 2).be(0, 4).be(1, 4);
    body.be(1, 2).be('t', 1).be(1, 4).be(static_cast<uint32_t>(t.partition), 4);
    body.be(static_cast<uint16_t>(t.partitionError), 2).be(99, 8).be(99, 8).be(0, 8);
    if (t.aborted.empty()) {
        body.be(0xFFFFFFFF, 4);
    } else {
        body.be(t.aborted.size(), 4);
        for (const auto &a : t.aborted)
            body.be(static_cast<uint64_t>(a.first), 8).be(static_cast<uint64_t>(a.second), 8);
    }
    body.be(0xFFFFFFFF, 4).be(t.records.size(), 4).bytes(t.records);
    Out reply;
    reply.be(body.b.size() + 4, 4).be(static_cast<uint32_t>(correlId), 4).bytes(body.b);
    return reply.b;
}

} // namespace bqxtest

#endif
