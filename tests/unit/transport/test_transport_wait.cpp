// Receiving and dispatching replies: matching by correlation id, the wait
// modes, time-outs, connections that end (cleanly, mid-reply, with urgent
// data), size fields that cannot be served, a reply read in parts by
// polling waits, signals during the wait, and a handler that replaces the
// broker table.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "test_transport_fixture.h"
#include "transport/transport_internal.h"

namespace bqxtest {
namespace {

using Clock = std::chrono::steady_clock;

class WaitTest : public TransportTest {};

// Metadata version 4: one broker (id 5 on 127.0.0.1:port), topic "t" with
// one partition led by broker 5.
Bytes metadataBody(int port) {
    return bodyOf(metadataReply(0, {{5, "127.0.0.1", port}}, 0, "t", {{0, 5, {5}, {5}}}));
}

TEST_F(WaitTest, PollWithNothingReadyReturnsAtOnce) {
    s.table(2);
    s.attach(0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    uint64_t polls = s.pcb->ullSelNoWait;
    int32_t rc = -1;
    auto start = Clock::now();
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_POLL, 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(s.pcb->ullSelNoWait, polls + 1);
    EXPECT_EQ(pendingIds(s.entry(0)), std::vector<uint32_t>{1});
}

TEST_F(WaitTest, ReplyForAnotherIdIsRejectedUnlessShuttingDown) {
    s.table(2);
    int peer = s.attach(0);
    s.entry(0).u32LastCorrelID = 6;
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0); // id 7
    writeBytes(peer, replyFrame(8, apiVersionsBody()));
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_POLL, 0); });
    EXPECT_EQ(rc, 7516);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].tag, "ProcRepl");
    EXPECT_EQ(lines[0].text,
              "Unexpected Reply: No Queued Request for CorrelID 8 from Broker 127.0.0.1:9092");
    EXPECT_EQ(lines[1].text, "HEXDump for received Reply Data len=16");
    EXPECT_EQ(lines.back().number, "5005") << "the out-of-step connection is closed";
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_TRUE(pendingIds(s.entry(0)).empty());

    peer = s.attach(0);
    s.entry(0).u32LastCorrelID = 6;
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0); // id 7
    s.pcb->u32ShuttingDown = 1;
    s.pcb->iDebugLevel = 3;
    writeBytes(peer, replyFrame(8, apiVersionsBody()));
    lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_POLL, 0); });
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(numbersOf(lines), std::vector<std::string>{"0037"});
    EXPECT_EQ(lines[0].text, "Shutting Down: Ignoring CorrelID 8 from Broker 127.0.0.1:9092");
    EXPECT_EQ(pendingIds(s.entry(0)), std::vector<uint32_t>{7});
    s.pcb->u32ShuttingDown = 0;
}

TEST_F(WaitTest, ReplyForAKeyWithoutHandlerIsReportedAndConsumed) {
    s.table(2);
    int peer = s.attach(0);
    Bytes createTopics = s.request(0, 19, 4); // a key the library never sends
    ASSERT_EQ(kafka_sendqueue(s.pcb, 0, createTopics.data(), 17, SEND_NOWAIT), 0);
    writeBytes(peer, replyFrame(1, {0, 0, 0, 0}));
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_POLL, 0); });
    EXPECT_EQ(rc, 7534);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].tag, "ProcRepl");
    EXPECT_EQ(lines[0].text,
              "Reply for unsupport API Request: 19/Version=4 (--) CorrelID = 1");
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    EXPECT_EQ(s.entry(0).u32PendingCount, 0u);
}

TEST_F(WaitTest, ReplyTooShortForACorrelationIdIsNotMatched) {
    s.table(2);
    s.attach(0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    Bytes shortReply = {0, 0, 0, 3, 0, 0, 0};
    int32_t rc = 0;
    captureLines([&] { rc = kafka_processReply(s.pcb, 0, shortReply.data(), 7); });
    EXPECT_EQ(rc, 7536);
    EXPECT_EQ(pendingIds(s.entry(0)), std::vector<uint32_t>{1});
}

TEST_F(WaitTest, MissingReplyTimesOutAndTheRequestStaysPending) {
    gi32ReplyWaitSeconds = 1;
    s.table(2);
    s.attach(0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = 0;
    auto start = Clock::now();
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_QUEUE, 0); });
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(rc, 7515);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].tag, "WaitRepl");
    EXPECT_EQ(lines[0].text, "Timeout waiting for Reply from Kafka, Broker 127.0.0.1:9092");
    EXPECT_EQ(pendingIds(s.entry(0)), std::vector<uint32_t>{1});
    EXPECT_NE(s.entry(0).i32Socket, -1);
}

TEST_F(WaitTest, BrokerClosingWithTwoPendingWarnsForEachInOrder) {
    FakeBroker broker;
    s.table(2, broker.port());
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    broker.script(FakeAction::noReply());
    broker.script(FakeAction::close());
    s.pcb->iDebugLevel = 2;
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_ALL, 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    const std::string where = "from Broker 127.0.0.1:" + std::to_string(broker.port());
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"0044", "5005", "5005"}));
    EXPECT_EQ(lines[0].text, "Connection closed on remote side: Broker 127.0.0.1:" +
                                 std::to_string(broker.port()));
    EXPECT_EQ(lines[1].text, "No Reply received for 18/ApiVersions, CorrelID 2 " + where);
    EXPECT_EQ(lines[2].text, "No Reply received for 18/ApiVersions, CorrelID 3 " + where);
    EXPECT_EQ(lines[1].tag, "Disconne");
}

TEST_F(WaitTest, ReplyCutOffByTheCloseReachesNoHandler) {
    FakeBroker broker;
    s.table(2, broker.port());
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    // The second request gets half of a reply to the first, then the close.
    broker.script(FakeAction::noReply());
    broker.script(FakeAction::halfThenClose(apiVersionsBody(), -1));
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_ALL, 0); });
    EXPECT_EQ(rc, 0);
    // Both are dropped: the first was never matched by the partial reply.
    EXPECT_EQ(numbersOf(lines), (std::vector<std::string>{"5005", "5005"}));
    EXPECT_EQ(s.entry(0).i32Socket, -1);
}

// A Fetch's reply is bounded by what the Fetch asked for, far below the
// library's limit for other replies.
TEST_F(WaitTest, SizeFieldsThatNoReplyCanHaveCloseTheConnection) {
    gi32ReplyWaitSeconds = 1; // a size taken for good waits for its body
    FakeBroker broker;
    s.table(2, broker.port());
    constexpr int16_t kFetchKey = 1;
    int32_t fetchLimit = static_cast<int32_t>(kafka_fetch_reply_limit());
    struct Case {
        int16_t key;
        int32_t size;
        const char *problem;
    };
    std::vector<Case> cases = {{kFetchKey, fetchLimit + 1, "reply larger than its Fetch allows"}};
    for (int32_t size : {-1, INT32_MIN, 0, 3, 100 * 1024 * 1024 + 1, INT32_MAX})
        cases.push_back({kApiVersionsKey, size, "invalid reply size"});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
        broker.script(FakeAction::rawSizeField(c.size));
        ASSERT_EQ(s.queue(0, c.key, SEND_NOWAIT), 0);
        int32_t rc = 0;
        auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_QUEUE, 0); });
        EXPECT_EQ(rc, 7500);
        EXPECT_EQ(s.entry(0).i32Socket, -1);
        EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
        ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"7500", "5005"}));
        EXPECT_EQ(lines[0].text,
                  "TCPIP Error from recv(): Broker 127.0.0.1:" + std::to_string(broker.port()) +
                      " " + std::to_string(c.size) + " (" + c.problem + ")");
    }
}

TEST_F(WaitTest, BrokerStallingInTheMiddleOfAReplyIsGivenUpOn) {
    gi32ReplyWaitSeconds = 1;
    FakeBroker broker;
    s.table(2, broker.port());
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    broker.script(FakeAction::rawSizeField(100)); // the size, then nothing
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = 0;
    auto start = Clock::now();
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_QUEUE, 0); });
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"7500", "5005"}));
    EXPECT_EQ(lines[0].text.rfind("TCPIP Error from recv(): Broker 127.0.0.1:", 0), 0u);
}

TEST_F(WaitTest, SizeFieldArrivingInPiecesIsReadWhole) {
    s.table(2);
    int peer = s.attach(0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    Bytes reply = replyFrame(1, apiVersionsBody());
    writeBytes(peer, Bytes(reply.begin(), reply.begin() + 2));
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        writeBytes(peer, Bytes(reply.begin() + 2, reply.end()));
    });
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_POLL, 0); });
    rest.join();
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    EXPECT_EQ(s.pcb->ullRcvBytes, reply.size());
}

// A polling wait reads what has come of a reply and leaves the rest on the
// entry; the reply reaches its handler once and whole, by whichever wait
// finishes it. A close in between drops the part with the request.
TEST_F(WaitTest, APollKeepsAPartReplyForTheWaitThatFinishesIt) {
    struct Case {
        const char *name;
        int32_t finish; // the wait mode after the rest (or the close) came
        bool close;
    };
    const Case cases[] = {{"a later poll", WAIT_POLL, false},
                          {"a waiting call", WAIT_ONCE, false},
                          {"the broker closes", WAIT_ONCE, true}};
    s.table(5);
    for (uint32_t i = 0; i < 3; ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        int peer = s.attach(i);
        ASSERT_EQ(s.queue(i, kApiVersionsKey, SEND_NOWAIT), 0);
        Bytes reply = replyFrame(1, apiVersionsBody());
        size_t half = reply.size() / 2;
        writeBytes(peer, Bytes(reply.begin(), reply.begin() + static_cast<long>(half)));
        auto lines = captureLog([&] { EXPECT_EQ(kafka_waitReply(s.pcb, WAIT_POLL, i), 0); });
        EXPECT_TRUE(lines.empty());
        EXPECT_EQ(pendingIds(s.entry(i)), std::vector<uint32_t>{1}) << "not handled yet";
        EXPECT_EQ(s.entry(i).u32PartialReceived, half);
        if (c.close)
            close(peer);
        else
            writeBytes(peer, Bytes(reply.begin() + static_cast<long>(half), reply.end()));
        lines = captureLog([&] { (void)kafka_waitReply(s.pcb, c.finish, i); });
        EXPECT_EQ(s.entry(i).pPartialReply, nullptr);
        EXPECT_EQ(s.entry(i).pPendingHead, nullptr);
        if (c.close) {
            EXPECT_EQ(numbersOf(lines), (std::vector<std::string>{"7500", "5005"}));
            EXPECT_EQ(s.entry(i).i32Socket, -1);
        } else {
            EXPECT_TRUE(lines.empty());
            EXPECT_EQ(s.entry(i).u32ApiVersionsKnown, 1u) << "the handler read the whole reply";
        }
    }
}

TEST_F(WaitTest, ReadinessWithNothingToReadLeavesTheConnectionAlone) {
    s.table(2);
    s.attach(0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    ReceivedReply reply{};
    auto lines = captureLog([&] { reply = transport_receiveReply(s.pcb, 0, false); });
    EXPECT_EQ(reply.buffer, nullptr);
    EXPECT_FALSE(reply.cleared) << "a read that would block must not block or close";
    EXPECT_EQ(reply.result, 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_NE(s.entry(0).i32Socket, -1);
    EXPECT_EQ(pendingIds(s.entry(0)), std::vector<uint32_t>{1});
}

TEST_F(WaitTest, UrgentDataCountsAsABrokenConnection) {
    FakeBroker broker;
    s.table(2, broker.port());
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    broker.script(FakeAction::urgentByte());
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_QUEUE, 0); });
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"7500", "5005"}));
    EXPECT_EQ(lines[0].text, "TCPIP Error from select: Broker 127.0.0.1:" +
                                 std::to_string(broker.port()) +
                                 " -1 (Connection closed by remote)");
}

std::atomic<int> gSignals{0};
void countSignal(int) { gSignals++; }

TEST_F(WaitTest, SignalDuringTheWaitIsNotAConnectionError) {
    struct sigaction action {}, previous{};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the wait sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    gSignals = 0;

    s.table(2);
    int peer = s.attach(0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    pthread_t waiter = pthread_self();
    std::thread helper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pthread_kill(waiter, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        writeBytes(peer, replyFrame(1, apiVersionsBody()));
    });
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_QUEUE, 0); });
    helper.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(gSignals.load(), 1);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    EXPECT_NE(s.entry(0).i32Socket, -1);
}

TEST_F(WaitTest, OnePassServesEveryReadyBrokerInTableOrder) {
    s.table(3);
    int peer0 = s.attach(0);
    int peer1 = s.attach(1);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    ASSERT_EQ(s.queue(1, kApiVersionsKey, SEND_NOWAIT), 0);
    writeBytes(peer1, replyFrame(1, apiVersionsBody()));
    writeBytes(peer0, replyFrame(1, apiVersionsBody()));
    s.pcb->iDebugLevel = 3;
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_POLL, 0); });
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"0021", "0021"}));
    EXPECT_EQ(lines[0].broker, "00");
    EXPECT_EQ(lines[1].broker, "01");
    EXPECT_EQ(lines[0].tag, "ApiVerRy");
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    EXPECT_EQ(s.entry(1).pPendingHead, nullptr);
}

// A handler error ends the pass before later brokers; only WAIT_ALL goes
// on until every reply is in, and still returns that first error.
TEST_F(WaitTest, HandlerErrorEndsThePassOnlyWaitAllGoesOn) {
    struct Case {
        int32_t mode;
        std::vector<std::string> logged;
        bool secondLeftPending;
    } cases[] = {
        {WAIT_ONCE, {"7510"}, true},
        {WAIT_REPLY, {"7510"}, true},
        {WAIT_ALL, {"7510", "7510"}, false},
    };
    for (const Case &c : cases) {
        s.table(3);
        int peer0 = s.attach(0);
        int peer1 = s.attach(1);
        ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
        ASSERT_EQ(s.queue(1, kApiVersionsKey, SEND_NOWAIT), 0);
        ASSERT_EQ(s.queue(1, kApiVersionsKey, SEND_NOWAIT), 0);
        writeBytes(peer0, replyFrame(1, apiVersionsBody(35)));
        writeBytes(peer1, replyFrame(1, apiVersionsBody()));
        writeBytes(peer1, replyFrame(2, apiVersionsBody(35)));
        int32_t rc = 0;
        auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, c.mode, 0); });
        EXPECT_EQ(rc, 7510) << c.mode;
        EXPECT_EQ(numbersOf(lines), c.logged) << c.mode;
        EXPECT_EQ(s.entry(0).pPendingHead, nullptr) << c.mode;
        if (c.secondLeftPending)
            EXPECT_EQ(pendingIds(s.entry(1)), (std::vector<uint32_t>{1, 2}))
                << "left for the next wait";
        else
            EXPECT_EQ(s.entry(1).pPendingHead, nullptr) << "every reply awaited";
    }
}

TEST_F(WaitTest, WaitOnceTakesWhatArrivesWithoutWaitingForEveryBroker) {
    s.table(3);
    s.attach(0);
    int peer1 = s.attach(1);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    ASSERT_EQ(s.queue(1, kApiVersionsKey, SEND_NOWAIT), 0);
    writeBytes(peer1, replyFrame(1, apiVersionsBody()));
    int32_t rc = -1;
    auto start = Clock::now();
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_ONCE, 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(s.entry(1).pPendingHead, nullptr);
    EXPECT_EQ(pendingIds(s.entry(0)), std::vector<uint32_t>{1});
}

TEST_F(WaitTest, MetadataReplyReplacingTheTableEndsThePassSafely) {
    FakeBroker broker;
    s.table(2, broker.port()); // bootstrap entry and an empty coordinator slot
    s.setHost(1, nullptr, 0);
    s.pcb->pszTopic = bqx_copy_text("t", 1);
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    int bootstrapSocket = s.entry(0).i32Socket;
    broker.script(FakeAction::reply(metadataBody(broker.port())));
    int32_t rc = -1;
    captureLines([&] { rc = kafka_meta(s.pcb, 0); });
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(s.pcb->u32BrokerCount, 3u);
    EXPECT_EQ(s.entry(0).i32BrokerID, 5);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_EQ(s.entry(1).i32Socket, bootstrapSocket) << "the bootstrap entry moved along";
    EXPECT_EQ(s.entry(1).pPendingHead, nullptr);
    EXPECT_EQ(s.pcb->u32PartitionCount, 1u);
}

} // namespace
} // namespace bqxtest
