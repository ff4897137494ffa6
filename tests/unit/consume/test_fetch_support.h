// Fetch tests: a session whose test body holds the global lock, request
// parsing, and request and reply bytes.
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

struct ParsedRequest {
    int16_t key = -1;
    int16_t version = -1;
    uint32_t correlId = 0;
    ByteVec body;
};

inline ParsedRequest parseRequest(const ByteVec &request) {
    ParsedRequest parsed;
    if (request.size() < 14) return parsed;
    parsed.key = static_cast<int16_t>((request[4] << 8) | request[5]);
    parsed.version = static_cast<int16_t>((request[6] << 8) | request[7]);
    parsed.correlId = readBe32(&request[8]);
    size_t header = 14 + ((request[12] << 8) | request[13]);
    if (header <= request.size()) parsed.body.assign(request.begin() + header, request.end());
    return parsed;
}

// The partition id a Fetch of version 11 names (-1 if it is no Fetch).
inline int32_t fetchedPartition(const ByteVec &request) {
    ParsedRequest parsed = parseRequest(request);
    if (parsed.key != 1 || parsed.body.size() < 35) return -1;
    size_t topicLen = (parsed.body[29] << 8) | parsed.body[30];
    size_t at = 31 + topicLen + 4;
    if (at + 4 > parsed.body.size()) return -1;
    return static_cast<int32_t>(readBe32(&parsed.body[at]));
}

inline ByteVec fetchBody(const std::string &topic, int32_t partition, int64_t offset,
                         int32_t maxWaitMs = 1500) {
    WireBytes w;
    w.i32(-1).i32(maxWaitMs).i32(3).i32(16384).i8(1).i32(0).i32(-1).i32(1).str(topic);
    w.i32(1).i32(partition).i32(-1).i64(offset).i64(-1).i32(16128).i32(0).i16(0);
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
