// Shared pieces of the protocol tests: builders of reply bytes and a
// reader for request bytes. The sessions they serve are in fake_cluster.h.
#ifndef BQX_TESTS_SUPPORT_PROTOCOL_SUPPORT_H
#define BQX_TESTS_SUPPORT_PROTOCOL_SUPPORT_H

#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "support/log_capture.h"
#include "transport/transport.h"

namespace bqxtest {

using ByteVec = std::vector<uint8_t>;

// The bootstrap and coordinator entries of a table with two brokers
// (TableSession::brokers with two ids): brokers, bootstrap, coordinator.
constexpr uint32_t kBootstrap = 2;
constexpr uint32_t kCoordinator = 3;

// Big-endian bytes of a reply or of an expected request.
struct WireBytes {
    ByteVec bytes;
    WireBytes &i8(int v) { bytes.push_back(static_cast<uint8_t>(v)); return *this; }
    WireBytes &i16(int v) { return be(static_cast<uint64_t>(v), 2); }
    WireBytes &i32(int64_t v) { return be(static_cast<uint64_t>(v), 4); }
    WireBytes &i64(int64_t v) { return be(static_cast<uint64_t>(v), 8); }
    WireBytes &uvarint(uint64_t v) {
        for (; v >= 0x80; v >>= 7) bytes.push_back(static_cast<uint8_t>(v | 0x80));
        bytes.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    WireBytes &raw(const std::string &s) { bytes.insert(bytes.end(), s.begin(), s.end()); return *this; }
    WireBytes &str(const std::string &s) { return i16(static_cast<int>(s.size())).raw(s); }
    WireBytes &compact(const std::string &s) { return uvarint(s.size() + 1).raw(s); }
    WireBytes &be(uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    // The reply as received: size field, correlation id, then these bytes.
    ByteVec reply(int32_t correlId) const {
        WireBytes out;
        out.i32(static_cast<int64_t>(bytes.size()) + 4).i32(correlId);
        out.bytes.insert(out.bytes.end(), bytes.begin(), bytes.end());
        return out.bytes;
    }
};

// A reply frame: size field, correlation id, then `body`.
inline ByteVec replyFrame(uint32_t correlId, const ByteVec &body) {
    return WireBytes{body}.reply(static_cast<int32_t>(correlId));
}

inline uint32_t readBe32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The bytes behind a request's header (size, key, version, correlation id
// and the client id; 17 bytes with the client id "BqX").
constexpr size_t kRequestHeaderBytes = 17;

// Reads a request back field by field, big-endian, from behind its header.
// A read past the end yields 0 and clears `ok`: it never leaves the bytes.
struct RequestReader {
    const ByteVec &b;
    size_t pos = headerEnd(b);
    bool ok = true;

    static size_t headerEnd(const ByteVec &bytes) {
        return bytes.size() < 14 ? bytes.size() : 14 + ((bytes[12] << 8) | bytes[13]);
    }
    bool has(uint64_t n) {
        ok = ok && pos <= b.size() && b.size() - pos >= n;
        return ok;
    }
    int64_t be(int width) { // sign-extended
        if (!has(static_cast<uint64_t>(width)))
            return 0;
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | b[pos++];
        if (width < 8 && (v >> (8 * width - 1)) & 1)
            v |= ~uint64_t{0} << (8 * width);
        return static_cast<int64_t>(v);
    }
    uint64_t uvarint() {
        uint64_t v = 0;
        for (int shift = 0; has(1) && shift < 64; shift += 7) {
            uint8_t byte = b[pos++];
            v |= uint64_t{byte & 0x7Fu} << shift;
            if (!(byte & 0x80))
                break;
        }
        return v;
    }
    int64_t varint() { // zigzag
        uint64_t u = uvarint();
        return static_cast<int64_t>(u >> 1) ^ -static_cast<int64_t>(u & 1);
    }
    std::string bytes(int64_t n) {
        if (n < 0 || !has(static_cast<uint64_t>(n)))
            return {};
        std::string s(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + n));
        pos += static_cast<size_t>(n);
        return s;
    }
    std::string str() { // "<null>" for the null text
        int64_t n = be(2);
        return n < 0 ? "<null>" : bytes(n);
    }
    std::string compact() { // compact string; the null one reads as empty
        uint64_t n = uvarint();
        return n == 0 ? std::string() : bytes(static_cast<int64_t>(n - 1));
    }
    int16_t apiKey() const { return b.size() < 8 ? -1 : static_cast<int16_t>((b[4] << 8) | b[5]); }
    int16_t apiVersion() const {
        return b.size() < 8 ? -1 : static_cast<int16_t>((b[6] << 8) | b[7]);
    }
};

// A request split into its header fields and its body.
struct ParsedRequest {
    int16_t key = -1;
    int16_t version = -1;
    uint32_t correlId = 0;
    ByteVec body;
};

inline ParsedRequest parseRequest(const ByteVec &request) {
    ParsedRequest parsed;
    if (request.size() < 14)
        return parsed;
    RequestReader in{request};
    parsed.key = in.apiKey();
    parsed.version = in.apiVersion();
    parsed.correlId = readBe32(&request[8]);
    if (in.pos <= request.size())
        parsed.body.assign(request.begin() + static_cast<long>(in.pos), request.end());
    return parsed;
}

// Hands each prefix of `full` from `from` bytes on, short of the whole, to
// `handler` in a buffer of exactly that size, so that any read past its end
// is caught by AddressSanitizer.
template <class Handler>
void forEachPrefix(const ByteVec &full, size_t from, Handler handler) {
    for (size_t length = from; length < full.size(); ++length) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[length ? length : 1]);
        memcpy(exact.get(), full.data(), length);
        SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
        handler(exact.get(), static_cast<uint32_t>(length));
    }
}

// The bytes of a reply behind its size field and correlation id.
inline ByteVec bodyOf(const ByteVec &reply) {
    return reply.size() < 8 ? ByteVec() : ByteVec(reply.begin() + 8, reply.end());
}

struct MetaBroker {
    int32_t id;
    std::string host;
    int32_t port;
};

struct MetaPartition {
    int32_t id;
    int32_t leader;
    std::vector<int32_t> replicas;
    std::vector<int32_t> isr;
    int16_t error = 0;
};

// A Metadata reply of version 4 for one topic.
inline ByteVec metadataReply(int32_t correlId, const std::vector<MetaBroker> &brokers,
                             int16_t topicError, const std::string &topic,
                             const std::vector<MetaPartition> &partitions) {
    WireBytes w;
    w.i32(0).i32(static_cast<int64_t>(brokers.size()));
    for (const MetaBroker &b : brokers) w.i32(b.id).str(b.host).i32(b.port).i16(-1);
    w.str("cluster-1").i32(brokers.empty() ? -1 : brokers[0].id).i32(1);
    w.i16(topicError).str(topic).i8(0).i32(static_cast<int64_t>(partitions.size()));
    for (const MetaPartition &p : partitions) {
        w.i16(p.error).i32(p.id).i32(p.leader).i32(static_cast<int64_t>(p.replicas.size()));
        for (int32_t r : p.replicas) w.i32(r);
        w.i32(static_cast<int64_t>(p.isr.size()));
        for (int32_t r : p.isr) w.i32(r);
    }
    return w.reply(correlId);
}

// A SaslAuthenticate reply body (version 2); an empty message is sent as
// the null text.
inline ByteVec saslAuthenticateBody(int16_t error, const std::string &message,
                                    const std::string &auth = "", int64_t lifetimeMs = 0) {
    WireBytes w;
    w.i8(0).i16(error);
    if (message.empty())
        w.uvarint(0);
    else
        w.compact(message);
    return w.compact(auth).i64(lifetimeMs).i8(0).bytes;
}

// A Produce reply of version 7 for one partition.
inline ByteVec produceReply(int32_t correlId, const std::string &topic, int32_t partition,
                            int16_t error) {
    WireBytes w;
    w.i32(1).str(topic).i32(1).i32(partition).i16(error).i64(42).i64(-1).i64(0).i32(0);
    return w.reply(correlId);
}

inline ByteVec findCoordinatorReply(int32_t correlId, int16_t error, int32_t nodeId,
                                    const std::string &host, int32_t port) {
    WireBytes w;
    w.i32(0).i16(error).i16(-1).i32(nodeId).str(host).i32(port);
    return w.reply(correlId);
}

struct JoinMember {
    std::string id;
    std::string metadata;
};

// A JoinGroup reply; an empty leader or member id is sent as the null text.
inline ByteVec joinGroupReply(int32_t correlId, int16_t error, int32_t generation,
                              const std::string &leader, const std::string &member,
                              const std::vector<JoinMember> &members) {
    WireBytes w;
    w.i32(0).i16(error).i32(generation).str("range");
    if (leader.empty())
        w.i16(-1);
    else
        w.str(leader);
    if (member.empty())
        w.i16(-1);
    else
        w.str(member);
    w.i32(static_cast<int64_t>(members.size()));
    for (const JoinMember &m : members)
        w.str(m.id).i16(-1).i32(static_cast<int64_t>(m.metadata.size())).raw(m.metadata);
    return w.reply(correlId);
}

// The assignment bytes a member receives: version 1, one topic, the ids and
// `userData` (the trailing user data length is always written).
inline ByteVec assignmentBytes(const std::string &topic, const std::vector<int32_t> &ids,
                               const std::string &userData = "") {
    WireBytes w;
    w.i16(1).i32(1).str(topic).i32(static_cast<int64_t>(ids.size()));
    for (int32_t id : ids)
        w.i32(id);
    w.i32(static_cast<int64_t>(userData.size())).raw(userData);
    return w.bytes;
}

inline ByteVec syncGroupReply(int32_t correlId, int16_t error, const ByteVec &assignment) {
    WireBytes w;
    w.i32(0).i16(error).i32(static_cast<int64_t>(assignment.size()));
    w.bytes.insert(w.bytes.end(), assignment.begin(), assignment.end());
    return w.reply(correlId);
}

inline ByteVec leaveGroupReply(int32_t correlId, int16_t error) {
    WireBytes w;
    w.i8(0).i32(0).i16(error).uvarint(1).i8(0);
    return w.reply(correlId);
}

struct FetchedOffset {
    int32_t partition;
    int64_t offset;
    int16_t error = 0;
};

// An OffsetFetch reply of version 7; without `topic` it is the group-level
// form that lists no topics.
inline ByteVec offsetFetchReply(int32_t correlId, const std::vector<FetchedOffset> &partitions,
                                int16_t groupError, bool withTopic = true,
                                const std::string &topic = "orders") {
    WireBytes w;
    w.i8(0).i32(0); // header tags, throttle
    if (withTopic) {
        w.uvarint(2).compact(topic).uvarint(partitions.size() + 1);
        for (const FetchedOffset &p : partitions)
            w.i32(p.partition).i64(p.offset).i32(-1).uvarint(0).i16(p.error).i8(0);
        w.i8(0); // topic tags
    } else {
        w.uvarint(1);
    }
    w.i16(groupError).i8(0);
    return w.reply(correlId);
}

struct CommitResult {
    int32_t partition;
    int16_t error = 0;
};

// An OffsetCommit reply of version 8 for one topic.
inline ByteVec offsetCommitReply(int32_t correlId, const std::vector<CommitResult> &partitions,
                                 const std::string &topic = "orders") {
    WireBytes w;
    w.i8(0).i32(0).uvarint(2).compact(topic).uvarint(partitions.size() + 1);
    for (const CommitResult &p : partitions)
        w.i32(p.partition).i16(p.error).i8(0);
    w.i8(0).i8(0); // topic tags, reply tags
    return w.reply(correlId);
}

// A Heartbeat reply of version 4.
inline ByteVec heartbeatReply(int32_t correlId, int16_t error) {
    WireBytes w;
    w.i8(0).i32(0).i16(error).i8(0);
    return w.reply(correlId);
}

struct OffsetRow {
    int32_t partition;
    int16_t error;
    int64_t offset;
};

inline ByteVec listOffsetsReply(int32_t correlId, int version, const std::string &topic,
                                const std::vector<OffsetRow> &rows) {
    WireBytes w;
    w.i32(1).str(topic).i32(static_cast<int64_t>(rows.size()));
    for (const OffsetRow &row : rows) {
        w.i32(row.partition).i16(row.error);
        if (version == 0)
            w.i32(1).i64(row.offset);
        else
            w.i64(-1).i64(row.offset);
    }
    return w.reply(correlId);
}

} // namespace bqxtest

#endif
