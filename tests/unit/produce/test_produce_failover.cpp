// BQXPROD in synch mode 1 when a partition's leader moves: two fake
// brokers (nodes 1 and 2) play a cluster whose Metadata names the leader
// of the topic's one partition. Node 1 leads first and then refuses or
// drops the Produce; the test checks what is sent again, and where.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "support/fake_cluster.h"

using namespace bqxtest;

namespace {

constexpr const char *kTopic = "moving";
constexpr int16_t kNotLeader = 6;

class ProduceFailover : public ::testing::Test {
  protected:
    void SetUp() override {
        cluster_.onProduce([this](size_t node, const ProduceRequest &request) {
            int code = produceAnswer[node];
            if (code < 0) return FakeAction::close();
            return bqxtest::produceAnswer(request, [code](int32_t) { return int16_t(code); });
        });
        ASSERT_EQ(session_.connect(cluster_), 0);
        ASSERT_EQ(session_.sync(1), 0);
    }
    int32_t produce(const std::string &key) { return session_.produce(key, "m"); }
    void leader(int32_t node) { cluster_.setLeader(0, node); }
    int count(size_t node, int16_t apiKey) { return cluster_.count(node, apiKey); }

    // What each node answers to a Produce: an error code, or -1 to close.
    std::atomic<int> produceAnswer[2] = {0, 0};
    FakeCluster cluster_{kTopic, 2, {1}}; // nodes 1 and 2; node 1 leads first
    ClusterSession session_{2};
};

// The old leader refuses the record; fresh Metadata names node 2, which
// gets the record once; the call succeeds. Without a key the same holds.
TEST_F(ProduceFailover, RefusedRecordGoesOnceToTheNewLeader) {
    for (const char *key : {"key-a", ""}) {
        SCOPED_TRACE(key);
        leader(1);
        ASSERT_EQ(produce(key), 0) << "the first leader accepts";
        int metadataBefore = count(0, 3) + count(1, 3);
        int firstBefore = count(0, 0), secondBefore = count(1, 0);
        produceAnswer[0] = kNotLeader;
        leader(2);
        EXPECT_EQ(produce(key), 0);
        EXPECT_EQ(count(0, 0) - firstBefore, 1);
        EXPECT_EQ(count(1, 0) - secondBefore, 1);
        EXPECT_EQ(count(0, 3) + count(1, 3) - metadataBefore, 1);
        // Back to node 1 for the next round: it is told by a refusal of node 2.
        produceAnswer[0] = 0;
        produceAnswer[1] = kNotLeader;
        leader(1);
        EXPECT_EQ(produce(key), 0);
        produceAnswer[1] = 0;
    }
}

// A second refusal ends the call with the error; nothing is sent a third time.
TEST_F(ProduceFailover, SecondRefusalIsReturned) {
    ASSERT_EQ(produce("key-a"), 0);
    produceAnswer[0] = kNotLeader;
    produceAnswer[1] = kNotLeader;
    leader(2);
    EXPECT_EQ(produce("key-a"), 7510);
    EXPECT_EQ(count(0, 0), 2);
    EXPECT_EQ(count(1, 0), 1);
}

// A record whose connection ended before its reply may have been written:
// the call fails and the record is not sent again. The lost connection
// makes the next call ask for Metadata, which leads it to node 2.
TEST_F(ProduceFailover, LostConnectionIsReportedAndNotResent) {
    ASSERT_EQ(produce("key-a"), 0);
    int metadataBefore = count(0, 3);
    produceAnswer[0] = -1;
    leader(2);
    int32_t rc = produce("key-a");
    EXPECT_TRUE(rc == 7500 || rc == 7501) << rc;
    EXPECT_EQ(count(0, 0), 2);
    EXPECT_EQ(count(1, 0), 0) << "the record was sent again";
    EXPECT_EQ(count(0, 3), metadataBefore) << "refreshed before the call's end";
    EXPECT_EQ(produce("key-a"), 0);
    EXPECT_EQ(count(1, 0), 1);
    EXPECT_EQ(count(0, 3) + count(1, 3), metadataBefore + 1);
}

// The refresh asks the broker it is connected to first; when that one
// drops the connection, it goes on with the next broker it can reach.
TEST_F(ProduceFailover, RefreshAsksTheNextBrokerWhenOneDropsTheConnection) {
    ASSERT_EQ(produce("key-a"), 0);
    produceAnswer[0] = kNotLeader;
    cluster_.dropMetadata(0, true);
    leader(2);
    EXPECT_EQ(produce("key-a"), 0);
    EXPECT_EQ(count(1, 3), 1) << "node 2 was never asked";
    EXPECT_EQ(count(1, 0), 1);
}

} // namespace
