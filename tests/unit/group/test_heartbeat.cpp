// Heartbeats: the request bytes, what a reply's error code does, which
// sessions a thread pass sends for, and the thread's life: started once
// even when two calls ask at the same moment, started again after it
// ended, and joined when the last session closes. The tests named
// ...Thread... also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <thread>

#include "log/messages.h"
#include "protocol/consumer.h"
#include "group/heartbeat.h"
#include "support/log_capture.h"
#include "test_offsets_support.h"

using namespace bqxtest;

namespace {

int32_t sendHeartbeat(TableSession &s, int32_t brokerIndex) {
    int32_t rc = 0;
    underLock([&] { rc = kafka_heartbeat_send(s.pcb, brokerIndex); });
    return rc;
}

TEST(Heartbeat, RequestBytesFitAnyIdLength) {
    const std::string ids[] = {"member-1", std::string(300, 'm')};
    for (const std::string &member : ids) {
        SCOPED_TRACE(member.size());
        TableSession s;
        joinedMember(s, {{0, 1, 0}});
        setText(s.pcb->pszMemberID, member);
        setText(s.pcb->pszGroupID, std::string(member.size(), 'g'));
        EXPECT_EQ(sendHeartbeat(s, kCoordinator), 0);
        WireBytes expected = requestHeader(12, 4, 1);
        expected.i8(0).compact(std::string(member.size(), 'g')).i32(7).compact(member).i8(0).i8(0);
        EXPECT_EQ(s.takeRequest(kCoordinator), sized(expected));
    }
}

TEST(Heartbeat, NothingIsSentWithoutCoordinatorOrIds) {
    struct Case {
        const char *name;
        int32_t brokerIndex;
        bool connected, group, member;
        int32_t result;
    };
    const Case cases[] = {
        {"negative index", -1, true, true, true, 0},
        {"index beyond the table", 9, true, true, true, 0},
        {"coordinator not connected", kCoordinator, false, true, true, 0},
        {"no member id", kCoordinator, true, true, false, -1},
        {"no group id", kCoordinator, true, false, true, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TableSession s;
        joinedMember(s, {{0, 1, 0}});
        if (!c.connected) s.pcb->pBrokerList[kCoordinator].i32Socket = -1;
        if (!c.group) { free(s.pcb->pszGroupID); s.pcb->pszGroupID = nullptr; }
        if (!c.member) { free(s.pcb->pszMemberID); s.pcb->pszMemberID = nullptr; }
        EXPECT_EQ(sendHeartbeat(s, c.brokerIndex), c.result);
        EXPECT_TRUE(s.takeRequest(kCoordinator).empty());
        EXPECT_EQ(s.pcb->pBrokerList[kCoordinator].u32PendingCount, 0u);
    }
}

TEST(Heartbeat, ReplyErrorCodes) {
    struct Case {
        int16_t error;
        int32_t result;
        uint32_t rejoin;
        std::vector<std::string> log; // at debug level 2
    };
    const Case cases[] = {
        {0, 0, 0, {}},           {27, 0, 1, {"0029"}},       {25, 7510, 1, {"7510"}},
        {22, 7510, 1, {"7510"}}, {16, 7510, 1, {"7510"}},    {7, 7510, 0, {"7510"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error);
        TableSession s;
        joinedMember(s, {{0, 1, 0}});
        s.pcb->iDebugLevel = 2;
        ByteVec reply = heartbeatReply(1, c.error);
        int32_t rc = -1;
        auto lines = captureLog([&] {
            rc = kafka_heartbeat_reply(s.pcb, kCoordinator, reply.data(),
                                       static_cast<uint32_t>(reply.size()));
        });
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(s.pcb->u32RejoinNeeded, c.rejoin);
        EXPECT_EQ(numbersOf(lines), c.log);
        for (const LogLine &line : lines) {
            EXPECT_EQ(line.tag, "HeartBRy");
            EXPECT_EQ(line.broker, "-2") << "the coordinator entry's id";
        }
    }
}

TEST(Heartbeat, ShortReplyIs7536) {
    TableSession s;
    joinedMember(s, {{0, 1, 0}});
    forEachPrefix(heartbeatReply(1, 27), 0, [&](const uint8_t *bytes, uint32_t length) {
        int32_t rc = 0;
        captureLines([&] { rc = kafka_heartbeat_reply(s.pcb, kCoordinator, bytes, length); });
        EXPECT_EQ(rc, 7536);
        EXPECT_EQ(s.pcb->u32RejoinNeeded, 0u);
    });
}

TEST(Heartbeat, SentOnlyForJoinedMembersWhenDue) {
    struct Case {
        const char *name;
        uint32_t joined, rejoin;
        bool member, connected;
        uint32_t timeout;
        time_t sinceLast; // seconds since the last heartbeat; -1: none yet
        bool sent;
    };
    const Case cases[] = {
        {"first heartbeat", 1, 0, true, true, 30, -1, true},
        {"not joined", 0, 0, true, true, 30, -1, false},
        {"rejoin pending", 1, 1, true, true, 30, -1, false},
        {"no member id", 1, 0, false, true, 30, -1, false},
        {"no coordinator connection", 1, 0, true, false, 30, -1, false},
        {"3 s after the last, timeout 30", 1, 0, true, true, 30, 3, false},
        {"4 s after the last, timeout 30", 1, 0, true, true, 30, 4, true},
        {"1 s after the last, timeout 5", 1, 0, true, true, 5, 1, true},
        {"same second, timeout 5", 1, 0, true, true, 5, 0, false},
    };
    const time_t now = 1700000000;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TableSession s;
        joinedMember(s, {{0, 1, 0}});
        s.pcb->u32GroupJoined = c.joined;
        s.pcb->u32RejoinNeeded = c.rejoin;
        if (!c.member) { free(s.pcb->pszMemberID); s.pcb->pszMemberID = nullptr; }
        if (!c.connected) s.pcb->pBrokerList[kCoordinator].i32Socket = -1;
        s.pcb->u32Timeout = c.timeout;
        time_t last = c.sinceLast < 0 ? 0 : now - c.sinceLast;
        s.pcb->tLastHeartbeat = last;
        int32_t rc = -1;
        underLock([&] { rc = kafka_heartbeat_if_due(s.pcb, now); });
        EXPECT_EQ(rc, 0);
        ByteVec request = s.takeRequest(kCoordinator);
        EXPECT_EQ(!request.empty(), c.sent);
        if (c.sent) {
            EXPECT_EQ(request.at(5), 12) << "API key Heartbeat";
        }
        EXPECT_EQ(s.pcb->tLastHeartbeat, c.sent ? now : last);
    }
}

// --- the thread ------------------------------------------------------------

uint32_t threadsCreated() {
    uint32_t count = 0;
    underLock([&] { count = gu32HeartbeatThreadsCreated; });
    return count;
}

bool threadActive() {
    int32_t active = 0;
    underLock([&] { active = giThreadActive; });
    return active != 0;
}

int32_t startHeartbeat(PCB *pcb) {
    int32_t rc = -1;
    underLock([&] { rc = kafka_heartbeat(pcb); });
    return rc;
}

// A session opened and closed by the test itself, without socket pairs.
struct OpenSession {
    OpenSession() { captureLines([&] { handle = BQXOPEN(); }); }
    int32_t close() {
        int32_t rc = -1;
        captureLines([&] { rc = BQXCLSE(handle); });
        return rc;
    }
    PCB *pcb() {
        PCB *found = nullptr;
        underLock([&] { found = get_BQXPCB(handle); });
        return found;
    }
    int32_t handle = -1;
};

TEST(HeartbeatThread, TwoStartsAtOnceCreateOneThread) {
    OpenSession session;
    ASSERT_GE(session.handle, 0);
    PCB *pcb = session.pcb();
    uint32_t before = threadsCreated();
    std::latch ready(2);
    int32_t results[2] = {-1, -1};
    auto start = [&](int i) {
        ready.arrive_and_wait();
        results[i] = startHeartbeat(pcb);
    };
    std::thread first(start, 0), second(start, 1);
    first.join();
    second.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(threadsCreated(), before + 1);
    EXPECT_EQ(startHeartbeat(pcb), 0) << "a start while it runs";
    EXPECT_EQ(threadsCreated(), before + 1);
    EXPECT_EQ(session.close(), 0);
}

TEST(HeartbeatThread, SecondStartBeforeTheThreadTookTheLockCreatesNone) {
    OpenSession session;
    PCB *pcb = session.pcb();
    uint32_t before = threadsCreated();
    int32_t results[2] = {-1, -1};
    // While the lock is held the new thread cannot mark itself active.
    auto lines = captureLog([&] {
        underLock([&] {
            pcb->iDebugLevel = 5;
            results[0] = kafka_heartbeat(pcb);
            results[1] = kafka_heartbeat(pcb);
            pcb->iDebugLevel = 0;
        });
    });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "HeartBeat Thread: Starting Thread");
    EXPECT_EQ(lines[1].text, "HeartBeat Thread: Not Starting thread, it's already running");
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(threadsCreated(), before + 1);
    EXPECT_EQ(session.close(), 0);
}

TEST(HeartbeatThread, ClosingTheLastSessionJoinsIt) {
    OpenSession one, two;
    ASSERT_EQ(startHeartbeat(one.pcb()), 0);
    ASSERT_TRUE(eventually(threadActive));
    EXPECT_EQ(one.close(), 4) << "another session is open";
    EXPECT_TRUE(threadActive());
    EXPECT_EQ(two.close(), 0);
    // The close returned after the thread ended and was joined.
    EXPECT_FALSE(threadActive());
    pthread_t remembered{};
    underLock([&] { remembered = gThreadId; });
    EXPECT_EQ(remembered, pthread_t()) << "a joined thread is forgotten";
    EXPECT_EQ(kafka_heartbeat_stop(), 0) << "a second stop is harmless";
}

TEST(HeartbeatThread, StartsAgainAfterItEnded) {
    OpenSession session;
    PCB *pcb = session.pcb();
    ASSERT_EQ(startHeartbeat(pcb), 0);
    ASSERT_TRUE(eventually(threadActive));
    // Hide the session so that the thread ends by itself, unjoined.
    underLock([&] { gpcbList[session.handle] = nullptr; });
    ASSERT_TRUE(eventually([] { return !threadActive(); }));
    underLock([&] { gpcbList[session.handle] = pcb; });
    uint32_t before = threadsCreated();
    EXPECT_EQ(startHeartbeat(pcb), 0);
    EXPECT_EQ(threadsCreated(), before + 1);
    EXPECT_TRUE(eventually(threadActive));
    EXPECT_EQ(session.close(), 0);
    EXPECT_FALSE(threadActive());
}

} // namespace
