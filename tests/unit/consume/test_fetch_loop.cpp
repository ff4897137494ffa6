// ListOffsets, Fetch requests, the partitions' back-off, the in-place
// Metadata refresh and the consume loop's idle behaviour, with brokers
// played by socket pairs.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "test_fetch_support.h"
#include "transport/transport_internal.h"

using namespace bqxtest;

namespace {

size_t countNumber(const std::vector<LogLine> &lines, const std::string &number) {
    size_t n = 0;
    for (const LogLine &line : lines) n += line.number == number;
    return n;
}

// ---- ListOffsets ----------------------------------------------------------

struct VersionCase {
    const char *name;
    bool rangesKnown;
    int16_t lowest, highest; // offered ListOffsets versions
    int expectedVersion;     // -1: nothing may be sent
};

class ListOffsets : public FetchTest {
  protected:
    void SetUp() override {
        FetchTest::SetUp();
        s.brokers({1}, {true});
        s.partitions({{0, 1, 0}, {1, 1, 0}});
        part(0).i64Offset = -1;
        part(1).i64Offset = 7;
    }
};

TEST_F(ListOffsets, VersionFollowsTheLeadersRangesAndOnlyUnknownOffsetsAreSet) {
    const VersionCase cases[] = {
        {"ranges not known", false, 0, 0, 0},
        {"offers 0 to 7", true, 0, 7, 0},
        {"4.x: offers 1 to 9", true, 1, 9, 1},
        {"offers neither 0 nor 1", true, 2, 9, -1},
    };
    for (const VersionCase &c : cases) {
        SCOPED_TRACE(c.name);
        part(0).i64Offset = -1;
        broker(0).u32ApiVersionsKnown = 0;
        if (c.rangesKnown) offerOnly(broker(0), 2, c.lowest, c.highest);
        uint32_t correl = broker(0).u32LastCorrelID + 1;
        if (c.expectedVersion >= 0)
            s.preReply(0, listOffsetsReply(correl, c.expectedVersion, "orders",
                                           {{0, 0, 42}, {1, 0, 3}, {9, 0, 5}}));
        int32_t rc = -1;
        s.pcb->iDebugLevel = 2; // the offset lines must match their format
        auto log = captureLog([&] { rc = kafka_listoffsets(s.pcb, 0, "orders"); });
        s.pcb->iDebugLevel = 0;
        ParsedRequest request = parseRequest(s.takeRequest(0));
        if (c.expectedVersion < 0) {
            EXPECT_EQ(rc, 7536);
            EXPECT_EQ(request.key, -1) << "nothing sent";
            EXPECT_EQ(numbersOf(log), std::vector<std::string>{"7536"});
            continue;
        }
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(request.version, c.expectedVersion);
        WireBytes body;
        body.i32(-1).i32(1).str("orders").i32(1).i32(0).i64(-2);
        if (c.expectedVersion == 0) body.i32(1); // max_num_offsets only in version 0
        EXPECT_EQ(request.body, body.bytes);
        EXPECT_EQ(part(0).i64Offset, 42);
        EXPECT_EQ(part(1).i64Offset, 7) << "a known offset is kept";
        EXPECT_EQ(numbersOf(log), (std::vector<std::string>{"0027", "0027", "0027"}));
    }
}

struct ReplyErrorCase {
    const char *name;
    int16_t code;
    int64_t offsetAfter;
    uint32_t staleAfter;
    const char *logged; // a leader not ready is information, not an error for BQXGERR
};

TEST_F(ListOffsets, PartitionErrorIs7510AndBacksThePartitionOff) {
    const ReplyErrorCase cases[] = {
        {"NOT_LEADER_OR_FOLLOWER", 6, -1, 1, "0048"},
        {"UNKNOWN_TOPIC_OR_PARTITION", 3, -1, 1, "0048"},
        {"FENCED_LEADER_EPOCH", 74, -1, 1, "0048"},
        {"TOPIC_AUTHORIZATION_FAILED", 29, -1, 0, "7510"},
    };
    for (const ReplyErrorCase &c : cases) {
        SCOPED_TRACE(c.name);
        part(0).i64Offset = -1;
        part(0).i64RetryAtMs = 0;
        part(0).u32FetchErrors = 0;
        s.pcb->u32MetadataStale = 0;
        s.pcb->i32LastError = 0;
        ByteVec reply = listOffsetsReply(1, 1, "orders", {{0, c.code, 42}});
        int32_t rc = -1;
        int64_t before = transport_monotonicMs();
        auto log = captureLog([&] {
            rc = kafka_listoffsets_reply(s.pcb, 0, reply.data(), static_cast<uint32_t>(reply.size()), 1);
        });
        EXPECT_EQ(rc, 7510);
        EXPECT_EQ(numbersOf(log), std::vector<std::string>{c.logged});
        EXPECT_EQ(s.pcb->i32LastError, c.logged[0] == '7' ? 7510 : 0);
        EXPECT_EQ(part(0).i64Offset, c.offsetAfter);
        EXPECT_EQ(s.pcb->u32MetadataStale, c.staleAfter);
        EXPECT_GT(part(0).i64RetryAtMs, before);
    }
}

TEST_F(ListOffsets, CountsBeyondTheReplyAreRefused) {
    // Byte 23: low byte of the partition count; byte 33: of version 0's
    // offset array count. Both claim more than the reply holds.
    for (auto [version, at, claim] : {std::tuple{0, 23, 9}, {1, 23, 9}, {0, 33, 2}}) {
        ByteVec bad = listOffsetsReply(1, version, "orders", {{0, 0, 42}});
        bad[static_cast<size_t>(at)] = static_cast<uint8_t>(claim);
        int32_t rc = 0;
        captureLines([&] {
            rc = kafka_listoffsets_reply(s.pcb, 0, bad.data(), static_cast<uint32_t>(bad.size()), version);
        });
        EXPECT_EQ(rc, 5002);
        EXPECT_EQ(part(0).i64Offset, -1);
    }
}

// ---- Fetch requests ---------------------------------------------------------

class FetchSend : public FetchTest {
  protected:
    void SetUp() override {
        FetchTest::SetUp();
        build();
    }
    void rebuild() {
        dropTables();
        build();
    }
    void build() {
        s.brokers({1, 2}, {true, true});
        // p0 and p1 on broker 0, p2 unassigned on broker 0, p3 on broker 1.
        s.partitions({{0, 1, 0}, {1, 1, 0}, {2, 1, 0}, {3, 2, 1}});
        for (uint32_t i = 0; i < 4; ++i) part(i).i64Offset = 100 + i;
        part(2).u32Assigned = 0;
        broker(0).i32FetchPartitionIdx = -1;
        broker(1).i32FetchPartitionIdx = -1;
    }
    int32_t fetchAll() {
        int32_t rc = -1;
        captureLines([&] { rc = kafka_fetch_all(s.pcb); });
        return rc;
    }
};

TEST_F(FetchSend, RequestCarriesTheFetchFieldsAndIsRecorded) {
    int32_t rc = -1;
    s.pcb->iDebugLevel = 3; // the progress lines must match their formats
    auto log = captureLog([&] { rc = kafka_fetch_send(s.pcb, "orders", 3); });
    s.pcb->iDebugLevel = 0;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(numbersOf(log), (std::vector<std::string>{"0027", "0006"}));
    ParsedRequest request = parseRequest(s.takeRequest(1));
    EXPECT_EQ(request.key, 1);
    EXPECT_EQ(request.version, 11);
    EXPECT_EQ(request.body, fetchBody("orders", {{3, 103}}));
    EXPECT_EQ(broker(1).u32FetchCorrelID, request.correlId);
    EXPECT_EQ(broker(1).i32FetchPartitionIdx, 3);
    EXPECT_EQ(broker(1).i64FetchOffset, 103);
}

// fetch.max.bytes and max.partition.fetch.bytes (BQXCONF) go into the next
// Fetch as they are.
TEST_F(FetchSend, SizesAreTheSessionsSettings) {
    s.pcb->u32FetchMaxBytes = 1 << 20;
    s.pcb->u32PartitionFetchMaxBytes = 65536;
    ASSERT_EQ(kafka_fetch_send(s.pcb, "orders", 3), 0);
    EXPECT_EQ(parseRequest(s.takeRequest(1)).body,
              fetchBody("orders", {{3, 103}}, 0, 1 << 20, 65536));
}

TEST_F(FetchSend, LeaderWithoutFetch11IsRefusedWithAClearError) {
    offerOnly(broker(1), 1, 12, 17);
    int32_t rc = 0;
    auto log = captureLog([&] { rc = kafka_fetch_send(s.pcb, "orders", 3); });
    EXPECT_EQ(rc, 7536);
    ASSERT_EQ(numbersOf(log), std::vector<std::string>{"7536"});
    EXPECT_NE(log[0].text.find("Fetch version 11"), std::string::npos) << log[0].text;
    EXPECT_TRUE(s.takeRequest(1).empty());
}

// One Fetch per broker names every assigned partition it leads, the first
// one in turn; the next goes out while replies are still buffered, within
// the per-session bound and once no partition holds its full share of
// buffered replies (so that one Fetch refills them all).
TEST_F(FetchSend, OneFetchPerBrokerNamesItsPartitionsInTurnAndPrefetches) {
    // Broker 0 leads p0 and p1 (p2 is not assigned), broker 1 leads p3.
    std::vector<std::vector<int32_t>> broker0;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(fetchAll(), 0);
        broker0.push_back(fetchedPartitions(s.takeRequest(0)));
        EXPECT_TRUE(s.takeRequest(0).empty()) << "one Fetch per broker";
        EXPECT_EQ(fetchAll(), 0);
        EXPECT_TRUE(s.takeRequest(0).empty()) << "none while one is outstanding";
        completeOldest(broker(0));
    }
    EXPECT_EQ(broker0, (std::vector<std::vector<int32_t>>{{0, 1}, {1, 0}, {0, 1}}));
    EXPECT_EQ(fetchedPartitions(s.takeRequest(1)), std::vector<int32_t>{3});

    struct Case {
        const char *name;
        uint32_t p0Buffers;
        uint32_t bytesEach;
        std::vector<int32_t> named; // by the next Fetch of broker 0
    };
    const Case cases[] = {
        {"p0's reply is being read: fetched ahead", 1, 100, {1, 0}},
        {"p0 holds two replies: the Fetch waits until it has room", 2, 100, {}},
        {"the session keeps 64 MiB: nothing sent", 1, 64u << 20, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (uint32_t k = 0; k < c.p0Buffers; ++k) {
            auto *buf = static_cast<FetchReplyBuffer *>(calloc(1, sizeof(FetchReplyBuffer)));
            buf->u32Bytes = c.bytesEach;
            buf->pNext = broker(0).pReplyBuffer;
            broker(0).pReplyBuffer = buf;
        }
        broker(0).i32FetchPartitionIdx = 0;
        EXPECT_EQ(fetchAll(), 0);
        EXPECT_EQ(fetchedPartitions(s.takeRequest(0)), c.named);
        completeOldest(broker(0));
        kafka_fetch_drop_replies(&broker(0));
    }
}

// The broker may hold a Fetch only while every partition it names came
// back empty last time; else their data would wait behind the empty ones.
// Such a Fetch waits until the broker's buffered replies are read (-1: no
// Fetch sent).
TEST_F(FetchSend, FetchIsHeldOnlyWhileEveryPartitionNamedIsDrained) {
    const std::tuple<uint32_t, uint32_t, bool, int32_t> cases[] = {
        {0, 0, false, 0},   {1, 0, false, 0}, {0, 1, false, 0},
        {1, 1, false, 500}, {1, 0, true, 0},  {1, 1, true, -1}};
    for (auto [p0, p1, buffered, wait] : cases) {
        part(0).u32Drained = p0;
        part(1).u32Drained = p1;
        if (buffered)
            broker(0).pReplyBuffer =
                static_cast<FetchReplyBuffer *>(calloc(1, sizeof(FetchReplyBuffer)));
        EXPECT_EQ(fetchAll(), 0);
        ByteVec raw = s.takeRequest(0);
        int32_t held =
            raw.empty() ? -1 : static_cast<int32_t>(readBe32(parseRequest(raw).body.data() + 4));
        EXPECT_EQ(held, wait);
        completeOldest(broker(0));
        kafka_fetch_drop_replies(&broker(0));
    }
}

TEST_F(FetchSend, UnreachableOrMissingLeaderDoesNotStopTheOthers) {
    struct Case {
        const char *name;
        void (*arrange)(PCB *);
        int32_t result;
        const char *logged;
    };
    const Case cases[] = {
        {"leader not in the table", [](PCB *p) { p->pPartitionList[3].i32BrokerIdx = -1; }, 7525,
         "7525"},
        {"leader refuses connections", [](PCB *p) {
             BrokerEntry &b = p->pBrokerList[1];
             close(b.i32Socket);
             b.i32Socket = -1;
             b.i32Port = closedLoopbackPort();
         }, 7500, "7500"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange(s.pcb);
        int64_t before = transport_monotonicMs();
        int32_t rc = 0;
        auto log = captureLog([&] { rc = kafka_fetch_all(s.pcb); });
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(countNumber(log, c.logged), 1u);
        EXPECT_EQ(fetchedPartitions(s.takeRequest(0)).at(0), 0) << "broker 0 still fetched";
        EXPECT_GT(part(3).i64RetryAtMs, before);
        EXPECT_EQ(s.pcb->u32MetadataStale, 1u);
        int64_t firstRetry = part(3).i64RetryAtMs - before;

        // Within the back-off nothing is tried again and nothing is logged.
        completeOldest(broker(0));
        log = captureLog([&] { rc = kafka_fetch_all(s.pcb); });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(countNumber(log, c.logged), 0u);
        s.takeRequest(0);

        // Once due, it is tried again; the back-off grows.
        part(3).i64RetryAtMs = 1;
        before = transport_monotonicMs();
        log = captureLog([&] { rc = kafka_fetch_all(s.pcb); });
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(part(3).u32FetchErrors, 2u);
        EXPECT_GT(part(3).i64RetryAtMs - before, firstRetry);
        if (c.result == 7525) {
            EXPECT_EQ(countNumber(log, "7525"), 0u) << "once per episode";
        }
        rebuild();
    }
}

// ---- Partition errors from Fetch replies ----------------------------------

TEST_F(FetchSend, PartitionErrorsResetOffsetOrAskForMetadata) {
    struct Case {
        int16_t code;
        bool offsetReset;
        bool stale;
    };
    const Case cases[] = {
        {1, true, false},  {6, false, true},  {3, false, true},  {5, false, true},
        {74, false, true}, {75, false, true}, {9, false, true},  {56, false, true},
        {19, false, true}, {29, false, false}, {10, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        part(0).i64Offset = 100;
        part(0).i64RetryAtMs = 0;
        part(0).u32FetchErrors = 0;
        s.pcb->u32MetadataStale = 0;
        int64_t before = transport_monotonicMs();
        s.pcb->iDebugLevel = 2;
        auto log = captureLog([&] { kafka_fetch_partition_error(s.pcb, 0, c.code); });
        s.pcb->iDebugLevel = 0;
        EXPECT_EQ(numbersOf(log), std::vector<std::string>{"0031"});
        EXPECT_EQ(part(0).i64Offset, c.offsetReset ? -1 : 100);
        EXPECT_EQ(s.pcb->u32MetadataStale, c.stale ? 1u : 0u);
        EXPECT_GT(part(0).i64RetryAtMs, before) << "backed off";
        EXPECT_LE(part(0).i64RetryAtMs, before + 2000 + 50);
    }
    kafka_fetch_partition_error(s.pcb, 99, 6); // outside the list: ignored
}

TEST_F(FetchSend, OffsetOutOfRangeLeadsToListOffsetsThenFetch) {
    kafka_fetch_partition_error(s.pcb, 0, 1);
    ASSERT_EQ(part(0).i64Offset, -1);
    part(0).i64RetryAtMs = 1; // the back-off has passed
    uint32_t correl = broker(0).u32LastCorrelID + 1;
    s.preReply(0, listOffsetsReply(correl, 0, "orders", {{0, 0, 55}}));
    EXPECT_EQ(fetchAll(), 0);
    ParsedRequest listOffsets = parseRequest(s.takeRequest(0));
    EXPECT_EQ(listOffsets.key, 2);
    ByteVec fetch = s.takeRequest(0);
    EXPECT_EQ(parseRequest(fetch).body, fetchBody("orders", {{0, 55}, {1, 101}}));
    EXPECT_EQ(part(0).i64RetryAtMs, 0) << "the retry went out";
}

// ---- Metadata refresh -----------------------------------------------------

class MetadataMerge : public FetchTest {
  protected:
    void SetUp() override {
        FetchTest::SetUp();
        s.brokers({1, 2}, {true, true});
        s.connect(2); // bootstrap entry
        s.connect(3); // coordinator slot
        broker(0).i32Port = 9001;
        broker(1).i32Port = 9002;
        broker(3).i32BrokerID = -2;
        s.partitions({{0, 1, 0}, {1, 2, 1}});
        part(0).i64Offset = 10;
        part(0).i64CommitOffset = 9;
        part(0).i64CommittedOffset = 8;
        part(0).i64RetryAtMs = INT64_MAX;
        part(1).i64Offset = 20;
        part(1).u32Assigned = 0;
        part(1).i64RetryAtMs = INT64_MAX;
        broker(1).u32LastCorrelID = 33;
        broker(1).i32FetchPartitionIdx = 1;
        broker(1).pReplyBuffer = static_cast<FetchReplyBuffer *>(calloc(1, sizeof(FetchReplyBuffer)));
        s.pcb->u32MetadataMerge = 1;
    }
    // Broker 1 vanishes, broker 2 stays, broker 3 is new; p0 moves to 3 and
    // p2 is new.
    ByteVec reply(int16_t topicError = 0) {
        return metadataReply(1, {{2, "127.0.0.1", 9002}, {3, "127.0.0.1", 9003}}, topicError,
                             "orders", {{0, 3, {3}, {3}}, {1, 2, {2}, {2}}, {2, 2, {2}, {2}}});
    }
};

TEST_F(MetadataMerge, KeepsConnectionsAndPartitionStateAndMovesLeaders) {
    int kept = broker(1).i32Socket, bootstrap = broker(2).i32Socket, coordinator = broker(3).i32Socket;
    FetchReplyBuffer *buffered = broker(1).pReplyBuffer;
    // A request still pending on the broker that vanishes.
    uint8_t request[64] = {0, 0, 0, 60, 0, 3, 0, 4, 0, 0, 0, 1};
    ASSERT_EQ(kafka_sendqueue(s.pcb, 0, request, sizeof request, SEND_NOWAIT), 0);
    ByteVec bytes = reply();
    int32_t rc = 0;
    auto log = captureLog([&] {
        rc = kafka_meta_reply(s.pcb, 1, bytes.data(), static_cast<uint32_t>(bytes.size()));
    });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(numbersOf(log), std::vector<std::string>{"5005"}) << "the dropped request";

    ASSERT_EQ(s.pcb->u32BrokerCount, 4u);
    // Broker 2 stays with its connection, reply and fetch state; 3 is new.
    EXPECT_EQ(std::tuple(broker(0).i32BrokerID, broker(0).i32Socket, broker(0).u32LastCorrelID,
                         broker(0).pReplyBuffer, broker(0).i32FetchPartitionIdx),
              std::tuple(2, kept, 33u, buffered, 1));
    EXPECT_EQ(std::tuple(broker(1).i32BrokerID, broker(1).i32Socket), std::tuple(3, -1));
    EXPECT_EQ(std::tuple(broker(2).i32Socket, broker(3).i32Socket, broker(3).i32BrokerID),
              std::tuple(bootstrap, coordinator, -2));
    s.takeRequest(0);
    char probe;
    EXPECT_EQ(recv(s.peers[0], &probe, 1, MSG_DONTWAIT), 0) << "vanished broker closed";

    ASSERT_EQ(s.pcb->u32PartitionCount, 3u);
    // {leader, broker index, offset, assigned, retry}: offsets, commits and
    // assignment stay; a moved leader is tried at once; p2 is new.
    auto state = [&](uint32_t i) {
        return std::tuple(part(i).i32Leader, part(i).i32BrokerIdx, part(i).i64Offset,
                          part(i).u32Assigned, part(i).i64RetryAtMs);
    };
    EXPECT_EQ(state(0), std::tuple(3, 1, int64_t{10}, 1u, int64_t{0}));
    EXPECT_EQ(std::tuple(part(0).i64CommitOffset, part(0).i64CommittedOffset), std::tuple(9, 8));
    EXPECT_EQ(state(1), std::tuple(2, 0, int64_t{20}, 0u, INT64_MAX));
    EXPECT_EQ(state(2), std::tuple(2, 0, int64_t{-1}, 0u, int64_t{0}));
}

TEST_F(MetadataMerge, TopicErrorOrTruncationChangesNothing) {
    BrokerEntry *table = s.pcb->pBrokerList;
    PartitionEntry *list = s.pcb->pPartitionList;
    ByteVec error = reply(3);
    int32_t rc = 0;
    captureLines([&] { rc = kafka_meta_reply(s.pcb, 1, error.data(), static_cast<uint32_t>(error.size())); });
    EXPECT_EQ(rc, 7510);
    ByteVec full = reply();
    captureLines([&] {
        for (size_t length = 8; length < full.size(); ++length) {
            std::vector<uint8_t> exact(full.begin(), full.begin() + static_cast<long>(length));
            EXPECT_EQ(kafka_meta_reply(s.pcb, 1, exact.data(), static_cast<uint32_t>(length)), 7536);
        }
    });
    EXPECT_EQ(s.pcb->pBrokerList, table);
    EXPECT_EQ(s.pcb->pPartitionList, list);
    EXPECT_EQ(s.pcb->u32BrokerCount, 4u);
    EXPECT_EQ(s.pcb->u32PartitionCount, 2u);
    EXPECT_EQ(part(0).i32BrokerIdx, 0);
}

TEST_F(MetadataMerge, RefreshAsksAConnectedBrokerAndClearsStale) {
    s.pcb->u32MetadataMerge = 0;
    s.pcb->u32MetadataStale = 1;
    s.preReply(0, reply());
    int32_t rc = -1;
    captureLines([&] { rc = kafka_meta_refresh(s.pcb); });
    EXPECT_EQ(rc, 0);
    ParsedRequest request = parseRequest(s.takeRequest(0));
    EXPECT_EQ(request.key, 3);
    EXPECT_EQ(request.version, 4);
    EXPECT_EQ(s.pcb->u32MetadataStale, 0u);
    EXPECT_EQ(s.pcb->u32PartitionCount, 3u) << "merged, not rebuilt";
    EXPECT_EQ(part(0).i64Offset, 10);
}

TEST_F(MetadataMerge, ConnectRequestRebuildsTheTables) {
    s.pcb->u32MetadataMerge = 1;
    s.preReply(0, metadataReply(1, {{7, "127.0.0.1", 9007}}, 0, "orders", {{0, 7, {7}, {7}}}));
    int32_t rc = -1;
    captureLines([&] { rc = kafka_meta(s.pcb, 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(s.pcb->u32MetadataMerge, 0u);
    ASSERT_EQ(s.pcb->u32PartitionCount, 1u);
    EXPECT_EQ(part(0).i64Offset, -1) << "a new partition list";
    EXPECT_EQ(s.pcb->u32BrokerCount, 3u);
}

// ---- The consume loop -----------------------------------------------------

double threadCpuMs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

struct IdleCase {
    const char *name;
    bool leaderless; // one assigned partition without a leader, else none assigned
    const char *result;
};

TEST_F(FetchSend, IdleLoopEndsAtTheDeadlineWithoutSpinningOrHoldingTheLock) {
    const IdleCase cases[] = {
        {"empty assignment", false, "7543"},
        {"leader missing until the deadline", true, "7525"},
    };
    for (const IdleCase &c : cases) {
        SCOPED_TRACE(c.name);
        for (uint32_t i = 0; i < 4; ++i) part(i).u32Assigned = 0;
        if (c.leaderless) {
            part(3).u32Assigned = 1;
            part(3).i32BrokerIdx = -1;
            // No broker to ask for Metadata either.
            for (uint32_t i = 0; i < s.pcb->u32BrokerCount; ++i) {
                kafka_clearBroker(s.pcb, i, 1);
                broker(i).pszHost[0] = '\0';
            }
        }
        std::atomic<bool> stop{false};
        std::atomic<int> lockedWhileFetching{0};
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            while (!stop) {
                kafka_lock("Other");
                lockedWhileFetching++;
                kafka_unlock("Other");
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        char buffer[16];
        uint32_t length = sizeof buffer - 1;
        int32_t rc = 0;
        auto start = std::chrono::steady_clock::now();
        double cpuStart = threadCpuMs();
        auto log = captureLog([&] { rc = kafka_fetch(s.pcb, "orders", buffer, &length, 1); });
        double cpu = threadCpuMs() - cpuStart;
        auto elapsed = std::chrono::steady_clock::now() - start;
        stop = true;
        kafka_unlock("TEST"); // the other thread may be waiting for it
        other.join();
        kafka_lock("TEST");
        EXPECT_EQ(std::to_string(rc), c.result);
        EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
        EXPECT_LT(elapsed, std::chrono::milliseconds(1800));
        EXPECT_LT(cpu, 250.0) << "the loop must not spin";
        EXPECT_GT(lockedWhileFetching.load(), 3) << "the lock is free while idle";
        EXPECT_EQ(countNumber(log, c.result), 1u);
        EXPECT_EQ(s.pcb->i64ConsumeDeadlineMs, 0) << "cleared on return";
        rebuild();
    }
}

} // namespace
