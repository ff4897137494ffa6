// A broker that trickles a reply or stops reading a request holds the
// global lock at most for the reply wait: one deadline covers the whole
// reply and one the whole request, and the connection is then closed with
// 7500 and a 5005 for each request it drops.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "test_transport_fixture.h"

using namespace bqxtest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(1);

class DeadlineTest : public TransportTest {
  protected:
    // Entry 0 connected to `broker`, with a reply wait of one second.
    void connectTo(FakeBroker &broker) {
        gi32ReplyWaitSeconds = 1;
        s.table(2, broker.port());
        ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    }
};

TEST_F(DeadlineTest, TrickledReplyIsGivenUpAndFreesTheLockForOtherThreads) {
    FakeBroker broker;
    connectTo(broker);
    // 40 bytes, 250 ms apart: ten seconds for the whole reply.
    broker.script(FakeAction::trickle(Bytes(32, 0), 250));
    ASSERT_EQ(s.queue(0, 3, SEND_NOWAIT), 0);
    ASSERT_EQ(s.queue(0, 3, SEND_NOWAIT), 0); // dropped with it

    Clock::duration openTook{};
    std::thread other([&] {
        broker.waitForRequests(2, 5000); // the trickle holds the fake's thread
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // inside the trickle
        auto start = Clock::now();
        int32_t handle = BQXOPEN();
        openTook = Clock::now() - start;
        BQXCLSE(handle);
    });
    int32_t rc = 0;
    Clock::duration waitTook{};
    auto lines = captureLog([&] {
        auto start = Clock::now();
        rc = kafka_waitReply(s.pcb, WAIT_QUEUE, 0);
        waitTook = Clock::now() - start;
        kafka_unlock("TEST"); // as an entry point returns
        other.join();
        kafka_lock("TEST");
    });
    EXPECT_LT(waitTook, 3 * kLimit);
    EXPECT_LT(openTook, 3 * kLimit);
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    EXPECT_TRUE(logged(lines, "7500", "TCPIP Error from recv()"));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const LogLine &l) { return l.number == "5005"; }),
              2);
}

TEST_F(DeadlineTest, RequestTheBrokerDoesNotReadIsGivenUp) {
    FakeBroker broker;
    connectTo(broker);
    broker.script(FakeAction::stopReading());
    ASSERT_EQ(s.queue(0, 3, SEND_NOWAIT), 0); // read, then the broker stops reading
    ASSERT_TRUE(broker.waitForRequests(2, 5000));
    int32_t rc = 0;
    auto start = Clock::now();
    auto lines = captureLog([&] { rc = s.queue(0, 3, SEND_NOWAIT, Bytes(64 << 20, 'x')); });
    EXPECT_LT(Clock::now() - start, 3 * kLimit);
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_TRUE(logged(lines, "7500", "TCPIP Error from send()"));
    EXPECT_TRUE(logged(lines, "7500", strerror(ETIMEDOUT)));
    EXPECT_TRUE(logged(lines, "5005", "")); // the first request, never answered
}

} // namespace
