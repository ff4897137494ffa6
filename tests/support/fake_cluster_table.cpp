// The hand-built session of the fake cluster: a broker table the test
// fills, entries connected to socket pairs.
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "api/session.h"
#include "bqx.h"
#include "support/fake_cluster.h"
#include "transport/transport.h"

namespace bqxtest {

TableSession::TableSession() : savedWaitSeconds_(gi32ReplyWaitSeconds) {
    captureLines([&] { handle = BQXOPEN(); });
    pcb = get_BQXPCB(handle);
}

TableSession::~TableSession() {
    gi32ReplyWaitSeconds = savedWaitSeconds_;
    if (pcb) {
        kafka_clearBrokers(pcb); // drops pending requests without waiting
        pcb->iDebugLevel = 0;    // no statistics lines
    }
    if (locked_)
        kafka_unlock("TEST");
    // The close logs the messages that were sent and never answered.
    if (pcb)
        captureLines([&] { BQXCLSE(handle); });
    retirePeers();
    for (int fd : retired_)
        close(fd);
}

void TableSession::retirePeers() {
    for (int fd : peers)
        if (fd >= 0)
            retired_.push_back(fd);
    peers.clear();
}

void TableSession::table(uint32_t count, int port) {
    kafka_clearBrokers(pcb);
    retirePeers();
    pcb->pBrokerList = static_cast<BrokerEntry *>(calloc(count, sizeof(BrokerEntry)));
    pcb->u32BrokerCount = count;
    peers.assign(count, -1);
    for (uint32_t i = 0; i < count; ++i) {
        BrokerEntry &e = pcb->pBrokerList[i];
        e.pszHost = strdup("127.0.0.1");
        e.i32Port = port;
        e.i32BrokerID = static_cast<int32_t>(i);
        e.i32Socket = -1;
    }
}

void TableSession::brokers(const std::vector<int32_t> &ids, const std::vector<bool> &connected) {
    table(static_cast<uint32_t>(ids.size()) + 2, 1);
    for (uint32_t i = 0; i < pcb->u32BrokerCount; ++i) {
        pcb->pBrokerList[i].i32BrokerID = i < ids.size() ? ids[i] : 0;
        if (i < ids.size() && connected[i])
            connect(i);
    }
}

void TableSession::setHost(uint32_t index, const char *host, int port) {
    BrokerEntry &e = entry(index);
    free(e.pszHost);
    e.pszHost = host ? strdup(host) : nullptr;
    e.i32Port = port;
}

int TableSession::attach(uint32_t index) {
    int pair[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    entry(index).i32Socket = pair[0];
    if (peers.size() <= index)
        peers.resize(index + 1, -1);
    if (peers[index] >= 0)
        retired_.push_back(peers[index]);
    peers[index] = pair[1];
    return pair[1];
}

void TableSession::connect(uint32_t index) { attach(index); }

void TableSession::partitions(const std::vector<std::array<int32_t, 3>> &rows) {
    pcb->pPartitionList = static_cast<PartitionEntry *>(
        calloc(rows.size() ? rows.size() : 1, sizeof(PartitionEntry)));
    pcb->u32PartitionCount = static_cast<uint32_t>(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        pcb->pPartitionList[i].i32Partition = rows[i][0];
        pcb->pPartitionList[i].i32Leader = rows[i][1];
        pcb->pPartitionList[i].i32BrokerIdx = rows[i][2];
        pcb->pPartitionList[i].u32Assigned = 1;
    }
}

void TableSession::topic(const std::string &name) {
    free(pcb->pszTopic);
    pcb->pszTopic = strdup(name.c_str());
}

ByteVec TableSession::takeRequest(uint32_t index) {
    uint8_t size[4];
    if (recv(peers[index], size, 4, MSG_DONTWAIT) != 4)
        return {};
    ByteVec request(size, size + 4);
    request.resize(4 + readBe32(size));
    size_t have = 4;
    while (have < request.size()) {
        ssize_t got = recv(peers[index], request.data() + have, request.size() - have, 0);
        if (got <= 0)
            return {};
        have += static_cast<size_t>(got);
    }
    return request;
}

void TableSession::preReply(uint32_t index, const ByteVec &reply) {
    EXPECT_EQ(send(peers[index], reply.data(), reply.size(), 0),
              static_cast<ssize_t>(reply.size()));
}

ByteVec TableSession::request(uint32_t index, int16_t key, int16_t version, const ByteVec &body) {
    WireBytes w;
    w.i32(0).i16(key).i16(version).i32(++entry(index).u32LastCorrelID).str("BqX");
    w.bytes.insert(w.bytes.end(), body.begin(), body.end());
    return w.bytes;
}

int32_t TableSession::queue(uint32_t index, int16_t key, int32_t wait, const ByteVec &body) {
    ByteVec bytes = request(index, key, key == kApiVersionsKey ? 3 : 0, body);
    return kafka_sendqueue(pcb, index, bytes.data(), static_cast<uint32_t>(bytes.size()), wait);
}

void TableSession::holdLock() {
    kafka_lock("TEST");
    locked_ = true;
}

} // namespace bqxtest
