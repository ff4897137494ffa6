// Fetch tests: the fake cluster's hand-built session, its test body holding
// the global lock, the partition a Fetch names, expected request bytes and
// version offers.
#ifndef BQX_TESTS_UNIT_TEST_FETCH_SUPPORT_H
#define BQX_TESTS_UNIT_TEST_FETCH_SUPPORT_H

#include <stdlib.h>

#include <string>
#include <vector>

#include "support/fake_cluster.h"

namespace bqxtest {

// The test body holds the global lock, as the consume call does.
class FetchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        gi32ReplyWaitSeconds = 2; // the session restores it
        s.holdLock();
        s.topic("orders");
    }
    void dropTables() {
        kafka_clearBrokers(s.pcb);
        free(s.pcb->pPartitionList);
        s.pcb->pPartitionList = nullptr;
        s.pcb->u32PartitionCount = 0;
        s.pcb->u32MetadataStale = 0;
        for (int &fd : s.peers) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    PartitionEntry &part(uint32_t i) { return s.pcb->pPartitionList[i]; }
    BrokerEntry &broker(uint32_t i) { return s.pcb->pBrokerList[i]; }

    TableSession s;
};

// The partition id a Fetch of version 11 names (-1 if it is no Fetch).
// Every partition a Fetch request names, in its order.
inline std::vector<int32_t> fetchedPartitions(const ByteVec &request) {
    RequestReader in{request};
    std::vector<int32_t> out;
    if (in.apiKey() != 1)
        return out;
    in.pos += 4 + 4 + 4 + 4 + 1 + 4 + 4 + 4; // up to the topic name
    in.str();
    uint32_t count = in.be(4);
    for (uint32_t k = 0; k < count && in.ok; ++k) {
        out.push_back(static_cast<int32_t>(in.be(4)));
        in.pos += 4 + 8 + 8 + 4;
    }
    return in.ok ? out : std::vector<int32_t>{};
}

// A Fetch body (version 11) for (partition, offset) pairs, by default with
// the default sizes: 50 MiB in all, 1 MiB per partition.
inline ByteVec fetchBody(const std::string &topic,
                         std::initializer_list<std::pair<int32_t, int64_t>> parts,
                         int32_t maxWaitMs = 0, int32_t maxBytes = 50 << 20,
                         int32_t partitionMaxBytes = 1 << 20) {
    WireBytes w;
    w.i32(-1).i32(maxWaitMs).i32(1).i32(maxBytes).i8(1).i32(0).i32(-1).i32(1).str(topic);
    w.i32(static_cast<int32_t>(parts.size()));
    for (auto [partition, offset] : parts)
        w.i32(partition).i32(-1).i64(offset).i64(-1).i32(partitionMaxBytes);
    w.i32(0).i16(0);
    return w.bytes;
}

// As if the oldest pending request had been answered and its reply used up.
inline void completeOldest(BrokerEntry &entry) {
    PendingRequest *head = entry.pPendingHead;
    if (!head) return;
    entry.pPendingHead = head->pNext;
    if (!entry.pPendingHead) entry.pPendingTail = nullptr;
    entry.u32PendingCount = entry.pPendingHead ? entry.u32PendingCount - 1 : 0;
    entry.u32FetchCorrelID = 0;
    free(head);
}

// Offers exactly the given version range of `apiKey` and nothing else.
inline void offerOnly(BrokerEntry &entry, int apiKey, int16_t lowest, int16_t highest) {
    entry.u32ApiVersionsKnown = 1;
    for (int k = 0; k < kApiKeyLimit; ++k) {
        entry.ai16ApiMinVersion[k] = 0;
        entry.ai16ApiMaxVersion[k] = 20;
    }
    entry.ai16ApiMinVersion[apiKey] = lowest;
    entry.ai16ApiMaxVersion[apiKey] = highest;
}

} // namespace bqxtest

#endif
