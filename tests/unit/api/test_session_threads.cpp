// Sessions used from several threads at once: a close, terminate or
// reconnect while another call of the same session waits for a reply, a
// second close of a closing handle, and threads hammering open, connect,
// produce and close on shared handles against a scripted broker.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log/messages.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

using namespace bqxtest;

namespace {

using Clock = std::chrono::steady_clock;

// The answer of a broker that stays silent on Produce.
FakeAction silently(size_t, const ProduceRequest &) { return FakeAction::noReply(); }

int32_t connect(int32_t handle, const std::string &bootstrap) {
    return BQXCONN(handle, bootstrap.data(), static_cast<int32_t>(bootstrap.size()), "t", 1);
}

int32_t produce(int32_t handle) { return BQXPROD(handle, nullptr, 0, "value", 5, 0); }

class SessionThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        savedWait = gi32ReplyWaitSeconds;
        gi32ReplyWaitSeconds = 8; // far longer than any wake-up may take
    }
    void TearDown() override {
        captureLines([] { BQXTERM(); });
        gi32ReplyWaitSeconds = savedWait;
    }
    int32_t savedWait = 35;
};

// What another thread does while a synchronous BQXPROD waits for a reply
// that never comes, and what that thread's call must return.
struct TakeOver {
    const char *name;
    std::function<int32_t(int32_t handle, const std::string &bootstrap)> call;
    int32_t expected;
    bool handleStaysOpen;
};

class WaitingCall : public SessionThreads, public ::testing::WithParamInterface<TakeOver> {};

// The waiting call gives up with 7502 at once (not after the reply wait),
// and nothing of the session is freed under it (ASan would tell).
TEST_P(WaitingCall, GivesUpWhenItsSessionIsTakenOverByAnotherThread) {
    FakeCluster cluster{"t", 1, {1}};
    cluster.onProduce(silently);
    int32_t handle = -1, waiting = -1, other = -1;
    std::vector<LogLine> log = captureLog([&] {
        handle = BQXOPEN();
        ASSERT_EQ(connect(handle, cluster.bootstrap()), 0);
        ASSERT_EQ(BQXSYNC(handle, 1, 0, 0), 0);
        auto started = Clock::now();
        Clock::time_point gaveUp;
        std::thread producer([&] {
            waiting = produce(handle);
            gaveUp = Clock::now();
        });
        EXPECT_TRUE(eventually([&] { return cluster.count(0, kProduceKey) == 1; }, 5000));
        other = GetParam().call(handle, cluster.bootstrap());
        producer.join();
        EXPECT_LT(gaveUp - started, std::chrono::seconds(5));
    });
    EXPECT_EQ(waiting, ERR_HANDLE);
    EXPECT_EQ(other, GetParam().expected);
    cluster.onProduce(nullptr); // every Produce accepted
    int32_t after = -1;
    captureLines([&] { after = produce(handle); });
    EXPECT_EQ(after == ERR_HANDLE, !GetParam().handleStaysOpen);
    bool gaveUpLogged = false;
    for (const LogLine &line : log)
        gaveUpLogged |= line.number == "7502" && line.text.find("closed or reconnected") != std::string::npos;
    EXPECT_TRUE(gaveUpLogged);
}

INSTANTIATE_TEST_SUITE_P(
    Thread, WaitingCall,
    ::testing::Values(
        TakeOver{"close", [](int32_t h, const std::string &) { return BQXCLSE(h); }, 0, false},
        TakeOver{"terminate", [](int32_t, const std::string &) { return BQXTERM(); }, 0, false},
        TakeOver{"reconnect", [](int32_t h, const std::string &b) { return connect(h, b); }, 0,
                 true}),
    [](const auto &info) { return std::string(info.param.name); });

// A close that waits for the session's outstanding replies keeps the
// handle closing: a second close, and any other call, get 7502 meanwhile.
TEST_F(SessionThreads, SecondCloseOfAClosingHandleIsRefused) {
    gi32ReplyWaitSeconds = 2;
    FakeCluster cluster{"t", 1, {1}};
    cluster.onProduce(silently);
    int32_t handle = -1, first = -1, second = -1, during = -1;
    captureLines([&] {
        handle = BQXOPEN();
        ASSERT_EQ(connect(handle, cluster.bootstrap()), 0);
        ASSERT_EQ(BQXSYNC(handle, 0, 10, 1), 0);
        ASSERT_EQ(produce(handle), 0); // pipelined: its reply never comes
        std::thread closer([&] { first = BQXCLSE(handle); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        second = BQXCLSE(handle);
        during = produce(handle);
        closer.join();
    });
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, ERR_HANDLE);
    EXPECT_EQ(during, ERR_HANDLE);
    EXPECT_EQ(gpcbList[handle], nullptr);
}

// A listener whose accept queue is full: the kernel drops further SYNs, so
// a connect to it waits like one to a host that is down.
struct SilentHost {
    int listener = -1;
    std::vector<int> queued;
    int port = 0;

    SilentHost() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            listen(listener, 0) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        port = ntohs(address.sin_port);
        // Fill the queue until a connect no longer completes.
        for (int i = 0; i < 8; i++) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            queued.push_back(fd);
            connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            pollfd ready = {fd, POLLOUT, 0};
            if (poll(&ready, 1, 300) == 0) return;
        }
        port = 0; // the queue never filled: the kernel answers every SYN
    }
    ~SilentHost() {
        for (int fd : queued) close(fd);
        close(listener);
    }
};

// Runs BQXCONN of a new session on a thread and, while it waits, opens and
// closes another session. Returns how long the other session's calls took;
// *result receives the BQXCONN's.
Clock::duration otherCallsWhileConnecting(const std::string &bootstrap, int32_t *result) {
    Clock::duration took{};
    captureLines([&] {
        int32_t handle = BQXOPEN();
        BQXTIMO(handle, 4);
        std::thread connecting([&] { *result = connect(handle, bootstrap); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto started = Clock::now();
        int32_t other = BQXOPEN();
        EXPECT_GE(other, 0);
        EXPECT_EQ(BQXCLSE(other), 4);
        took = Clock::now() - started;
        connecting.join();
    });
    return took;
}

// So does a name lookup that takes its time.
int slowLookup(const char *host, const char *service, const addrinfo *hints, addrinfo **results) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return getaddrinfo(host, service, hints, results);
}

// A connect that waits for a host that does not answer, or for a slow name
// lookup, releases the global lock: another thread opens and closes a
// session meanwhile at once.
TEST_F(SessionThreads, SlowConnectStepsHoldNoOtherThread) {
    for (bool lookup : {false, true}) {
        SCOPED_TRACE(lookup ? "slow name lookup" : "silent host");
        SilentHost host;
        FakeCluster cluster{"t", 1, {1}};
        if (!lookup && host.port == 0) continue; // the kernel accepted every connection
        gpfnGetAddrInfo = lookup ? slowLookup : getaddrinfo;
        std::string target = lookup ? cluster.bootstrap() : "127.0.0.1:" + std::to_string(host.port);
        int32_t result = -1;
        auto started = Clock::now();
        EXPECT_LT(otherCallsWhileConnecting(target, &result), std::chrono::seconds(2));
        gpfnGetAddrInfo = getaddrinfo;
        EXPECT_EQ(result, lookup ? 0 : static_cast<int32_t>(ERR_TCPIP));
        EXPECT_GE(Clock::now() - started, std::chrono::seconds(3)) << "the step waited";
    }
}

// Threads open, connect, produce, switch modes (batched too) and close on the same few
// handles in random order. Every result is a code of the catalogue, some
// messages get through, and at the end nothing is left open.
TEST_F(SessionThreads, ThreadsHammeringSharedHandlesNeverCrash) {
    gi32ReplyWaitSeconds = 5;
    FakeCluster cluster{"t", 1, {1}};
    std::atomic<int> produced{0}, strange{0};
    auto known = [](int32_t rc) {
        return rc == 0 || rc == -1 || rc == 4 || (rc >= 5000 && rc <= 5009) ||
               (rc >= 7500 && rc <= 7549);
    };
    static constexpr int32_t kModes[] = {0, 1, 2, 4}; // 4 collects batches
    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < 150; i++) {
            int32_t handle = static_cast<int32_t>(random() % 3);
            int32_t rc = 0;
            switch (random() % 10) {
            case 0: rc = BQXOPEN() >= 0 ? 0 : -1; break;
            case 1: rc = connect(handle, cluster.bootstrap()); break;
            case 2: rc = BQXSYNC(handle, kModes[random() % 4], 5, 1); break;
            case 3: rc = BQXCLSE(handle); break;
            case 4: rc = random() % 8 == 0 ? BQXTERM() : 0; break;
            default:
                rc = produce(handle);
                if (rc == 0) produced++;
            }
            if (!known(rc)) strange++;
        }
    };
    captureLines([&] {
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < 4; t++) threads.emplace_back(worker, 17 + t);
        for (auto &thread : threads) thread.join();
        EXPECT_EQ(BQXTERM(), 0);
    });
    EXPECT_EQ(strange.load(), 0);
    EXPECT_GT(produced.load(), 0);
    for (PCB *pcb : gpcbList) EXPECT_EQ(pcb, nullptr);
}

} // namespace
