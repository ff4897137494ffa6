// Shared pieces of the protocol tests: a session whose broker table and
// partition list are set up by hand, brokers played by socket pairs, and
// builders for request inspection and reply bytes.
#ifndef BQX_TESTS_SUPPORT_PROTOCOL_SUPPORT_H
#define BQX_TESTS_SUPPORT_PROTOCOL_SUPPORT_H

#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "support/log_capture.h"
#include "transport/transport.h"

namespace bqxtest {

using ByteVec = std::vector<uint8_t>;

// The coordinator entry of a table with two brokers (TableSession::brokers
// with two ids): brokers, bootstrap, coordinator.
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

inline uint32_t readBe32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// An open session (BQXOPEN) whose broker table is built by the test.
// Connected brokers are socket pairs: the library holds one end, the test
// reads requests from and writes replies to the other.
class TableSession {
  public:
    TableSession() {
        captureLines([&] { handle = BQXOPEN(); });
        pcb = get_BQXPCB(handle);
    }
    ~TableSession() {
        if (!pcb) return;
        kafka_clearBrokers(pcb); // drops pending requests without waiting
        pcb->iDebugLevel = 0;    // no statistics lines
        // The close logs the messages that were sent and never answered.
        captureLines([&] { BQXCLSE(handle); });
        for (int fd : peers) if (fd >= 0) close(fd);
    }
    TableSession(const TableSession &) = delete;
    TableSession &operator=(const TableSession &) = delete;

    // Brokers with the given node ids, then the bootstrap and coordinator
    // slots. `connected[i]` gives broker i a socket pair.
    void brokers(const std::vector<int32_t> &ids, const std::vector<bool> &connected) {
        uint32_t count = static_cast<uint32_t>(ids.size()) + 2;
        pcb->pBrokerList = static_cast<BrokerEntry *>(calloc(count, sizeof(BrokerEntry)));
        pcb->u32BrokerCount = count;
        peers.assign(count, -1);
        for (uint32_t i = 0; i < count; ++i) {
            BrokerEntry &entry = pcb->pBrokerList[i];
            entry.i32Socket = -1;
            entry.pszHost = strdup("127.0.0.1");
            entry.i32Port = 1;
            if (i >= ids.size()) continue;
            entry.i32BrokerID = ids[i];
            if (connected[i]) connect(i);
        }
    }
    void connect(uint32_t index) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        pcb->pBrokerList[index].i32Socket = pair[0];
        peers[index] = pair[1];
    }
    // Partition entries {partition id, leader id, broker index}.
    void partitions(const std::vector<std::array<int32_t, 3>> &rows) {
        pcb->pPartitionList =
            static_cast<PartitionEntry *>(calloc(rows.size() ? rows.size() : 1, sizeof(PartitionEntry)));
        pcb->u32PartitionCount = static_cast<uint32_t>(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            pcb->pPartitionList[i].i32Partition = rows[i][0];
            pcb->pPartitionList[i].i32Leader = rows[i][1];
            pcb->pPartitionList[i].i32BrokerIdx = rows[i][2];
            pcb->pPartitionList[i].u32Assigned = 1;
        }
    }
    void topic(const std::string &name) {
        free(pcb->pszTopic);
        pcb->pszTopic = strdup(name.c_str());
    }
    // The next request that broker `index` received, or nothing.
    ByteVec takeRequest(uint32_t index) {
        uint8_t size[4];
        if (recv(peers[index], size, 4, MSG_DONTWAIT) != 4) return {};
        ByteVec request(size, size + 4);
        request.resize(4 + readBe32(size));
        size_t have = 4;
        while (have < request.size()) {
            ssize_t got = recv(peers[index], request.data() + have, request.size() - have, 0);
            if (got <= 0) return {};
            have += static_cast<size_t>(got);
        }
        return request;
    }
    // Places a reply in the socket of broker `index` before it is asked.
    void preReply(uint32_t index, const ByteVec &reply) {
        ASSERT_EQ(send(peers[index], reply.data(), reply.size(), 0),
                  static_cast<ssize_t>(reply.size()));
    }

    int32_t handle = -1;
    PCB *pcb = nullptr;
    std::vector<int> peers;
};

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

// A Produce reply of version 7 for one partition.
inline ByteVec produceReply(int32_t correlId, const std::string &topic, int32_t partition,
                            int16_t error) {
    WireBytes w;
    w.i32(1).str(topic).i32(1).i32(partition).i16(error).i64(42).i64(-1).i64(0).i32(0);
    return w.reply(correlId);
}

} // namespace bqxtest

#endif
