// Group membership: FindCoordinator and the coordinator slot, JoinGroup with
// its member-id handshake and member list, LeaveGroup, the meaning of Kafka
// group errors, the rejoin and the recovery of a lost membership.
#include <errno.h>
#include <sys/socket.h>

#include <chrono>

#include "group/group_internal.h"
#include "auth/sasl_scram.h"
#include "support/loopback.h"
#include "test_group_support.h"
#include "test_offsets_support.h"
#include "transport/transport_internal.h"

using namespace bqxtest;

namespace {

using Group = GroupTest;

// The peer of a closed socket reads end-of-file.
bool peerSeesClose(int peer) {
    uint8_t byte = 0;
    return recv(peer, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST_F(Group, FindCoordinatorRequestAsksTheConnectedBroker) {
    s.pcb->pBrokerList[kCoordinator].i32Socket = -1;
    s.preReply(kBootstrap, findCoordinatorReply(1, 0, 2, "127.0.0.1", 1));
    ASSERT_EQ(kafka_findcoordinator(s.pcb, 0), 0);
    ByteVec request = s.takeRequest(kBootstrap);
    ASSERT_FALSE(request.empty());
    RequestReader r{request};
    EXPECT_EQ(r.apiKey(), 10);
    EXPECT_EQ(r.apiVersion(), 2);
    EXPECT_EQ(r.str(), "grp");
    EXPECT_EQ(r.be(1), 0); // key type: group
    EXPECT_EQ(r.pos, request.size());
    EXPECT_NE(s.pcb->pBrokerList[kBootstrap].i32Socket, -1); // it was open before: stays
}

struct FindReplyCase {
    const char *name;
    int16_t error;
    int32_t nodeId;
    int32_t result;
    bool slotRefilled;
    uint32_t coordinatorLost;
};

class FindReply : public GroupTest, public ::testing::WithParamInterface<FindReplyCase> {};

// The slot is refilled only from a known Metadata broker; the bootstrap
// entry (connected, id 0) never counts as one.
TEST_P(FindReply, FillsTheSlotOnlyFromAKnownBroker) {
    const FindReplyCase &c = GetParam();
    s.pcb->pBrokerList[kBootstrap].i32BrokerID = 0;
    int oldPeer = s.peers[kCoordinator];
    char *oldHost = s.pcb->pBrokerList[kCoordinator].pszHost;
    s.pcb->u32GroupJoined = 1;
    ByteVec reply = findCoordinatorReply(5, c.error, c.nodeId, "coord.example", 7777);
    int32_t rc = 0;
    auto log = captureLog([&] {
        rc = kafka_findcoordinator_reply(s.pcb, kBootstrap, reply.data(),
                                         static_cast<uint32_t>(reply.size()));
    });
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(s.pcb->i32CoordinatorID, c.nodeId);
    EXPECT_EQ(s.pcb->u32CoordinatorLost, c.coordinatorLost);
    const BrokerEntry &slot = s.pcb->pBrokerList[kCoordinator];
    if (c.slotRefilled) {
        EXPECT_STREQ(slot.pszHost, "coord.example");
        EXPECT_EQ(slot.i32Port, 9093); // the Metadata broker's, not the reply's
        EXPECT_EQ(slot.i32BrokerID, -2);
        EXPECT_EQ(slot.i32Socket, -1);
        EXPECT_TRUE(peerSeesClose(oldPeer));
        EXPECT_EQ(s.pcb->u32GroupJoined, 0u);
        EXPECT_TRUE(log.empty());
    } else {
        EXPECT_EQ(slot.pszHost, oldHost);
        EXPECT_NE(slot.i32Socket, -1);
        EXPECT_TRUE(logged(log, std::to_string(c.result)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindReply,
    ::testing::Values(FindReplyCase{"known", 0, 2, 0, true, 0},
                      FindReplyCase{"unknownNode", 0, 9, 7520, false, 0},
                      FindReplyCase{"bootstrapIdOnly", 0, 0, 7520, false, 0},
                      FindReplyCase{"notAvailable", 15, 2, 7510, false, 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Group, CoordinatorSlotSharesNoScramExchangeWithItsSource) {
    BrokerEntry &source = s.pcb->pBrokerList[1]; // node 2
    source.u32SaslMechanism = kSaslScramSha512;
    source.pScram = static_cast<ScramState *>(calloc(1, sizeof(ScramState)));
    ByteVec reply = findCoordinatorReply(5, 0, 2, "127.0.0.1", 1);
    captureLines([&] {
        ASSERT_EQ(kafka_findcoordinator_reply(s.pcb, kBootstrap, reply.data(),
                                              static_cast<uint32_t>(reply.size())), 0);
    });
    const BrokerEntry &slot = s.pcb->pBrokerList[kCoordinator];
    EXPECT_EQ(slot.pScram, nullptr); // else both entries would free it
    EXPECT_EQ(slot.u32SaslMechanism, kSaslPlain);
    EXPECT_NE(source.pScram, nullptr);
}

TEST_F(Group, FindCoordinatorThatOpenedAConnectionClosesIt) {
    s.pcb->pBrokerList[kBootstrap].i32Socket = -1;
    s.pcb->pBrokerList[0].i32Port = closedLoopbackPort();
    s.pcb->pBrokerList[1].i32Port = closedLoopbackPort();
    s.pcb->pBrokerList[kBootstrap].i32Port = closedLoopbackPort();
    int32_t rc = 0;
    auto log = captureLog([&] { rc = kafka_findcoordinator(s.pcb, 0); });
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(logged(log, "7521"));
    for (uint32_t i = 0; i < kCoordinator; ++i) EXPECT_EQ(s.pcb->pBrokerList[i].i32Socket, -1);
}

TEST_F(Group, JoinGroupRequestCarriesTheSubscription) {
    s.topic("topic-0123"); // 10 characters: metadata length 26
    s.pcb->u32Timeout = 7;
    s.preReply(kCoordinator, joinGroupReply(1, 0, 3, "m-1", "m-1", {{"m-1", ""}}));
    ASSERT_EQ(kafka_joingroup(s.pcb), 0);
    ByteVec request = s.takeRequest(kCoordinator);
    ASSERT_FALSE(request.empty());
    WireBytes expected;
    expected.str("grp").i32(7000).i32(21000).str("").i16(-1).str("consumer").i32(1).str("range");
    expected.i32(26).i16(1).i32(1).str("topic-0123").i32(-1).i32(0);
    EXPECT_EQ(ByteVec(request.begin() + kRequestHeaderBytes, request.end()), expected.bytes);
    EXPECT_STREQ(s.pcb->pszMemberID, "m-1");
    EXPECT_EQ(s.pcb->i32GenerationID, 3);
    EXPECT_EQ(s.pcb->u32IsLeader, 1u);
    EXPECT_EQ(s.pcb->i32ReplyWaitSeconds, 0); // restored after the join
}

struct ResendCase {
    const char *name;
    int16_t secondError;
    int32_t result;
    std::vector<int> keys; // requests seen by the coordinator
};

class MemberIdResend : public GroupTest, public ::testing::WithParamInterface<ResendCase> {};

TEST_P(MemberIdResend, ResendsOnceWithTheGivenId) {
    const ResendCase &c = GetParam();
    s.preReply(kCoordinator, joinGroupReply(1, 79, -1, "", "m-new", {}));
    s.preReply(kCoordinator, joinGroupReply(2, c.secondError, 4, "m-new", "m-new", {}));
    s.preReply(kCoordinator, leaveGroupReply(3, 0));
    int32_t rc = 0;
    captureLines([&] { rc = kafka_joingroup(s.pcb); });
    EXPECT_EQ(rc, c.result);
    ByteVec first = s.takeRequest(kCoordinator), second = s.takeRequest(kCoordinator);
    RequestReader r1{first}, r2{second};
    r1.str(), r1.be(4), r1.be(4);
    r2.str(), r2.be(4), r2.be(4);
    EXPECT_EQ(r1.str(), "");
    EXPECT_EQ(r2.str(), "m-new");
    std::vector<int> keys = {r1.apiKey(), r2.apiKey()};
    for (int key : requestKeys(kCoordinator)) keys.push_back(key);
    EXPECT_EQ(keys, c.keys);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemberIdResend,
    ::testing::Values(ResendCase{"accepted", 0, 0, {11, 11}},
                      // A second 79 is not retried; the member leaves.
                      ResendCase{"requiredAgain", 79, 7510, {11, 11, 13}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Group, JoinReplyKeepsSixteenMembersAndItself) {
    std::vector<JoinMember> members;
    for (int i = 0; i < 20; ++i) members.push_back({"member-" + std::to_string(i), "meta"});
    members[18].id = "me";
    ByteVec reply = joinGroupReply(1, 0, 2, "me", "me", members);
    int32_t rc = 0;
    auto log = captureLog([&] {
        rc = kafka_joingroup_reply(s.pcb, kCoordinator, reply.data(),
                                   static_cast<uint32_t>(reply.size()));
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(logged(log, "0034", "Members without partitions: 4"));
    ASSERT_EQ(s.pcb->u32NumMembers, 16u);
    EXPECT_STREQ(s.pcb->apszMembers[0], "member-0");
    EXPECT_STREQ(s.pcb->apszMembers[14], "member-14");
    EXPECT_STREQ(s.pcb->apszMembers[15], "me");
    EXPECT_EQ(s.pcb->u32IsLeader, 1u);

    // A later reply with fewer members replaces the list (old texts freed).
    ByteVec small = joinGroupReply(2, 0, 3, "other", "me", {});
    ASSERT_EQ(kafka_joingroup_reply(s.pcb, kCoordinator, small.data(),
                                    static_cast<uint32_t>(small.size())), 0);
    EXPECT_EQ(s.pcb->u32NumMembers, 0u);
    EXPECT_EQ(s.pcb->apszMembers[0], nullptr);
    EXPECT_EQ(s.pcb->u32IsLeader, 0u); // no longer the leader
}

TEST_F(Group, JoinReplyWithMemberCountBeyondItsBytesIs7536) {
    WireBytes w;
    w.i32(0).i16(0).i32(1).str("range").str("me").str("me").i32(100000).str("me");
    ByteVec reply = w.reply(1);
    int32_t rc = 0;
    captureLines([&] {
        rc = kafka_joingroup_reply(s.pcb, kCoordinator, reply.data(),
                                   static_cast<uint32_t>(reply.size()));
    });
    EXPECT_EQ(rc, 7536);
    EXPECT_EQ(s.pcb->u32NumMembers, 0u);
}

struct SoloCase {
    const char *name;
    std::string leader;
    int32_t result;
};

class SoloConsumer : public GroupTest, public ::testing::WithParamInterface<SoloCase> {};

// Without load balancing the session must be the group's only consumer.
TEST_P(SoloConsumer, AcceptsOnlyItsOwnLeadership) {
    const SoloCase &c = GetParam();
    s.pcb->u32ConsumerLoadBalancing = 0;
    s.pcb->u32IsLeader = 1;
    ByteVec reply = joinGroupReply(1, 0, 2, c.leader, "me", {{"me", ""}, {"other", ""}});
    int32_t rc = 0;
    auto log = captureLog([&] {
        rc = kafka_joingroup_reply(s.pcb, kCoordinator, reply.data(),
                                   static_cast<uint32_t>(reply.size()));
    });
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(logged(log, "7535"), c.result == 7535);
    if (c.result == 0) {
        EXPECT_EQ(s.pcb->u32NumMembers, 0u); // member list not read
        EXPECT_EQ(s.pcb->u32IsLeader, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SoloConsumer,
                         ::testing::Values(SoloCase{"leads", "me", 0},
                                           SoloCase{"otherLeads", "other", 7535},
                                           SoloCase{"noLeader", "", 7535}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Group, FailedFirstJoinSendsNoLeaveAndClosesTheCoordinator) {
    // INVALID_SESSION_TIMEOUT: the coordinator gave no member id.
    s.preReply(kCoordinator, joinGroupReply(1, 26, -1, "", "", {}));
    int32_t rc = 0;
    auto log = captureLog([&] { rc = kafka_joingroup(s.pcb); });
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(requestKeys(kCoordinator), std::vector<int>{11});
    EXPECT_EQ(s.pcb->pBrokerList[kCoordinator].i32Socket, -1);
    EXPECT_EQ(s.pcb->pszMemberID, nullptr);
    EXPECT_FALSE(logged(log, "7528"));
}

TEST_F(Group, LeaveGroupNeedsAMemberId) {
    EXPECT_EQ(kafka_leavegroup(s.pcb), 0);
    EXPECT_TRUE(requestKeys(kCoordinator).empty());

    member("m-1");
    s.pcb->u32GroupJoined = 1;
    s.preReply(kCoordinator, leaveGroupReply(1, 0));
    ASSERT_EQ(kafka_leavegroup(s.pcb), 0);
    ByteVec request = s.takeRequest(kCoordinator);
    WireBytes expected;
    expected.i8(0).compact("grp").uvarint(2).compact("m-1").i8(0).i8(0).i8(0);
    EXPECT_EQ(ByteVec(request.begin() + kRequestHeaderBytes, request.end()), expected.bytes);
    EXPECT_EQ(s.pcb->u32GroupJoined, 0u);
    EXPECT_EQ(s.pcb->pszMemberID, nullptr) << "spent: the next join starts as a new member";
}

TEST_F(Group, LeaveGroupReplyErrorsAre7510) {
    for (int16_t error : {int16_t{0}, int16_t{25}}) {
        WireBytes member;
        member.i8(0).i32(0).i16(0).uvarint(2).compact("m-1").uvarint(0).i16(error).i8(0);
        ByteVec reply = member.reply(1);
        int32_t rc = -5;
        captureLines([&] {
            rc = kafka_leavegroup_reply(s.pcb, kCoordinator, reply.data(),
                                        static_cast<uint32_t>(reply.size()));
        });
        EXPECT_EQ(rc, error ? 7510 : 0) << error;
    }
    ByteVec groupLevel = leaveGroupReply(1, 16);
    captureLines([&] {
        EXPECT_EQ(kafka_leavegroup_reply(s.pcb, kCoordinator, groupLevel.data(),
                                         static_cast<uint32_t>(groupLevel.size())), 7510);
    });
}

struct GroupErrorCase {
    int16_t code;
    uint32_t rejoin, lost, joined;
    bool forgetsMember;
};

class GroupError : public GroupTest, public ::testing::WithParamInterface<GroupErrorCase> {};

TEST_P(GroupError, SetsTheFlagsOfItsKind) {
    const GroupErrorCase &c = GetParam();
    member("m-1");
    s.pcb->u32GroupJoined = 1;
    kafka_group_error(s.pcb, c.code);
    EXPECT_EQ(s.pcb->u32RejoinNeeded, c.rejoin);
    EXPECT_EQ(s.pcb->u32CoordinatorLost, c.lost);
    EXPECT_EQ(s.pcb->u32GroupJoined, c.joined);
    EXPECT_EQ(s.pcb->pszMemberID == nullptr, c.forgetsMember);
}

INSTANTIATE_TEST_SUITE_P(Codes, GroupError,
                         ::testing::Values(GroupErrorCase{27, 1, 0, 0, false},
                                           GroupErrorCase{22, 1, 0, 0, false},
                                           GroupErrorCase{25, 1, 0, 0, true},
                                           GroupErrorCase{82, 1, 0, 0, false},
                                           GroupErrorCase{14, 1, 1, 0, false},
                                           GroupErrorCase{15, 1, 1, 0, false},
                                           GroupErrorCase{16, 1, 1, 0, false},
                                           GroupErrorCase{3, 0, 0, 1, false},
                                           GroupErrorCase{79, 0, 0, 1, false}),
                         [](const auto &info) { return std::to_string(info.param.code); });

// The coordinator may hold a JoinGroup for the whole rebalance timeout; the
// wait lasts that long, then the join fails and the connection is closed.
TEST_F(Group, UnansweredJoinTimesOutAfterTheRebalanceWait) {
    s.pcb->u32Timeout = 1; // rebalance timeout 3 s: waited 13 s
    member("m-1");
    int32_t rc = 0;
    auto start = std::chrono::steady_clock::now();
    auto log = captureLog([&] { rc = kafka_joingroup(s.pcb); });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(rc, 7515);
    EXPECT_TRUE(logged(log, "7524", "Timeout Waiting for Reply"));
    EXPECT_GE(waited, std::chrono::seconds(12));
    EXPECT_EQ(s.pcb->pBrokerList[kCoordinator].i32Socket, -1);
    EXPECT_EQ(s.pcb->pBrokerList[kCoordinator].pPendingHead, nullptr);
    EXPECT_EQ(s.pcb->i32ReplyWaitSeconds, 0);
    EXPECT_EQ(requestKeys(kCoordinator), std::vector<int>{11}); // no LeaveGroup behind it
}

// A rejoin whose SyncGroup gives this member nothing is a stable state: one
// JoinGroup and one SyncGroup, no further round.
TEST_F(Group, RejoinWithEmptyAssignmentDoesNotLoop) {
    member("m-1");
    s.partitions({{0, 1, 0}, {1, 2, 1}});
    for (uint32_t i = 0; i < 2; ++i) s.pcb->pPartitionList[i].i64Offset = -1; // nothing to commit
    s.pcb->u32RejoinNeeded = 1;
    s.preReply(kCoordinator, joinGroupReply(1, 0, 5, "other", "m-1", {}));
    s.preReply(kCoordinator, syncGroupReply(2, 0, assignmentBytes("orders", {})));
    s.preReply(kCoordinator, offsetFetchReply(3, {{0, -1}, {1, -1}}, 0));
    int32_t rc = -1;
    captureLines([&] { rc = kafka_rejoingroup(s.pcb); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(requestKeys(kCoordinator), (std::vector<int>{11, 14, 9}));
    EXPECT_EQ(s.pcb->pPartitionList[0].u32Assigned, 0u);
    EXPECT_EQ(s.pcb->pPartitionList[1].u32Assigned, 0u);
    EXPECT_EQ(s.pcb->u32RejoinNeeded, 0u);
    EXPECT_EQ(s.pcb->u32GroupJoined, 1u) << "a member without partitions is still a member";
}

TEST_F(Group, RejoinStartsAgainWhileTheGroupRebalances) {
    member("m-1");
    s.partitions({{0, 1, 0}});
    s.pcb->pPartitionList[0].i64Offset = -1; // nothing to commit
    s.preReply(kCoordinator, joinGroupReply(1, 0, 5, "other", "m-1", {}));
    s.preReply(kCoordinator, syncGroupReply(2, 27, {}));
    s.preReply(kCoordinator, joinGroupReply(3, 0, 6, "other", "m-1", {}));
    s.preReply(kCoordinator, syncGroupReply(4, 0, assignmentBytes("orders", {0})));
    s.preReply(kCoordinator, offsetFetchReply(5, {{0, 7}}, 0));
    captureLines([&] { kafka_rejoingroup(s.pcb); });
    std::vector<int> keys = requestKeys(kCoordinator);
    ASSERT_GE(keys.size(), 4u);
    EXPECT_EQ(std::vector<int>(keys.begin(), keys.begin() + 4), (std::vector<int>{11, 14, 11, 14}));
    EXPECT_EQ(s.pcb->i32GenerationID, 6);
    EXPECT_EQ(s.pcb->pPartitionList[0].u32Assigned, 1u);
    EXPECT_EQ(s.pcb->pPartitionList[0].i64Offset, 7) << "committed offset read after the rejoin";
}

TEST_F(Group, RecoverDoesNothingForAHealthyMember) {
    s.pcb->u32GroupJoined = 1;
    EXPECT_EQ(kafka_group_recover(s.pcb), 0);
    free(s.pcb->pszGroupID);
    s.pcb->pszGroupID = nullptr;
    s.pcb->u32GroupJoined = 0;
    s.pcb->u32RejoinNeeded = 1;
    EXPECT_EQ(kafka_group_recover(s.pcb), 0);
    EXPECT_TRUE(requestKeys(kCoordinator).empty());
    EXPECT_TRUE(requestKeys(kBootstrap).empty());
}

// A lost coordinator connection is found again first; a coordinator that is
// not a known broker is not retried, and the flags stay for the next call.
TEST_F(Group, RecoverFindsALostCoordinatorAndKeepsFlagsOnFailure) {
    s.pcb->u32GroupJoined = 1;
    close(s.pcb->pBrokerList[kCoordinator].i32Socket);
    s.pcb->pBrokerList[kCoordinator].i32Socket = -1;
    s.preReply(kBootstrap, findCoordinatorReply(1, 0, 9, "127.0.0.1", 1));
    int32_t rc = 0;
    captureLines([&] { rc = kafka_group_recover(s.pcb); });
    EXPECT_EQ(rc, 7520);
    EXPECT_EQ(requestKeys(kBootstrap), std::vector<int>{10});
    EXPECT_EQ(s.pcb->u32CoordinatorLost, 1u);
    EXPECT_EQ(s.pcb->u32RejoinNeeded, 1u);
    EXPECT_EQ(s.pcb->u32GroupJoined, 0u);
}

TEST_F(Group, RecoverRetriesCoordinatorErrorsUntilTheDeadline) {
    s.pcb->u32CoordinatorLost = 1;
    for (int id = 1; id <= 3; ++id)
        s.preReply(kBootstrap, findCoordinatorReply(id, 15, 2, "127.0.0.1", 1));
    s.pcb->i64ConsumeDeadlineMs = transport_monotonicMs() + 600;
    int32_t rc = 0;
    auto start = std::chrono::steady_clock::now();
    captureLines([&] { rc = kafka_group_recover(s.pcb); });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(rc, 7510);
    EXPECT_GE(requestKeys(kBootstrap).size(), 2u);
    EXPECT_GE(waited, std::chrono::milliseconds(550));
    EXPECT_LT(waited, std::chrono::seconds(3));
    EXPECT_EQ(s.pcb->u32CoordinatorLost, 1u);
}

} // namespace
