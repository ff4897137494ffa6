// BQXPROD in synch mode 1 when a partition's leader moves: two fake
// brokers (nodes 1 and 2) play a cluster whose Metadata names the leader
// of the topic's one partition. Node 1 leads first and then refuses or
// drops the Produce; the test checks what is sent again, and where.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "support/fake_broker.h"
#include "support/log_capture.h"
#include "transport/transport.h"
#include "unit/test_protocol_support.h"

using namespace bqxtest;

namespace {

constexpr const char *kTopic = "moving";
constexpr int16_t kNotLeader = 6;

struct TwoBrokerCluster {
    FakeBroker nodes[2];
    std::atomic<int32_t> leader{1};
    // What each node answers to a Produce: an error code, or -1 to close.
    std::atomic<int> produceAnswer[2] = {0, 0};
    // Nodes that drop the connection on a Metadata request.
    std::atomic<bool> metadataDropped[2] = {false, false};

    TwoBrokerCluster() {
        for (int n = 0; n < 2; ++n)
            nodes[n].respond([this, n](const FakeRequest &r) { return answer(n, r); });
    }
    FakeAction answer(int node, const FakeRequest &r) {
        if (r.apiKey == 18) return FakeAction::reply(apiVersionsBody());
        if (r.apiKey == 3 && metadataDropped[node]) return FakeAction::close();
        if (r.apiKey == 3) return FakeAction::reply(metadataBody());
        if (r.apiKey != 0) return FakeAction::noReply();
        int code = produceAnswer[node];
        if (code < 0) return FakeAction::close();
        ByteVec reply = produceReply(0, kTopic, 0, static_cast<int16_t>(code));
        return FakeAction::reply(ByteVec(reply.begin() + 8, reply.end()));
    }
    ByteVec metadataBody() {
        ByteVec reply = metadataReply(0,
                                      {{1, "127.0.0.1", nodes[0].port()},
                                       {2, "127.0.0.1", nodes[1].port()}},
                                      0, kTopic, {{0, leader, {1, 2}, {1, 2}}});
        return ByteVec(reply.begin() + 8, reply.end());
    }
    int count(int node, int16_t apiKey) {
        int found = 0;
        for (const FakeRequest &r : nodes[node].requests()) found += r.apiKey == apiKey;
        return found;
    }
};

class ProduceFailover : public ::testing::Test {
  protected:
    void SetUp() override {
        savedWait_ = gi32ReplyWaitSeconds;
        gi32ReplyWaitSeconds = 2;
        handle_ = BQXOPEN();
        std::string bootstrap = "127.0.0.1:" + std::to_string(cluster_.nodes[0].port());
        int32_t rc = -1;
        captureLines([&] {
            rc = BQXCONN(handle_, bootstrap.data(), static_cast<int32_t>(bootstrap.size()),
                         kTopic, static_cast<int32_t>(strlen(kTopic)));
            BQXSYNC(handle_, 1, 100, 1);
        });
        ASSERT_EQ(rc, 0);
    }
    void TearDown() override {
        captureLines([&] { BQXCLSE(handle_); });
        gi32ReplyWaitSeconds = savedWait_;
    }
    int32_t produce(const std::string &key) {
        int32_t rc = -1;
        lines_ = captureLines(
            [&] { rc = BQXPROD(handle_, key.data(), static_cast<uint32_t>(key.size()), "m", 1, 0); });
        return rc;
    }

    TwoBrokerCluster cluster_;
    int32_t handle_ = -1;
    int32_t savedWait_ = 0;
    std::vector<std::string> lines_;
};

// The old leader refuses the record; fresh Metadata names node 2, which
// gets the record once; the call succeeds. Without a key the same holds.
TEST_F(ProduceFailover, RefusedRecordGoesOnceToTheNewLeader) {
    for (const char *key : {"key-a", ""}) {
        SCOPED_TRACE(key);
        cluster_.leader = 1;
        ASSERT_EQ(produce(key), 0) << "the first leader accepts";
        int metadataBefore = cluster_.count(0, 3) + cluster_.count(1, 3);
        int firstBefore = cluster_.count(0, 0), secondBefore = cluster_.count(1, 0);
        cluster_.produceAnswer[0] = kNotLeader;
        cluster_.leader = 2;
        EXPECT_EQ(produce(key), 0);
        EXPECT_EQ(cluster_.count(0, 0) - firstBefore, 1);
        EXPECT_EQ(cluster_.count(1, 0) - secondBefore, 1);
        EXPECT_EQ(cluster_.count(0, 3) + cluster_.count(1, 3) - metadataBefore, 1);
        // Back to node 1 for the next round: it is told by a refusal of node 2.
        cluster_.produceAnswer[0] = 0;
        cluster_.produceAnswer[1] = kNotLeader;
        cluster_.leader = 1;
        EXPECT_EQ(produce(key), 0);
        cluster_.produceAnswer[1] = 0;
    }
}

// A second refusal ends the call with the error; nothing is sent a third time.
TEST_F(ProduceFailover, SecondRefusalIsReturned) {
    ASSERT_EQ(produce("key-a"), 0);
    cluster_.produceAnswer[0] = kNotLeader;
    cluster_.produceAnswer[1] = kNotLeader;
    cluster_.leader = 2;
    EXPECT_EQ(produce("key-a"), 7510);
    EXPECT_EQ(cluster_.count(0, 0), 2);
    EXPECT_EQ(cluster_.count(1, 0), 1);
}

// A record whose connection ended before its reply may have been written:
// the call fails and the record is not sent again. The lost connection
// makes the next call ask for Metadata, which leads it to node 2.
TEST_F(ProduceFailover, LostConnectionIsReportedAndNotResent) {
    ASSERT_EQ(produce("key-a"), 0);
    int metadataBefore = cluster_.count(0, 3);
    cluster_.produceAnswer[0] = -1;
    cluster_.leader = 2;
    int32_t rc = produce("key-a");
    EXPECT_TRUE(rc == 7500 || rc == 7501) << rc;
    EXPECT_EQ(cluster_.count(0, 0), 2);
    EXPECT_EQ(cluster_.count(1, 0), 0) << "the record was sent again";
    EXPECT_EQ(cluster_.count(0, 3), metadataBefore) << "refreshed before the call's end";
    EXPECT_EQ(produce("key-a"), 0);
    EXPECT_EQ(cluster_.count(1, 0), 1);
    EXPECT_EQ(cluster_.count(0, 3) + cluster_.count(1, 3), metadataBefore + 1);
}

// The refresh asks the broker it is connected to first; when that one
// drops the connection, it goes on with the next broker it can reach.
TEST_F(ProduceFailover, RefreshAsksTheNextBrokerWhenOneDropsTheConnection) {
    ASSERT_EQ(produce("key-a"), 0);
    cluster_.produceAnswer[0] = kNotLeader;
    cluster_.metadataDropped[0] = true;
    cluster_.leader = 2;
    EXPECT_EQ(produce("key-a"), 0);
    EXPECT_EQ(cluster_.count(1, 3), 1) << "node 2 was never asked";
    EXPECT_EQ(cluster_.count(1, 0), 1);
}

} // namespace
