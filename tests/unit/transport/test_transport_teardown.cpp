// Closing broker entries and tearing a session down: warnings for dropped
// requests, what an entry keeps, the wait for outstanding replies, and the
// statistics of a closed session.
#include "test_transport_fixture.h"

namespace bqxtest {
namespace {

class TeardownTest : public TransportTest {
  protected:
    // Entry 0 connected to a peer with three pending requests and a kept
    // Fetch reply; returns the peer.
    int busyEntry() {
        s.table(2);
        int peer = s.attach(0);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
        s.entry(0).pReplyBuffer =
            static_cast<FetchReplyBuffer *>(calloc(1, sizeof(FetchReplyBuffer)));
        s.entry(0).u32FetchCorrelID = 9;
        return peer;
    }

    void expectClearedButReusable() {
        const BrokerEntry &e = s.entry(0);
        EXPECT_EQ(e.i32Socket, -1);
        EXPECT_EQ(e.pPendingHead, nullptr);
        EXPECT_EQ(e.pPendingTail, nullptr);
        EXPECT_EQ(e.u32PendingCount, 0u);
        EXPECT_EQ(e.pReplyBuffer, nullptr);
        EXPECT_EQ(e.u32FetchCorrelID, 0u);
        ASSERT_NE(e.pszHost, nullptr);
        EXPECT_STREQ(e.pszHost, "127.0.0.1");
        EXPECT_EQ(e.i32Port, 9092);
        EXPECT_EQ(e.i32BrokerID, 0);
        EXPECT_EQ(e.u32LastCorrelID, 3u);
    }
};

TEST_F(TeardownTest, ClearingWarnsForEveryDroppedRequestInQueueOrder) {
    int peer = busyEntry();
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_clearBroker(s.pcb, 0, 0); });
    EXPECT_EQ(rc, 5005);
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"5005", "5005", "5005"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].tag, "Disconne");
        EXPECT_EQ(lines[i].text, "No Reply received for 18/ApiVersions, CorrelID " +
                                     std::to_string(i + 1) + " from Broker 127.0.0.1:9092");
    }
    expectClearedButReusable();
    readAvailable(peer);
    char byte;
    EXPECT_EQ(recv(peer, &byte, 1, MSG_DONTWAIT), 0) << "the connection was closed";
}

TEST_F(TeardownTest, QuietClearingLogsNothing) {
    busyEntry();
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_clearBroker(s.pcb, 0, 1); });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(lines.empty());
    expectClearedButReusable();
}

TEST_F(TeardownTest, ClearingAnIdleOrMissingEntryDoesNothing) {
    s.table(2);
    auto lines = captureLog([&] {
        EXPECT_EQ(kafka_clearBroker(s.pcb, 1, 0), 0);
        EXPECT_EQ(kafka_clearBroker(s.pcb, 2, 0), 0);
        EXPECT_EQ(kafka_clearBroker(s.pcb, UINT32_MAX, 0), 0);
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_STREQ(s.entry(1).pszHost, "127.0.0.1");
}

TEST_F(TeardownTest, DisconnectWaitsForOutstandingRepliesThenReleasesEverything) {
    FakeBroker broker;
    s.table(3, broker.port());
    ASSERT_EQ(kafka_connect(s.pcb, 1), 0);
    broker.script(FakeAction::reply(apiVersionsBody()).delayed(200));
    ASSERT_EQ(s.queue(1, kApiVersionsKey, SEND_NOWAIT), 0);
    s.pcb->pszTopic = bqx_copy_text("topic", 5);
    s.pcb->pszMemberID = bqx_copy_text("member", 6);
    s.pcb->apszMembers[3] = bqx_copy_text("other", 5);
    s.pcb->pPartitionList = static_cast<PartitionEntry *>(calloc(2, sizeof(PartitionEntry)));
    s.pcb->u32PartitionCount = 2;
    snprintf(s.pcb->szLastError, sizeof s.pcb->szLastError, "old error");
    snprintf(s.pcb->szMsgKey, sizeof s.pcb->szMsgKey, "key");

    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_disconnect(s.pcb); });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(lines.empty()) << "the reply came: nothing was dropped";
    EXPECT_EQ(broker.requests().size(), 2u);
    EXPECT_EQ(s.pcb->pBrokerList, nullptr);
    EXPECT_EQ(s.pcb->u32BrokerCount, 0u);
    EXPECT_EQ(s.pcb->pPartitionList, nullptr);
    EXPECT_EQ(s.pcb->u32PartitionCount, 0u);
    EXPECT_EQ(s.pcb->pszTopic, nullptr);
    EXPECT_EQ(s.pcb->pszMemberID, nullptr);
    EXPECT_EQ(s.pcb->apszMembers[3], nullptr);
    EXPECT_STREQ(s.pcb->szLastError, "");
    EXPECT_STREQ(s.pcb->szMsgKey, "");
    EXPECT_EQ(s.pcb->u32ShuttingDown, 0u);
}

TEST_F(TeardownTest, DisconnectIgnoresStrayRepliesAndFinishesAfterAFailedWait) {
    gi32ReplyWaitSeconds = 1;
    FakeBroker broker;
    s.table(2, broker.port());
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    broker.script(FakeAction::reply(apiVersionsBody(), 1)); // wrong correlation id
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_disconnect(s.pcb); });
    EXPECT_EQ(rc, 7515);
    // No 7516 while shutting down; the request given up on is dropped with 5005.
    EXPECT_EQ(numbersOf(lines), (std::vector<std::string>{"7515", "5005"}));
    EXPECT_EQ(s.pcb->pBrokerList, nullptr);
    EXPECT_EQ(s.pcb->u32ShuttingDown, 0u);
}

TEST_F(TeardownTest, DisconnectWithoutATableReturnsZero) {
    auto lines = captureLog([&] { EXPECT_EQ(kafka_disconnect(s.pcb), 0); });
    EXPECT_TRUE(lines.empty());
}

TEST_F(TeardownTest, CloseLogsStatisticsOnlyWhenDebuggingAndReleasesCredentials) {
    s.pcb->pszSaslUser = bqx_copy_text("alice", 5);
    s.pcb->pszSaslPassword = bqx_copy_text("secret", 6);
    auto lines = captureLog([&] { kafka_close(s.pcb); });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(s.pcb->pszSaslUser, nullptr);
    EXPECT_EQ(s.pcb->pszSaslPassword, nullptr);

    s.pcb->iDebugLevel = 1;
    s.pcb->ullMsgsProduced = 2;
    s.pcb->ullMsgsConsumed = 1;
    s.pcb->ullSndTime = 11;
    s.pcb->ullRcvTime = 12;
    s.pcb->ullWaitTime = 13;
    s.pcb->ullMarshallTime = 14;
    s.pcb->ullUnmarshallTime = 15;
    s.pcb->ullSendWinExh = 7;
    s.pcb->ullSends = 3;
    s.pcb->ullSndBytes = 51;
    s.pcb->ullRcvs = 4;
    s.pcb->ullRcvBytes = 64;
    s.pcb->ullSelWait = 5;
    s.pcb->ullSelNoWait = 6;
    s.pcb->ullMsgsFailed = 8;
    s.pcb->ullRetriedRequests = 9;
    lines = captureLog([&] { kafka_close(s.pcb); });
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"0018", "0019", "0049", "0022"}));
    for (const LogLine &line : lines) {
        EXPECT_EQ(line.tag, "BQXCLSE ");
        EXPECT_EQ(line.broker, "--");
        EXPECT_EQ(line.partition, "--");
    }
    EXPECT_EQ(lines[0].text.rfind("Stats: #Msgs produce: 2  consume: 1 ConnectionTime: ", 0), 0u);
    EXPECT_EQ(lines[1].text,
              "Stats: snd=11 rcv=12 wait=13 marshall=14 unmarshall=15 msec SendWinExh=7");
    EXPECT_EQ(lines[2].text, "Stats: produced acknowledged=2 failed=8 retried requests=9");
    EXPECT_EQ(lines[3].text, "Stats: sends=3 sndBytes=51 rcvs=4 rcvBytes=64 selWait=5 selNoWait=6");
}

} // namespace
} // namespace bqxtest
