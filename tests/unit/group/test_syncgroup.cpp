// SyncGroup: the leader's range assignment as it reaches the coordinator,
// the single member's request, the request buffer for large groups, and
// the checks of the reply before any assignment flag changes.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "test_group_support.h"

using namespace bqxtest;

namespace {

using SyncGroup = GroupTest;

// One assignment of a SyncGroup request.
struct SentAssignment {
    std::string member;
    int64_t length;
    std::vector<int32_t> ids;
};

// Reads the assignments of a SyncGroup request and checks the fixed part.
std::vector<SentAssignment> readAssignments(const ByteVec &request, const std::string &topic) {
    std::vector<SentAssignment> out;
    RequestReader r{request};
    EXPECT_EQ(r.apiKey(), 14);
    EXPECT_EQ(r.apiVersion(), 3);
    EXPECT_EQ(r.str(), "grp");
    r.be(4);                     // generation
    r.str();                     // member id
    EXPECT_EQ(r.str(), "<null>"); // group instance id
    int64_t count = r.be(4);
    for (int64_t i = 0; i < count; ++i) {
        SentAssignment a;
        a.member = r.str();
        a.length = r.be(4);
        size_t start = r.pos;
        EXPECT_EQ(r.be(2), 1);
        EXPECT_EQ(r.be(4), 1);
        EXPECT_EQ(r.str(), topic);
        int64_t n = r.be(4);
        for (int64_t k = 0; k < n; ++k) a.ids.push_back(static_cast<int32_t>(r.be(4)));
        EXPECT_EQ(r.be(4), 0); // empty user data
        EXPECT_EQ(static_cast<int64_t>(r.pos - start), a.length);
        out.push_back(a);
    }
    EXPECT_EQ(r.pos, request.size());
    return out;
}

struct RangeCase {
    const char *name;
    int partitions;
    std::vector<std::string> members;
    std::vector<size_t> shares;
};

class LeaderRanges : public GroupTest, public ::testing::WithParamInterface<RangeCase> {};

// Earlier members get the larger shares; the leader's own range is what it
// marks as assigned, and the coordinator's echo of it is accepted.
TEST_P(LeaderRanges, SplitsThePartitionListInMemberOrder) {
    const RangeCase &c = GetParam();
    std::vector<std::array<int32_t, 3>> rows;
    for (int i = 0; i < c.partitions; ++i) rows.push_back({100 + i, 1, 0});
    s.partitions(rows);
    member("me");
    s.pcb->u32IsLeader = 1;
    for (size_t j = 0; j < c.members.size(); ++j)
        s.pcb->apszMembers[j] = strdup(c.members[j].c_str());
    s.pcb->u32NumMembers = static_cast<uint32_t>(c.members.size());

    std::vector<int32_t> mine;
    int32_t next = 100;
    for (size_t j = 0; j < c.members.size(); ++j)
        for (size_t k = 0; k < c.shares[j]; ++k, ++next)
            if (c.members[j] == "me") mine.push_back(next);
    s.preReply(kCoordinator, syncGroupReply(1, 0, assignmentBytes("orders", mine)));
    ASSERT_EQ(kafka_syncgroup(s.pcb), 0);

    std::vector<SentAssignment> sent = readAssignments(s.takeRequest(kCoordinator), "orders");
    ASSERT_EQ(sent.size(), c.members.size());
    next = 100;
    for (size_t j = 0; j < sent.size(); ++j) {
        EXPECT_EQ(sent[j].member, c.members[j]);
        EXPECT_EQ(sent[j].length, 16 + 6 + 4 * static_cast<int64_t>(c.shares[j]));
        std::vector<int32_t> expected;
        for (size_t k = 0; k < c.shares[j]; ++k) expected.push_back(next++);
        EXPECT_EQ(sent[j].ids, expected) << c.members[j];
    }
    for (int i = 0; i < c.partitions; ++i) {
        bool own = std::find(mine.begin(), mine.end(), 100 + i) != mine.end();
        EXPECT_EQ(s.pcb->pPartitionList[i].u32Assigned, own ? 1u : 0u) << i;
    }
    EXPECT_EQ(s.pcb->u32GroupJoined, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LeaderRanges,
    ::testing::Values(RangeCase{"fiveForTwo", 5, {"me", "b"}, {3, 2}},
                      RangeCase{"sevenForThree", 7, {"me", "b", "c"}, {3, 2, 2}},
                      RangeCase{"twoForThree", 2, {"a", "b", "me"}, {1, 1, 0}},
                      RangeCase{"leaderSecond", 5, {"a", "me"}, {3, 2}},
                      RangeCase{"noPartitions", 0, {"me", "b"}, {0, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SyncGroup, MemberAsksForEveryPartition) {
    s.partitions({{0, 1, 0}, {1, 1, 0}, {2, 2, 1}});
    member("me");
    s.pcb->u32IsLeader = 0;
    s.preReply(kCoordinator, syncGroupReply(1, 0, assignmentBytes("orders", {2})));
    ASSERT_EQ(kafka_syncgroup(s.pcb), 0);
    std::vector<SentAssignment> sent = readAssignments(s.takeRequest(kCoordinator), "orders");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].member, "me");
    EXPECT_EQ(sent[0].ids, (std::vector<int32_t>{0, 1, 2}));
    // The reply decides what the member holds.
    EXPECT_EQ(s.pcb->pPartitionList[0].u32Assigned, 0u);
    EXPECT_EQ(s.pcb->pPartitionList[2].u32Assigned, 1u);
}

// Sixteen long member ids and many partitions go far beyond 1024 bytes.
TEST_F(SyncGroup, LargeGroupFitsItsRequest) {
    std::vector<std::array<int32_t, 3>> rows;
    for (int i = 0; i < 1000; ++i) rows.push_back({i, 1, 0});
    s.partitions(rows);
    member("me");
    s.pcb->u32IsLeader = 1;
    s.pcb->apszMembers[0] = strdup("me");
    for (int j = 1; j < 16; ++j) s.pcb->apszMembers[j] = strdup(std::string(300, 'a' + j).c_str());
    s.pcb->u32NumMembers = 16;
    std::vector<int32_t> mine;
    for (int i = 0; i < 63; ++i) mine.push_back(i); // ceil(1000 / 16)
    s.preReply(kCoordinator, syncGroupReply(1, 0, assignmentBytes("orders", mine)));
    ASSERT_EQ(kafka_syncgroup(s.pcb), 0);
    std::vector<SentAssignment> sent = readAssignments(s.takeRequest(kCoordinator), "orders");
    ASSERT_EQ(sent.size(), 16u);
    size_t total = 0;
    for (const SentAssignment &a : sent) total += a.ids.size();
    EXPECT_EQ(total, 1000u);
}

TEST_F(SyncGroup, TextTooLongForTheWireIsRefusedUnsent) {
    s.partitions({{0, 1, 0}});
    member(std::string(40000, 'm'));
    int32_t rc = 0;
    auto log = captureLog([&] { rc = kafka_syncgroup(s.pcb); });
    EXPECT_EQ(rc, 7514);
    EXPECT_TRUE(logged(log, "7514"));
    EXPECT_TRUE(s.takeRequest(kCoordinator).empty());
    EXPECT_EQ(s.pcb->u32GroupJoined, 0u);
}

// Builds a reply whose assignment bytes are given as they are.
ByteVec rawSyncReply(const ByteVec &assignment) { return syncGroupReply(7, 0, assignment); }

ByteVec truncated(ByteVec bytes, size_t drop) {
    bytes.resize(bytes.size() - drop);
    return bytes;
}

struct ReplyCase {
    const char *name;
    ByteVec assignment;
    int32_t result;
    const char *reason;
    std::vector<uint32_t> flags; // after the reply; a failure owns nothing
};

class SyncReply : public GroupTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(SyncReply, ReadsTheOwnTopicOfAnyAssignmentOrOwnsNothing) {
    const ReplyCase &c = GetParam();
    s.partitions({{0, 1, 0}, {1, 1, 0}, {2, 1, 0}});
    s.pcb->pPartitionList[1].u32Assigned = 0;
    ByteVec reply = rawSyncReply(c.assignment);
    int32_t rc = 0;
    auto log = captureLog([&] {
        rc = kafka_syncgroup_reply(s.pcb, kCoordinator, reply.data(),
                                   static_cast<uint32_t>(reply.size()));
    });
    EXPECT_EQ(rc, c.result);
    if (c.reason[0]) {
        EXPECT_TRUE(logged(log, "7536", c.reason));
    }
    EXPECT_EQ(logged(log, "0002", "Failed SyncReply"), rc != 0);
    for (size_t i = 0; i < c.flags.size(); ++i)
        EXPECT_EQ(s.pcb->pPartitionList[i].u32Assigned, c.flags[i]) << i;
    EXPECT_EQ(s.pcb->u32RejoinNeeded, 0u);
}

// An assignment as other clients write it: any number of topics, each
// {name, ids}, then the user data (`userData` < 0: null, none: left out).
ByteVec assignmentOf(int version, const std::vector<std::pair<std::string, std::vector<int32_t>>> &topics,
                     std::optional<int> userData) {
    WireBytes w;
    w.i16(version).i32(static_cast<int64_t>(topics.size()));
    for (const auto &[topic, ids] : topics) {
        w.str(topic).i32(static_cast<int64_t>(ids.size()));
        for (int32_t id : ids) w.i32(id);
    }
    if (userData) w.i32(*userData).raw(std::string(*userData > 0 ? *userData : 0, 'u'));
    return w.bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SyncReply,
    ::testing::Values(
        ReplyCase{"accepted", assignmentBytes("orders", {1, 2}), 0, "", {0, 1, 1}},
        ReplyCase{"unknownIdsAccepted", assignmentBytes("orders", {2, 99}), 0, "", {0, 0, 1}},
        ReplyCase{"empty", {}, 0, "", {0, 0, 0}},
        ReplyCase{"otherTopicOnly", assignmentBytes("orderz", {1}), 0, "", {0, 0, 0}},
        ReplyCase{"morePartitionsThanKnown", assignmentBytes("orders", {0, 1, 2, 3}), 0, "", {1, 1, 1}},
        ReplyCase{"tooFewBytes", truncated(assignmentBytes("orders", {0, 1}), 6), 7536,
                  "partition list beyond", {0, 0, 0}},
        ReplyCase{"userData", assignmentBytes("orders", {0}, "xy"), 0, "", {1, 0, 0}},
        ReplyCase{"fixedFieldsCut", truncated(assignmentBytes("orders", {}), 8), 7536,
                  "partition list beyond", {0, 0, 0}},
        ReplyCase{"headOnly", ByteVec{0, 1, 0, 0}, 7536, "too short", {0, 0, 0}},
        ReplyCase{"noTopicsNullUserData", ByteVec{0, 3, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, 0, "",
                  {0, 0, 0}},
        ReplyCase{"noTopicsNoUserData", assignmentOf(0, {}, std::nullopt), 0, "", {0, 0, 0}},
        ReplyCase{"ownAmongOtherTopics",
                  assignmentOf(3, {{"orderz", {0, 1}}, {"orders", {2}}, {"o", {}}}, -1), 0, "",
                  {0, 0, 1}},
        ReplyCase{"ownWithoutUserData", assignmentOf(1, {{"orders", {0}}}, std::nullopt), 0, "",
                  {1, 0, 0}},
        ReplyCase{"topicCountBeyondBytes", ByteVec{0, 1, 0x7F, 0, 0, 0, 0, 0, 0, 0}, 7536,
                  "too short", {0, 0, 0}},
        ReplyCase{"userDataBeyondBytes", truncated(assignmentOf(1, {{"orders", {0}}}, 5), 2), 7536,
                  "user data beyond", {0, 0, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

// An assignment length beyond the reply's bytes is refused.
TEST_F(SyncGroup, AssignmentLengthBeyondTheReplyIs7536) {
    s.partitions({{0, 1, 0}});
    ByteVec reply = truncated(rawSyncReply(assignmentBytes("orders", {0})), 4);
    reply[3] = static_cast<uint8_t>(reply.size() - 4); // the size field; the assignment's is kept
    int32_t rc = 0;
    auto log = captureLog([&] {
        rc = kafka_syncgroup_reply(s.pcb, kCoordinator, reply.data(),
                                   static_cast<uint32_t>(reply.size()));
    });
    EXPECT_EQ(rc, 7536);
    EXPECT_TRUE(logged(log, "7536", "beyond the reply"));
    EXPECT_EQ(s.pcb->pPartitionList[0].u32Assigned, 0u) << "a failed SyncGroup owns nothing";
}

TEST_F(SyncGroup, RebalanceReplySetsTheRejoinWithoutDump) {
    s.partitions({{0, 1, 0}});
    s.pcb->iDebugLevel = 2;
    s.pcb->u32GroupJoined = 1;
    ByteVec reply = syncGroupReply(1, 27, {});
    int32_t rc = 0;
    auto log = captureLog([&] {
        rc = kafka_syncgroup_reply(s.pcb, kCoordinator, reply.data(),
                                   static_cast<uint32_t>(reply.size()));
    });
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(s.pcb->u32RejoinNeeded, 1u);
    EXPECT_EQ(s.pcb->u32GroupJoined, 0u);
    EXPECT_EQ(s.pcb->pPartitionList[0].u32Assigned, 0u) << "a failed SyncGroup owns nothing";
    EXPECT_EQ(numbersOf(log), (std::vector<std::string>{"0029", "7510"}));
}

} // namespace
