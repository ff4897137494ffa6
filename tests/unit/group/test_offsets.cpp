// Committed offsets: the OffsetFetch and OffsetCommit requests as the
// coordinator receives them, what their replies change (offsets only from
// error-free replies, never a commit of an unknown position), the send
// window of a commit, and when BQXSYNC commits.
#include <gtest/gtest.h>

#include "log/messages.h"
#include "protocol/consumer.h"
#include "support/log_capture.h"
#include "test_offsets_support.h"

using namespace bqxtest;

namespace {

class OffsetsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        joinedMember(s, {{0, 1, 0}, {1, 2, 1}, {2, 1, 0}});
    }
    void repartition(const std::vector<std::array<int32_t, 3>> &rows) {
        free(s.pcb->pPartitionList);
        s.partitions(rows);
    }
    void offsets(const std::vector<int64_t> &values) {
        for (size_t i = 0; i < values.size(); ++i) s.pcb->pPartitionList[i].i64Offset = values[i];
    }
    std::vector<int64_t> offsets() const {
        std::vector<int64_t> values;
        for (uint32_t i = 0; i < s.pcb->u32PartitionCount; ++i)
            values.push_back(s.pcb->pPartitionList[i].i64Offset);
        return values;
    }
    int32_t fetchReply(const ByteVec &reply) {
        return kafka_fetchoffsets_reply(s.pcb, kCoordinator, reply.data(),
                                        static_cast<uint32_t>(reply.size()));
    }
    int32_t commitReply(const ByteVec &reply) {
        return kafka_offsetcommit_reply(s.pcb, kCoordinator, reply.data(),
                                        static_cast<uint32_t>(reply.size()));
    }
    TableSession s;
};

// --- OffsetFetch -----------------------------------------------------------

// Every partition is asked for, but only an owned one takes its offset: an
// unowned partition's position stays as it was (the revocation reset it).
TEST_F(OffsetsTest, FetchRequestListsEveryPartitionAndAsksForStableOffsets) {
    s.pcb->pPartitionList[1].u32Assigned = 0; // listed all the same
    s.pcb->pPartitionList[1].i64Offset = -1;
    s.preReply(kCoordinator, offsetFetchReply(1, {{0, 4}, {1, 5}, {2, 6}}, 0));
    captureLines([&] { underLock([&] { EXPECT_EQ(kafka_fetchoffsets(s.pcb), 0); }); });

    WireBytes expected = requestHeader(9, 7, 1);
    expected.i8(0).compact("grp").i8(2).compact("orders").uvarint(4).i32(0).i32(1).i32(2);
    expected.i8(0).i8(1).i8(0); // topic tags, require_stable, request tags
    EXPECT_EQ(s.takeRequest(kCoordinator), sized(expected));
    EXPECT_EQ(offsets(), (std::vector<int64_t>{4, -1, 6}));
}

struct FetchReplyCase {
    const char *name;
    ByteVec reply;
    int32_t result;
    std::vector<int64_t> offsets; // before: 50, 51, 52
    std::vector<std::string> log;
    uint16_t lastKafkaError;
};

TEST_F(OffsetsTest, FetchReplyTakesOffsetsOnlyFromErrorFreeReplies) {
    const FetchReplyCase cases[] = {
        {"error-free", offsetFetchReply(1, {{0, 10}, {1, -1}, {2, 30}}, 0), 0, {10, -1, 30}, {}, 0},
        {"only listed partitions change", offsetFetchReply(1, {{2, 8}}, 0), 0, {50, 51, 8}, {}, 0},
        {"group loading, no topics", offsetFetchReply(1, {}, 14, false), 7510, {50, 51, 52},
         {"7510"}, 14},
        {"not coordinator, topics listed", offsetFetchReply(1, {{0, 10}, {1, 20}}, 16), 7510,
         {50, 51, 52}, {"7510"}, 16},
        {"partition error", offsetFetchReply(1, {{0, 10}, {1, 0, 88}, {2, 30}}, 0), 7510,
         {50, 51, 52}, {"7510"}, 88},
    };
    for (const FetchReplyCase &c : cases) {
        SCOPED_TRACE(c.name);
        offsets({50, 51, 52});
        s.pcb->u16LastKafkaError = 0;
        auto lines = captureLog([&] { EXPECT_EQ(fetchReply(c.reply), c.result); });
        EXPECT_EQ(offsets(), c.offsets);
        EXPECT_EQ(numbersOf(lines), c.log);
        EXPECT_EQ(s.pcb->u16LastKafkaError, c.lastKafkaError);
    }
}

TEST_F(OffsetsTest, FetchReplyLogsEachOffsetAboveDebugLevelOne) {
    s.pcb->iDebugLevel = 2;
    auto lines = captureLog([&] { EXPECT_EQ(fetchReply(offsetFetchReply(1, {{0, 10}, {2, 30}}, 0)), 0); });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].number, "0027");
    EXPECT_EQ(lines[0].text, "Offset=10");
    EXPECT_EQ(lines[1].text, "Offset=30");
}

TEST_F(OffsetsTest, TruncatedFetchReplyIs7536AndChangesNothing) {
    ByteVec full = offsetFetchReply(1, {{0, 10}, {1, 20}, {2, 30}}, 0);
    forEachPrefix(full, 0, [&](const uint8_t *bytes, uint32_t length) {
        offsets({50, 51, 52});
        int32_t rc = 0;
        captureLines([&] { rc = kafka_fetchoffsets_reply(s.pcb, kCoordinator, bytes, length); });
        EXPECT_EQ(rc, 7536);
        EXPECT_EQ(offsets(), (std::vector<int64_t>{50, 51, 52}));
    });
}

TEST_F(OffsetsTest, FetchReplyCountBeyondTheReplyIsRefused) {
    WireBytes w;
    w.i8(0).i32(0).uvarint(2).compact("orders").uvarint(100000).i32(0).i64(5);
    auto lines = captureLog([&] { EXPECT_EQ(fetchReply(w.reply(1)), 7536); });
    EXPECT_EQ(numbersOf(lines), std::vector<std::string>{"7536"});
}

TEST_F(OffsetsTest, FetchWithoutCoordinatorOrGroupIsRefusedUnsent) {
    s.pcb->pBrokerList[kCoordinator].i32Socket = -1; // the peer stays open
    auto lines = captureLog([&] { underLock([&] { EXPECT_EQ(kafka_fetchoffsets(s.pcb), -1); }); });
    EXPECT_EQ(numbersOf(lines), std::vector<std::string>{"7523"});
    EXPECT_EQ(lines[0].tag, "FetchOff");
}

// --- OffsetCommit ----------------------------------------------------------

TEST_F(OffsetsTest, CommitRequestCarriesOnlyAssignedPartitionsWithAPosition) {
    repartition({{0, 1, 0}, {1, 2, 1}, {2, 1, 0}, {3, 2, 1}});
    offsets({10, -1, 30, 40});
    s.pcb->pPartitionList[2].u32Assigned = 0;
    for (uint32_t i = 0; i < 4; ++i) s.pcb->pPartitionList[i].i64CommitOffset = -7;
    s.pcb->u32CommitDue = 1;
    auto lines = captureLog([&] { underLock([&] { EXPECT_EQ(kafka_offsetcommit(s.pcb), 0); }); });
    EXPECT_TRUE(lines.empty());

    WireBytes expected = requestHeader(8, 8, 1);
    expected.i8(0).compact("grp").i32(7).compact("member-1").i8(0).uvarint(2).compact("orders");
    expected.uvarint(3);
    expected.i32(0).i64(10).i32(-1).i8(1).i8(0);
    expected.i32(3).i64(40).i32(-1).i8(1).i8(0);
    expected.i8(0).i8(0);
    EXPECT_EQ(s.takeRequest(kCoordinator), sized(expected));
    EXPECT_EQ(s.pcb->pPartitionList[0].i64CommitOffset, 10);
    EXPECT_EQ(s.pcb->pPartitionList[1].i64CommitOffset, -7) << "no position: not committed";
    EXPECT_EQ(s.pcb->pPartitionList[2].i64CommitOffset, -7) << "not assigned: not committed";
    EXPECT_EQ(s.pcb->pPartitionList[3].i64CommitOffset, 40);
    EXPECT_EQ(s.pcb->u32CommitDue, 0u);
}

TEST_F(OffsetsTest, CommitWithNothingToCommitOrNoWayToSendIt) {
    struct Case {
        const char *name;
        std::vector<int64_t> offsets;
        bool coordinatorConnected;
        bool member;
        int32_t result;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"no position anywhere", {-1, -1, -1}, true, true, 0, {}},
        {"nothing, coordinator gone", {-1, -1, -1}, false, true, 0, {}},
        {"coordinator gone", {1, -1, -1}, false, true, 7528, {"7528"}},
        {"not a member yet", {1, -1, -1}, true, false, 7523, {"7523"}},
    };
    int coordinatorSocket = s.pcb->pBrokerList[kCoordinator].i32Socket;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        offsets(c.offsets);
        s.pcb->pBrokerList[kCoordinator].i32Socket = c.coordinatorConnected ? coordinatorSocket : -1;
        if (c.member) setText(s.pcb->pszMemberID, "member-1");
        else { free(s.pcb->pszMemberID); s.pcb->pszMemberID = nullptr; }
        auto lines = captureLog([&] { underLock([&] { EXPECT_EQ(kafka_offsetcommit(s.pcb), c.result); }); });
        EXPECT_EQ(numbersOf(lines), c.log);
        EXPECT_TRUE(s.takeRequest(kCoordinator).empty()) << "nothing may be sent";
    }
    s.pcb->pBrokerList[kCoordinator].i32Socket = coordinatorSocket;
}

TEST_F(OffsetsTest, CommitRefusesTextsTooLongForTheWire) {
    offsets({1, 2, 3});
    setText(s.pcb->pszMemberID, std::string(40000, 'm'));
    auto lines = captureLog([&] { underLock([&] { EXPECT_EQ(kafka_offsetcommit(s.pcb), 7514); }); });
    EXPECT_EQ(numbersOf(lines), std::vector<std::string>{"7514"});
    EXPECT_TRUE(s.takeRequest(kCoordinator).empty());
}

TEST_F(OffsetsTest, RequestsForManyPartitionsFitTheirBuffers) {
    std::vector<std::array<int32_t, 3>> rows;
    for (int32_t id = 0; id < 300; ++id) rows.push_back({id, 1, 0});
    repartition(rows);
    for (uint32_t i = 0; i < 300; ++i) s.pcb->pPartitionList[i].i64Offset = 1000 + i;

    s.preReply(kCoordinator, offsetCommitReply(1, {}));
    int32_t rc = -1;
    captureLines([&] { underLock([&] { rc = kafka_offsetcommit(s.pcb); }); });
    EXPECT_EQ(rc, 0);
    ByteVec commit = s.takeRequest(kCoordinator);
    // header 17, then 1 + 4 + 4 + 9 + 1 + 1 + 7 + 2 (count 301), 300 x 18, 2
    ASSERT_EQ(commit.size(), 17u + 29u + 300u * 18u + 2u);
    EXPECT_EQ(readBe32(commit.data() + commit.size() - 2 - 18 + 4 + 4), 1299u)
        << "low half of the last partition's offset";

    s.preReply(kCoordinator, offsetFetchReply(2, {}, 0));
    auto lines = captureLines([&] { underLock([&] { rc = kafka_fetchoffsets(s.pcb); }); });
    EXPECT_EQ(rc, 0) << (lines.empty() ? "" : lines[0]);
    ByteVec fetch = s.takeRequest(kCoordinator);
    // header 17, then 1 + 4 + 1 + 7 + 2 (count 301), 300 x 4, 3
    ASSERT_EQ(fetch.size(), 17u + 15u + 300u * 4u + 3u);
    EXPECT_EQ(readBe32(fetch.data() + fetch.size() - 3 - 4), 299u);
}

struct CommitReplyCase {
    const char *name;
    std::vector<CommitResult> partitions;
    int32_t result;
    std::vector<int64_t> committed; // before: -1 each; commit offsets 10, 20, 30
    std::vector<std::string> log;
};

TEST_F(OffsetsTest, CommitReplyConfirmsUntilTheFirstError) {
    const CommitReplyCase cases[] = {
        {"all confirmed", {{0}, {1}, {2}}, 0, {10, 20, 30}, {}},
        {"rebalance stops reading", {{0}, {1, 27}, {2}}, 7510, {10, -1, -1}, {"7510"}},
        {"illegal generation", {{0, 22}, {1}}, 7510, {-1, -1, -1}, {"7510"}},
        {"unknown partition", {{0}, {9}, {2}}, 7533, {10, -1, -1}, {"7533"}},
    };
    for (const CommitReplyCase &c : cases) {
        SCOPED_TRACE(c.name);
        for (uint32_t i = 0; i < 3; ++i) {
            s.pcb->pPartitionList[i].i64CommitOffset = 10 * (i + 1);
            s.pcb->pPartitionList[i].i64CommittedOffset = -1;
        }
        auto lines = captureLog([&] { EXPECT_EQ(commitReply(offsetCommitReply(1, c.partitions)), c.result); });
        EXPECT_EQ(numbersOf(lines), c.log);
        for (uint32_t i = 0; i < 3; ++i)
            EXPECT_EQ(s.pcb->pPartitionList[i].i64CommittedOffset, c.committed[i]) << i;
    }
}

TEST_F(OffsetsTest, CommitReplyErrorTextAndTruncation) {
    auto lines = captureLog([&] { commitReply(offsetCommitReply(1, {{2, 25}})); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].tag, "OffsCoRy");
    EXPECT_EQ(lines[0].partition, "02");
    EXPECT_EQ(s.pcb->u16LastKafkaError, 25);

    forEachPrefix(offsetCommitReply(1, {{0}, {1}}), 0, [&](const uint8_t *bytes, uint32_t length) {
        int32_t rc = 0;
        captureLines([&] { rc = kafka_offsetcommit_reply(s.pcb, kCoordinator, bytes, length); });
        EXPECT_EQ(rc, 7536);
    });
}

TEST_F(OffsetsTest, CommitWaitsOnlyWhenTheSendWindowIsFull) {
    struct Case {
        const char *name;
        uint32_t window;
        uint32_t synchronous;
        bool replied; // the reply is there before the commit is sent
        int16_t replyError;
        int32_t result;
        uint32_t pendingAfter;
    };
    const Case cases[] = {
        {"room in the window: no wait", 2, 0, false, 0, 0, 1},
        {"room, reply already there: taken in", 2, 0, true, 0, 0, 0},
        {"window full: waits for the reply", 1, 0, true, 0, 0, 0},
        {"window full: the reply's error", 1, 0, true, 22, 7510, 0},
        {"synch mode: waits for the reply", 100, 1, true, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TableSession t;
        joinedMember(t, {{0, 1, 0}});
        t.pcb->pPartitionList[0].i64Offset = 5;
        t.pcb->u32SendWindow = c.window;
        t.pcb->u32Synchronous = c.synchronous;
        if (c.replied) t.preReply(kCoordinator, offsetCommitReply(1, {{0, c.replyError}}));
        captureLines([&] { underLock([&] { EXPECT_EQ(kafka_offsetcommit(t.pcb), c.result); }); });
        EXPECT_EQ(t.pcb->pBrokerList[kCoordinator].u32PendingCount, c.pendingAfter);
        EXPECT_EQ(t.pcb->pPartitionList[0].i64CommittedOffset, c.pendingAfter == 0 && c.replyError == 0 ? 5 : 0);
    }
}

// --- BQXSYNC ---------------------------------------------------------------

TEST_F(OffsetsTest, SynchModesOneAndTwoCommitWhatIsOwed) {
    struct Case {
        int32_t mode;
        uint32_t uncommitted;
        uint32_t commitDue;
        bool commits;
    };
    const Case cases[] = {
        {2, 0, 0, false}, {2, 1, 0, false}, {2, 2, 0, true}, {1, 1, 1, true},
        {1, 3, 0, true},  {2, 1, 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " uncommitted " +
                     std::to_string(c.uncommitted) + " due " + std::to_string(c.commitDue));
        TableSession t;
        joinedMember(t, {{0, 1, 0}});
        t.pcb->pPartitionList[0].i64Offset = 12;
        t.pcb->u32UncommittedMsgs = c.uncommitted;
        t.pcb->u32CommitDue = c.commitDue;
        t.preReply(kCoordinator, offsetCommitReply(1, {{0}}));
        captureLines([&] { EXPECT_EQ(BQXSYNC(t.handle, c.mode, 0, 0), 0); });
        EXPECT_EQ(!t.takeRequest(kCoordinator).empty(), c.commits);
        EXPECT_EQ(t.pcb->u32UncommittedMsgs, c.commits ? 0u : c.uncommitted);
        EXPECT_EQ(t.pcb->pPartitionList[0].i64CommittedOffset, c.commits ? 12 : 0)
            << "the reply is awaited before BQXSYNC returns";
        EXPECT_EQ(t.pcb->pBrokerList[kCoordinator].u32PendingCount, 0u);
    }
}

TEST_F(OffsetsTest, SynchModeZeroNeverCommits) {
    s.pcb->pPartitionList[0].i64Offset = 12;
    s.pcb->u32UncommittedMsgs = 5;
    s.pcb->u32CommitDue = 1;
    captureLines([&] { EXPECT_EQ(BQXSYNC(s.handle, 0, 10, 10), 0); });
    EXPECT_TRUE(s.takeRequest(kCoordinator).empty());
    EXPECT_EQ(s.pcb->u32UncommittedMsgs, 5u);
}

} // namespace
