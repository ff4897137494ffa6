// The handshake of a new connection decides by its own replies: an error
// of another broker's reply dispatched during its wait leaves it alone, and
// its own failure closes it with a warning for every request dropped.
#include <thread>

#include "test_transport_fixture.h"

using namespace bqxtest;

namespace {

class HandshakeTest : public TransportTest {};

TEST_F(HandshakeTest, OtherBrokersErrorDuringTheWaitKeepsTheNewConnection) {
    gi32ReplyWaitSeconds = 5;
    FakeBroker a, b;
    makeTable(3, a.port());
    setHost(1, "127.0.0.1", b.port());
    ASSERT_EQ(kafka_connect(pcb_, 0), 0);
    // A pipelined request on broker A whose reply carries an error arrives
    // while B's ApiVersions waits for its (later) reply.
    a.script(FakeAction::reply(apiVersionsBody(35)).delayed(100));
    b.script(FakeAction::reply(apiVersionsBody()).delayed(600));
    ASSERT_EQ(queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_connect(pcb_, 1); });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(entry(1).i32Socket, -1);
    EXPECT_EQ(entry(1).u32ApiVersionsKnown, 1u);
    EXPECT_EQ(entry(1).pPendingHead, nullptr);
    EXPECT_EQ(numbersOf(lines), std::vector<std::string>{"7510"}); // A's error, logged once
}

TEST_F(HandshakeTest, FailedApiVersionsWarnsForRequestsQueuedByAnotherThread) {
    gi32ReplyWaitSeconds = 5;
    FakeBroker broker;
    makeTable(2, broker.port());
    broker.script(FakeAction::reply(apiVersionsBody(35)).delayed(500));
    // While the handshake waits (the lock released), another thread queues
    // a request on the new connection, as the heartbeat thread may.
    std::thread other([&] {
        broker.waitForRequests(1, 5000);
        kafka_lock("OTHER");
        Bytes bytes = request(0, 12, 4);
        kafka_sendqueue(pcb_, 0, bytes.data(), static_cast<uint32_t>(bytes.size()), SEND_NOWAIT);
        kafka_unlock("OTHER");
    });
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_connect(pcb_, 0); });
    other.join();
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(entry(0).i32Socket, -1);
    EXPECT_EQ(entry(0).pPendingHead, nullptr);
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"7510", "5005"}));
    EXPECT_NE(lines[1].text.find("12/HeartBeat"), std::string::npos) << lines[1].text;
}

} // namespace
