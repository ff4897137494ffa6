// BQXCONS from end to end against the scripted fake broker, which plays a
// one-broker cluster that answers every request the consumer sends, and
// breaks on purpose what a real broker will not break on demand: a bad
// CRC, a reply with another correlation id, a cut-off last batch, a
// rebalance reported on Heartbeat or SyncGroup, a JoinGroup that is never
// answered, a coordinator outside the cluster, a group of 17 members.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "codec/codec.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"
#include "support/protocol_support.h"

using namespace bqxtest;

namespace {

constexpr const char *kTopic = "fake-topic";
constexpr const char *kGroup = "fake-group";
constexpr int32_t kNodeId = 1;
constexpr int32_t kWaitSeconds = 3;

// A one-broker cluster, group coordinator too, offering the consumer's
// version ranges; its log has two partitions unless the test sets others.
class ConsumeFake : public ::testing::Test {
  protected:
    ConsumeFake() { cluster.offerApiVersions(consumerApiRanges()); }
    void open(ClusterSession &s) { EXPECT_EQ(s.connect(cluster), 0); }

    FakeCluster cluster{kTopic, 1, {kNodeId, kNodeId}};
};

TEST_F(ConsumeFake, BatchesOfSeveralRecordsWithHeadersArriveInOrderOnce) {
    cluster.append(0, {"a0", "a1", "a2"}, true);
    cluster.append(1, {"b0"});
    cluster.append(1, {"b1", "b2"}, true);
    ClusterSession s(kWaitSeconds);
    open(s);
    int32_t rc = 0;
    std::vector<std::string> got = s.consume(kGroup, 7, 1, nullptr, &rc);
    EXPECT_EQ(rc, 7543) << "nothing is delivered twice";
    std::vector<std::string> p0, p1;
    for (const std::string &v : got) (v[0] == 'a' ? p0 : p1).push_back(v);
    EXPECT_EQ(p0, (std::vector<std::string>{"a0", "a1", "a2"}));
    EXPECT_EQ(p1, (std::vector<std::string>{"b0", "b1", "b2"}));
    EXPECT_EQ(cluster.count(0, kFindCoordinatorKey), 1);
    EXPECT_EQ(cluster.count(0, kJoinGroupKey), 2)
        << "the member-id handshake resends JoinGroup once";
}

// Faults in Fetch replies: each is reported and the partition is fetched
// again, so every value still arrives once. With check.crcs off, a batch
// with a wrong CRC is delivered as it came, unreported.
struct FetchFault {
    const char *name;
    const char *logged;
    std::function<FakeAction()> reply;
    bool checkCrcs = true;
};

class ConsumeFakeFetchFault : public ConsumeFake, public ::testing::WithParamInterface<FetchFault> {};

TEST_P(ConsumeFakeFetchFault, IsReportedAndTheValuesStillArriveOnce) {
    cluster.setPartitionCount(1);
    cluster.append(0, {"v0", "v1"});
    cluster.append(0, {"v2", "v3"});
    std::atomic<bool> done{false};
    const FetchFault fault = GetParam();
    cluster.onRequest(kFetchKey, [&](size_t, const FakeRequest &) -> std::optional<FakeAction> {
        if (done.exchange(true))
            return std::nullopt;
        return fault.reply();
    });
    ClusterSession s(kWaitSeconds);
    if (!fault.checkCrcs)
        s.settings = {{"check.crcs", "false"}};
    open(s);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    std::vector<std::string> got = s.consume(kGroup, 5, 2, &lines, &rc);
    EXPECT_EQ(got, (std::vector<std::string>{"v0", "v1", "v2", "v3"}));
    if (fault.logged[0]) {
        EXPECT_TRUE(logged(lines, fault.logged)) << fault.name;
    }
    EXPECT_EQ(logged(lines, "7540"), fault.checkCrcs && strcmp(fault.name, "crc") == 0);
}

FakeAction badCrc() {
    ByteVec batch = recordBatch(0, {"v0", "v1"}, false);
    batch[20] ^= 0xFF; // inside the crc field
    return FakeAction::reply(fetchReplyBody(kTopic, 0, batch));
}

FakeAction otherCorrelationId() {
    return FakeAction::reply(fetchReplyBody(kTopic, 0, recordBatch(0, {"v0", "v1"}, false)), 7);
}

FakeAction cutOffLastBatch() {
    ByteVec records = recordBatch(0, {"v0", "v1"}, false);
    ByteVec second = recordBatch(2, {"v2", "v3"}, false);
    records.insert(records.end(), second.begin(), second.begin() + 30);
    return FakeAction::reply(fetchReplyBody(kTopic, 0, records));
}

INSTANTIATE_TEST_SUITE_P(Faults, ConsumeFakeFetchFault,
                         ::testing::Values(FetchFault{"crc", "7540", badCrc},
                                           FetchFault{"crc_unchecked", "", badCrc, false},
                                           FetchFault{"correlation", "7516", otherCorrelationId},
                                           FetchFault{"cut", "", cutOffLastBatch}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ConsumeFake, RebalanceOnSyncGroupAndHeartbeatLeadsToRejoin) {
    cluster.setPartitionCount(1);
    cluster.append(0, {"r0"});
    std::atomic<int> syncs{0}, heartbeats{0};
    cluster.onRequest(kSyncGroupKey, [&](size_t, const FakeRequest &) -> std::optional<FakeAction> {
        if (syncs++ != 1)
            return std::nullopt; // the first rejoin's SyncGroup
        return FakeAction::reply(bodyOf(syncGroupReply(0, 27, {})));
    });
    cluster.onRequest(kHeartbeatKey, [&](size_t, const FakeRequest &) -> std::optional<FakeAction> {
        if (heartbeats++ != 0)
            return std::nullopt;
        return FakeAction::reply(bodyOf(heartbeatReply(0, 27)));
    });
    ClusterSession s(kWaitSeconds);
    open(s);
    BQXTIMO(s.handle, 6); // heartbeats every second
    EXPECT_EQ(s.consume(kGroup, 1, 5), std::vector<std::string>{"r0"});
    std::vector<LogLine> lines;
    int32_t rc = 0;
    s.consume(kGroup, 1, 5, &lines, &rc); // waits while the heartbeat reports the rebalance
    EXPECT_EQ(rc, 7543);
    EXPECT_GE(heartbeats.load(), 1);
    EXPECT_GE(syncs.load(), 3) << "rejoined after the heartbeat's 27 and again after SyncGroup's 27";
    EXPECT_GE(cluster.count(0, kJoinGroupKey), 4);
}

// The coordinator is lost (its connection ends, or it answers
// NOT_COORDINATOR): the session finds it again, rejoins and goes on
// consuming within the same call.
struct LostCoordinator {
    const char *name;
    int16_t apiKey;
    std::function<FakeAction()> reply;
};

class ConsumeFakeLostCoordinator : public ConsumeFake,
                                   public ::testing::WithParamInterface<LostCoordinator> {};

TEST_P(ConsumeFakeLostCoordinator, IsFoundAgainAndConsumingGoesOn) {
    cluster.setPartitionCount(1);
    cluster.append(0, {"c0", "c1", "c2"});
    std::atomic<bool> done{false};
    const LostCoordinator lost = GetParam();
    cluster.onRequest(lost.apiKey, [&](size_t, const FakeRequest &) -> std::optional<FakeAction> {
        if (done.exchange(true))
            return std::nullopt;
        return lost.reply();
    });
    ClusterSession s(kWaitSeconds);
    open(s);
    BQXTIMO(s.handle, 6); // heartbeats every second
    EXPECT_EQ(s.consume(kGroup, 1, 5), std::vector<std::string>{"c0"});
    usleep(1500 * 1000); // a heartbeat goes out
    // What was not committed before the coordinator was lost may come again.
    std::vector<std::string> later;
    for (int i = 0; i < 6 && (later.empty() || later.back() != "c2"); ++i) {
        std::vector<std::string> one = s.consume(kGroup, 1, 8);
        if (one.empty()) break;
        later.push_back(one[0]);
    }
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later.back(), "c2");
    EXPECT_NE(std::find(later.begin(), later.end(), "c1"), later.end());
    s.consume(kGroup, 1, 3); // a wait that reads the last replies (a commit's among them)
    EXPECT_TRUE(done.load()) << "the fault was met";
    EXPECT_GE(cluster.count(0, kFindCoordinatorKey), 2) << "FindCoordinator again";
    EXPECT_GE(cluster.count(0, kJoinGroupKey), 3) << "joined again";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ConsumeFakeLostCoordinator,
    ::testing::Values(
        LostCoordinator{"heartbeat_connection_closed", 12, [] { return FakeAction::close(); }},
        LostCoordinator{"heartbeat_not_coordinator", 12,
                        [] { return FakeAction::reply(bodyOf(heartbeatReply(0, 16))); }},
        LostCoordinator{
            "commit_not_coordinator", 8,
            [] {
                return FakeAction::reply(bodyOf(offsetCommitReply(0, {{0, 16}}, kTopic)));
            }}),
    [](const auto &info) { return std::string(info.param.name); });

// A JoinGroup unanswered for its whole wait fails with 7524 and its
// connection is closed; the join is tried again on a new connection, and
// that one is still pending when the call's timeout ends it.
TEST_F(ConsumeFake, JoinGroupNeverAnsweredIs7524AfterTheWait) {
    cluster.onRequest(kJoinGroupKey, [](size_t, const FakeRequest &) -> std::optional<FakeAction> {
        return FakeAction::noReply();
    });
    ClusterSession s(kWaitSeconds);
    open(s);
    BQXTIMO(s.handle, 1); // the JoinGroup wait is the rebalance time-out (3 s) and a margin
    std::vector<LogLine> lines;
    int32_t rc = 0;
    s.consume(kGroup, 1, 14, &lines, &rc); // a call timeout just beyond the JoinGroup wait
    EXPECT_EQ(rc, 7543);
    EXPECT_TRUE(logged(lines, "7524"));
    EXPECT_EQ(cluster.count(0, kJoinGroupKey), 2);
    PCB *pcb = get_BQXPCB(s.handle);
    EXPECT_NE(pcb->pszGroupID, nullptr) << "the next call waits for the pending JoinGroup";
}

TEST_F(ConsumeFake, CoordinatorOutsideTheClusterIs7520) {
    cluster.setCoordinator(7);
    ClusterSession s(kWaitSeconds);
    open(s);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    s.consume(kGroup, 1, 1, &lines, &rc);
    EXPECT_EQ(rc, 7520);
    EXPECT_TRUE(logged(lines, "7520"));
}

TEST_F(ConsumeFake, LeaderOfSeventeenMembersStaysInsideItsTable) {
    cluster.setMemberCount(17);
    cluster.setPartitionCount(1);
    cluster.append(0, {"m0"});
    ClusterSession s(kWaitSeconds);
    open(s);
    BQXCLDB(s.handle, 1);
    EXPECT_EQ(s.consume(kGroup, 1, 3), std::vector<std::string>{"m0"});
    PCB *pcb = get_BQXPCB(s.handle);
    EXPECT_LE(pcb->u32NumMembers, static_cast<uint32_t>(kMaxMembers));
}

// Two sessions, each the only member of its own group, consume on two
// threads while the heartbeat thread serves both; closing the last session
// ends and joins the heartbeat thread.
TEST_F(ConsumeFake, TwoSessionsConsumeOnTwoThreadsWithTheHeartbeatThread) {
    cluster.setPartitionCount(1);
    cluster.append(0, {"t0", "t1", "t2"});
    std::vector<std::string> got[2];
    {
        ClusterSession a(kWaitSeconds), b(kWaitSeconds);
        open(a);
        open(b);
        BQXTIMO(a.handle, 6);
        BQXTIMO(b.handle, 6);
        auto run = [&](ClusterSession *s, const char *group, std::vector<std::string> *out) {
            std::vector<char> buffer(1025);
            for (int i = 0; i < 3; ++i) {
                uint32_t length = 1024;
                if (BQXCONS(s->handle, group, static_cast<int32_t>(strlen(group)), buffer.data(), &length, 0, 5) != 0)
                    break;
                out->emplace_back(buffer.data(), length);
                usleep(400 * 1000); // heartbeats go out meanwhile
            }
        };
        captureLines([&] {
            std::thread first(run, &a, "group-a", &got[0]);
            std::thread second(run, &b, "group-b", &got[1]);
            first.join();
            second.join();
        });
        EXPECT_GE(cluster.count(0, kHeartbeatKey), 1) << "the heartbeat thread sent heartbeats";
    }
    for (auto &values : got) EXPECT_EQ(values, (std::vector<std::string>{"t0", "t1", "t2"}));
    kafka_lock("test");
    EXPECT_EQ(giThreadActive, 0);
    kafka_unlock("test");
}

// The member id of a JoinGroup (version 5) request.
std::string joinMemberId(const FakeRequest &request) {
    RequestReader in{request.raw};
    in.str(); // group id
    in.be(4); // session time-out
    in.be(4); // rebalance time-out
    return in.str();
}

// The member ids of the JoinGroup requests the cluster received, in order.
std::vector<std::string> joinIds(FakeCluster &cluster) {
    std::vector<std::string> ids;
    for (const FakeRequest &r : cluster.broker(0).requests())
        if (r.apiKey == kJoinGroupKey)
            ids.push_back(joinMemberId(r));
    return ids;
}

// The first rejoin's SyncGroup fails with REBALANCE_IN_PROGRESS while
// another member takes partition 1 over, reads on to 30 and commits 30:
// the next round commits nothing of partition 1 for this member (it owns
// nothing after the failure), and once it is assigned partition 1 again it
// resumes from 30.
TEST_F(ConsumeFake, FailedSyncGroupCommitsNoPartitionItDoesNotOwn) {
    auto values = [](int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i)
            out.push_back("p1-" + std::to_string(i));
        return out;
    };
    cluster.append(1, values(0, 10));
    std::atomic<int> syncs{0}, heartbeats{0};
    cluster.onRequest(kHeartbeatKey, [&](size_t, const FakeRequest &) -> std::optional<FakeAction> {
        if (heartbeats++ != 0)
            return std::nullopt;
        return FakeAction::reply(bodyOf(heartbeatReply(0, 27)));
    });
    cluster.onRequest(kSyncGroupKey, [&](size_t, const FakeRequest &) -> std::optional<FakeAction> {
        if (syncs++ != 1)
            return std::nullopt;
        cluster.append(1, values(10, 40));
        cluster.setCommitted(1, 30); // the other member's commit
        return FakeAction::reply(bodyOf(syncGroupReply(0, 27, {})));
    });
    ClusterSession s(kWaitSeconds);
    open(s);
    BQXTIMO(s.handle, 6); // heartbeats every second
    EXPECT_EQ(s.consume(kGroup, 10, 5), values(0, 10));
    EXPECT_EQ(s.consume(kGroup, 1, 8), std::vector<std::string>{"p1-30"});
    EXPECT_GE(syncs.load(), 3);
    EXPECT_GE(cluster.committed(1), 30) << "no stale offset of partition 1 was committed";
}

// Partitions added to the topic are seen once the session's Metadata is
// older than its maximum age: the member joins again, is assigned the new
// partition and consumes it, and the old partition goes on where it was.
TEST_F(ConsumeFake, PartitionsAddedToTheTopicAreConsumedAfterARefresh) {
    cluster.setPartitionCount(1);
    cluster.append(0, {"a0", "a1"});
    ClusterSession s(kWaitSeconds);
    open(s);
    EXPECT_EQ(s.consume(kGroup, 1, 3), std::vector<std::string>{"a0"});
    kafka_lock("test");
    s.pcb->u32MetadataMaxAgeMs = 300;
    kafka_unlock("test");
    int joinsBefore = cluster.count(0, kJoinGroupKey);
    cluster.setPartitionCount(2);
    cluster.append(1, {"b0"});
    std::vector<LogLine> lines;
    int32_t rc = 0;
    std::vector<std::string> got = s.consume(kGroup, 3, 3, &lines, &rc);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"a1", "b0"}));
    EXPECT_EQ(rc, 7543) << "nothing is delivered twice";
    EXPECT_TRUE(logged(lines, "0045"));
    EXPECT_GT(cluster.count(0, kJoinGroupKey), joinsBefore) << "joined again for the new partition";
}

// A join that fails after the coordinator gave a member id ends that
// membership with one LeaveGroup, and the next join starts as a new member.
class ConsumeFakeFailedJoin : public ConsumeFake, public ::testing::WithParamInterface<int16_t> {};

TEST_P(ConsumeFakeFailedJoin, LeavesOnceAndJoinsAgainAsANewMember) {
    cluster.setPartitionCount(1);
    cluster.append(0, {"f0"});
    const int16_t failing = GetParam();
    std::atomic<bool> failed{false};
    cluster.onRequest(failing, [&](size_t, const FakeRequest &r) -> std::optional<FakeAction> {
        if ((failing == kJoinGroupKey && joinMemberId(r).empty()) || failed.exchange(true))
            return std::nullopt;
        // INCONSISTENT_GROUP_PROTOCOL: not retried.
        if (failing == kJoinGroupKey)
            return FakeAction::reply(bodyOf(joinGroupReply(0, 23, -1, "", joinMemberId(r), {})));
        return FakeAction::reply(bodyOf(syncGroupReply(0, 23, {})));
    });
    ClusterSession s(kWaitSeconds);
    open(s);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    s.consume(kGroup, 1, 2, &lines, &rc);
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(cluster.count(0, kLeaveGroupKey), 1) << "one LeaveGroup per membership";
    EXPECT_FALSE(logged(lines, "7528"));
    EXPECT_EQ(s.consume(kGroup, 1, 3), std::vector<std::string>{"f0"});
    std::vector<std::string> ids = joinIds(cluster);
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[1], "member-1");
    EXPECT_EQ(ids[2], "") << "the spent member id is not used again";
}

INSTANTIATE_TEST_SUITE_P(Steps, ConsumeFakeFailedJoin,
                         ::testing::Values(kJoinGroupKey, kSyncGroupKey), [](const auto &info) {
                             return info.param == kJoinGroupKey ? "join" : "sync";
                         });

// A JoinGroup that the coordinator holds (a restarted member waits for its
// old self's session to end) ends the call by its timeout; the request
// stays pending, and the next call takes its reply without sending another.
TEST_F(ConsumeFake, HeldJoinGroupEndsTheCallByItsTimeoutAndTheNextCallTakesItsReply) {
    cluster.setPartitionCount(1);
    cluster.append(0, {"h0"});
    auto gate = std::make_shared<FakeGate>();
    std::atomic<bool> held{false};
    cluster.onRequest(kJoinGroupKey,
                      [&](size_t, const FakeRequest &r) -> std::optional<FakeAction> {
                          if (joinMemberId(r).empty() || held.exchange(true))
                              return std::nullopt;
                          return FakeAction::reply(cluster.joinGroup(r)).heldBy(gate);
                      });
    ClusterSession s(kWaitSeconds);
    open(s);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    auto start = std::chrono::steady_clock::now();
    s.consume(kGroup, 1, 1, &lines, &rc);
    EXPECT_EQ(rc, 7543);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_FALSE(logged(lines, "7524"));
    gate->open();
    EXPECT_EQ(s.consume(kGroup, 1, 3), std::vector<std::string>{"h0"});
    EXPECT_EQ(cluster.count(0, kJoinGroupKey), 2) << "the pending JoinGroup was not sent again";
    EXPECT_EQ(cluster.count(0, kLeaveGroupKey), 0);
}

// Without load balancing a session must be its group's only consumer: a
// member in the same process is refused at once, without a JoinGroup, and
// the first member goes on.
TEST_F(ConsumeFake, SecondSessionOfTheProcessInTheSameGroupIs7535AtOnce) {
    cluster.setPartitionCount(1);
    cluster.append(0, {"s0", "s1"});
    ClusterSession a(kWaitSeconds), b(kWaitSeconds);
    open(a);
    open(b);
    EXPECT_EQ(a.consume(kGroup, 1, 3), std::vector<std::string>{"s0"});
    int joins = cluster.count(0, kJoinGroupKey);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(b.consume(kGroup, 1, 3, &lines, &rc).empty());
    EXPECT_EQ(rc, 7535);
    EXPECT_TRUE(logged(lines, "7535"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(cluster.count(0, kJoinGroupKey), joins);
    EXPECT_EQ(a.consume(kGroup, 1, 3), std::vector<std::string>{"s1"});
}

} // namespace
