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

using TopicIds = std::vector<std::pair<std::string, std::vector<int32_t>>>;

// One assignment of a SyncGroup request.
struct SentAssignment {
    std::string member;
    TopicIds topics;
};

// Reads the assignments of a SyncGroup request and checks the fixed part.
std::vector<SentAssignment> readAssignments(const ByteVec &request) {
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
        int64_t length = r.be(4);
        size_t start = r.pos;
        EXPECT_EQ(r.be(2), 1);
        for (int64_t topics = r.be(4); topics > 0; --topics) {
            a.topics.push_back({r.str(), {}});
            for (int64_t n = r.be(4); n > 0; --n)
                a.topics.back().second.push_back(static_cast<int32_t>(r.be(4)));
        }
        EXPECT_EQ(r.be(4), 0); // empty user data
        EXPECT_EQ(static_cast<int64_t>(r.pos - start), length);
        out.push_back(a);
    }
    EXPECT_EQ(r.pos, request.size());
    return out;
}

// A subscription as members of other clients write it, of version 0 to 3.
std::string subscription(const std::vector<std::string> &topics, int version = 1) {
    WireBytes w;
    w.i16(version).i32(static_cast<int64_t>(topics.size()));
    for (const std::string &topic : topics)
        w.str(topic);
    w.i32(-1); // null user data
    if (version >= 1)
        w.i32(1).str("orders").i32(1).i32(100); // owned partitions
    if (version >= 2)
        w.i32(4); // generation
    if (version >= 3)
        w.i16(-1); // rack
    return std::string(w.bytes.begin(), w.bytes.end());
}

// A Metadata reply of version 5 with the partition counts of `topics`; a
// negative count is a topic error (3, UNKNOWN_TOPIC_OR_PARTITION).
ByteVec topicCountsReply(int32_t correlId, const std::vector<std::pair<std::string, int>> &topics) {
    WireBytes w;
    w.i32(0).i32(1).i32(1).str("127.0.0.1").i32(9092).i16(-1); // throttle, one broker
    w.i16(-1).i32(1).i32(static_cast<int64_t>(topics.size())); // cluster id, controller
    for (const auto &[topic, count] : topics) {
        w.i16(count < 0 ? 3 : 0).str(topic).i8(0).i32(count < 0 ? 0 : count);
        for (int p = 0; p < count; ++p)
            w.i16(0).i32(p).i32(1).i32(1).i32(1).i32(1).i32(1).i32(0);
    }
    return w.reply(correlId);
}

struct Member {
    std::string id;
    std::vector<std::string> topics;
    int version = 1;
};

struct LeaderCase {
    const char *name;
    int partitions;                                       // of "orders", ids 100, 101, ...
    std::vector<Member> members;                          // in the order of the JoinGroup reply
    std::vector<std::pair<std::string, int>> otherTopics; // the Metadata reply, if asked
    std::vector<SentAssignment> expected;                 // in the members' order
};

class LeaderRanges : public GroupTest, public ::testing::WithParamInterface<LeaderCase> {};

// The leader reads the members' subscriptions from the JoinGroup reply,
// asks Metadata for the other topics, and splits every topic over its
// subscribers sorted by member id; it owns only what the reply gives it.
TEST_P(LeaderRanges, SplitsEveryTopicOverItsSubscribers) {
    const LeaderCase &c = GetParam();
    std::vector<std::array<int32_t, 3>> rows;
    for (int i = 0; i < c.partitions; ++i) rows.push_back({100 + i, 1, 0});
    s.partitions(rows);
    std::vector<JoinMember> members;
    for (const Member &m : c.members)
        members.push_back({m.id, subscription(m.topics, m.version)});
    ByteVec join = joinGroupReply(9, 0, 2, "me", "me", members);
    ASSERT_EQ(
        kafka_joingroup_reply(s.pcb, kCoordinator, join.data(), static_cast<uint32_t>(join.size())),
        0);

    std::vector<int32_t> mine;
    for (const SentAssignment &a : c.expected)
        if (a.member == "me" && !a.topics.empty())
            mine = a.topics[0].second;
    int32_t correlId = 1;
    if (!c.otherTopics.empty())
        s.preReply(kCoordinator, topicCountsReply(correlId++, c.otherTopics));
    s.preReply(kCoordinator, syncGroupReply(correlId, 0, assignmentBytes("orders", mine)));
    ASSERT_EQ(kafka_syncgroup(s.pcb), 0);

    if (!c.otherTopics.empty()) {
        RequestReader meta{s.takeRequest(kCoordinator)};
        EXPECT_EQ(meta.apiKey(), 3);
        EXPECT_EQ(meta.apiVersion(), 5);
        std::vector<std::string> asked;
        for (int64_t n = meta.be(4); n > 0; --n)
            asked.push_back(meta.str());
        EXPECT_EQ(meta.be(1), 0) << "no topic is created";
        std::vector<std::string> expectedAsked;
        for (const auto &topic : c.otherTopics)
            expectedAsked.push_back(topic.first);
        EXPECT_EQ(asked, expectedAsked);
    }
    std::vector<SentAssignment> sent = readAssignments(s.takeRequest(kCoordinator));
    ASSERT_EQ(sent.size(), c.expected.size());
    for (size_t j = 0; j < sent.size(); ++j) {
        EXPECT_EQ(sent[j].member, c.expected[j].member);
        EXPECT_EQ(sent[j].topics, c.expected[j].topics) << c.expected[j].member;
    }
    for (int i = 0; i < c.partitions; ++i) {
        bool own = std::find(mine.begin(), mine.end(), 100 + i) != mine.end();
        EXPECT_EQ(s.pcb->pPartitionList[i].u32Assigned, own ? 1u : 0u) << i;
    }
    EXPECT_EQ(s.pcb->u32GroupJoined, 1u);
}

const std::vector<std::string> kOrders{"orders"};

INSTANTIATE_TEST_SUITE_P(
    Cases, LeaderRanges,
    ::testing::Values(
        LeaderCase{"fiveForTwo",
                   5,
                   {{"me", kOrders}, {"b", kOrders}},
                   {},
                   {{"me", {{"orders", {103, 104}}}}, {"b", {{"orders", {100, 101, 102}}}}}},
        LeaderCase{"sevenForThree",
                   7,
                   {{"me", kOrders}, {"b", kOrders}, {"c", kOrders}},
                   {},
                   {{"me", {{"orders", {105, 106}}}},
                    {"b", {{"orders", {100, 101, 102}}}},
                    {"c", {{"orders", {103, 104}}}}}},
        LeaderCase{"twoForThree",
                   2,
                   {{"a", kOrders}, {"b", kOrders}, {"me", kOrders}},
                   {},
                   {{"a", {{"orders", {100}}}}, {"b", {{"orders", {101}}}}, {"me", {}}}},
        LeaderCase{"leaderSecond",
                   5,
                   {{"a", kOrders}, {"me", kOrders}},
                   {},
                   {{"a", {{"orders", {100, 101, 102}}}}, {"me", {{"orders", {103, 104}}}}}},
        LeaderCase{
            "noPartitions", 0, {{"me", kOrders}, {"b", kOrders}}, {}, {{"me", {}}, {"b", {}}}},
        LeaderCase{"sortedByMemberId",
                   3,
                   {{"zeta", kOrders}, {"me", kOrders}, {"alpha", kOrders}},
                   {},
                   {{"zeta", {{"orders", {102}}}},
                    {"me", {{"orders", {101}}}},
                    {"alpha", {{"orders", {100}}}}}},
        LeaderCase{"memberOfAnotherTopic",
                   2,
                   {{"me", kOrders}, {"java", {"clicks"}, 3}},
                   {{"clicks", 3}},
                   {{"me", {{"orders", {100, 101}}}}, {"java", {{"clicks", {0, 1, 2}}}}}},
        LeaderCase{"twoTopicsShared",
                   5,
                   {{"me", kOrders}, {"a", {"orders", "clicks"}, 0}, {"z", {"clicks"}, 2}},
                   {{"clicks", 3}},
                   {{"me", {{"orders", {103, 104}}}},
                    {"a", {{"orders", {100, 101, 102}}, {"clicks", {0, 1}}}},
                    {"z", {{"clicks", {2}}}}}},
        LeaderCase{"topicWithoutMetadata",
                   1,
                   {{"me", kOrders}, {"x", {"gone"}}},
                   {{"gone", -1}},
                   {{"me", {{"orders", {100}}}}, {"x", {}}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SyncGroup, MemberAsksForEveryPartition) {
    s.partitions({{0, 1, 0}, {1, 1, 0}, {2, 2, 1}});
    member("me");
    s.pcb->u32IsLeader = 0;
    s.preReply(kCoordinator, syncGroupReply(1, 0, assignmentBytes("orders", {2})));
    ASSERT_EQ(kafka_syncgroup(s.pcb), 0);
    std::vector<SentAssignment> sent = readAssignments(s.takeRequest(kCoordinator));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].member, "me");
    EXPECT_EQ(sent[0].topics, (TopicIds{{"orders", {0, 1, 2}}}));
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
    std::vector<JoinMember> members{{"me", ""}};
    for (int j = 1; j < 16; ++j)
        members.push_back({std::string(300, 'a' + j), subscription({"orders"})});
    ByteVec join = joinGroupReply(9, 0, 2, "me", "me", members);
    ASSERT_EQ(
        kafka_joingroup_reply(s.pcb, kCoordinator, join.data(), static_cast<uint32_t>(join.size())),
        0);
    std::vector<int32_t> mine;
    for (int i = 0; i < 63; ++i) mine.push_back(i); // ceil(1000 / 16)
    s.preReply(kCoordinator, syncGroupReply(1, 0, assignmentBytes("orders", mine)));
    ASSERT_EQ(kafka_syncgroup(s.pcb), 0);
    std::vector<SentAssignment> sent = readAssignments(s.takeRequest(kCoordinator));
    ASSERT_EQ(sent.size(), 16u);
    size_t total = 0;
    for (const SentAssignment &a : sent)
        for (const auto &topic : a.topics)
            total += topic.second.size();
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
ByteVec assignmentOf(int version,
                     const std::vector<std::pair<std::string, std::vector<int32_t>>> &topics,
                     std::optional<int> userData) {
    WireBytes w;
    w.i16(version).i32(static_cast<int64_t>(topics.size()));
    for (const auto &[topic, ids] : topics) {
        w.str(topic).i32(static_cast<int64_t>(ids.size()));
        for (int32_t id : ids)
            w.i32(id);
    }
    if (userData)
        w.i32(*userData).raw(std::string(*userData > 0 ? *userData : 0, 'u'));
    return w.bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SyncReply,
    ::testing::Values(
        ReplyCase{"accepted", assignmentBytes("orders", {1, 2}), 0, "", {0, 1, 1}},
        ReplyCase{"unknownIdsAccepted", assignmentBytes("orders", {2, 99}), 0, "", {0, 0, 1}},
        ReplyCase{"empty", {}, 0, "", {0, 0, 0}},
        ReplyCase{"otherTopicOnly", assignmentBytes("orderz", {1}), 0, "", {0, 0, 0}},
        ReplyCase{
            "morePartitionsThanKnown", assignmentBytes("orders", {0, 1, 2, 3}), 0, "", {1, 1, 1}},
        ReplyCase{"tooFewBytes",
                  truncated(assignmentBytes("orders", {0, 1}), 6),
                  7536,
                  "partition list beyond",
                  {0, 0, 0}},
        ReplyCase{"userData", assignmentBytes("orders", {0}, "xy"), 0, "", {1, 0, 0}},
        ReplyCase{"fixedFieldsCut",
                  truncated(assignmentBytes("orders", {}), 8),
                  7536,
                  "partition list beyond",
                  {0, 0, 0}},
        ReplyCase{"headOnly", ByteVec{0, 1, 0, 0}, 7536, "too short", {0, 0, 0}},
        ReplyCase{"noTopicsNullUserData",
                  ByteVec{0, 3, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
                  0,
                  "",
                  {0, 0, 0}},
        ReplyCase{"noTopicsNoUserData", assignmentOf(0, {}, std::nullopt), 0, "", {0, 0, 0}},
        ReplyCase{"ownAmongOtherTopics",
                  assignmentOf(3, {{"orderz", {0, 1}}, {"orders", {2}}, {"o", {}}}, -1),
                  0,
                  "",
                  {0, 0, 1}},
        ReplyCase{"ownWithoutUserData",
                  assignmentOf(1, {{"orders", {0}}}, std::nullopt),
                  0,
                  "",
                  {1, 0, 0}},
        ReplyCase{"topicCountBeyondBytes",
                  ByteVec{0, 1, 0x7F, 0, 0, 0, 0, 0, 0, 0},
                  7536,
                  "too short",
                  {0, 0, 0}},
        ReplyCase{"userDataBeyondBytes",
                  truncated(assignmentOf(1, {{"orders", {0}}}, 5), 2),
                  7536,
                  "user data beyond",
                  {0, 0, 0}}),
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
