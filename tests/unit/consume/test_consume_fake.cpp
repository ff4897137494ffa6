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
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "codec/codec.h"
#include "support/fake_broker.h"
#include "support/fetch_reply_builder.h"
#include "support/log_capture.h"
#include "transport/transport.h"
#include "support/protocol_support.h"

using namespace bqxtest;

namespace {

constexpr const char *kTopic = "fake-topic";
constexpr const char *kGroup = "fake-group";
constexpr int32_t kNodeId = 1;

// A record batch holding `values` from `baseOffset` on, with one header
// per record when `headers` is set.
ByteVec recordBatch(int64_t baseOffset, const std::vector<std::string> &values, bool headers) {
    TestBatch batch{baseOffset, {}};
    for (size_t i = 0; i < values.size(); ++i) {
        batch.records.push_back({static_cast<int32_t>(i), values[i]});
        if (headers) batch.records.back().headers = {{"trace", std::string("abc")}};
    }
    return encodeBatch(batch);
}

// Where a request's body starts: behind size, key, version, correlation id
// and the client id.
size_t bodyStart(const FakeRequest &r) { return 14 + ((r.raw[12] << 8) | r.raw[13]); }

// Steps over a 16-bit-length string at `pos`.
size_t skipString(const FakeRequest &r, size_t pos) { return pos + 2 + ((r.raw[pos] << 8) | r.raw[pos + 1]); }

// What a request asked: the fields the fake cluster needs.
struct Asked {
    int32_t partition = -1;
    int64_t offset = -1;
};

// Reads the partition and fetch offset of a Fetch v11 request.
Asked fetchAsked(const FakeRequest &request) {
    const uint8_t *p = request.raw.data();
    size_t pos = bodyStart(request) + 4 + 4 + 4 + 4 + 1 + 4 + 4 + 4; // up to the topic name
    pos = skipString(request, pos) + 4;                                // topic, partition count
    Asked asked;
    asked.partition = static_cast<int32_t>(readBe32(p + pos));
    uint64_t high = readBe32(p + pos + 8), low = readBe32(p + pos + 12);
    asked.offset = static_cast<int64_t>((high << 32) | low);
    return asked;
}

// The member id of a JoinGroup (version 5) request.
std::string joinMemberId(const FakeRequest &r) {
    size_t pos = skipString(r, bodyStart(r)) + 4 + 4; // group id, both time-outs
    return std::string(reinterpret_cast<const char *>(r.raw.data() + pos + 2),
                       (r.raw[pos] << 8) | r.raw[pos + 1]);
}

// A one-broker cluster with a consumer-group coordinator, played by the
// fake broker. The log of each partition is a list of record batches.
struct FakeCluster {
    FakeBroker broker;
    std::mutex mutex;
    std::map<int32_t, std::vector<std::pair<int64_t, ByteVec>>> log; // partition -> batches
    std::atomic<int32_t> partitions{2}; // the test may add partitions while a session runs
    int32_t coordinatorNode = kNodeId;
    int joins = 0;
    int memberCount = 1;
    // A fault for the request, or nothing: decides before the normal reply.
    std::function<bool(const FakeRequest &, FakeAction *)> fault;

    FakeCluster() {
        broker.respond([this](const FakeRequest &r) { return answer(r); });
    }

    void append(int32_t partition, const std::vector<std::string> &values, bool headers = false) {
        std::lock_guard<std::mutex> lock(mutex);
        auto &batches = log[partition];
        int64_t next = 0;
        if (!batches.empty()) next = batches.back().first + countOf(batches.back().second);
        batches.push_back({next, recordBatch(next, values, headers)});
    }
    static int64_t countOf(const ByteVec &batch) { return readBe32(batch.data() + 57); }

    FakeAction answer(const FakeRequest &r) {
        FakeAction action;
        if (fault && fault(r, &action)) return action;
        switch (r.apiKey) {
        case 18: return FakeAction::reply(apiVersions());
        case 3: return FakeAction::reply(metadata());
        case 10: return FakeAction::reply(findCoordinator());
        case 11: return FakeAction::reply(joinGroup(r));
        case 14: return FakeAction::reply(syncGroup(0));
        case 9: return FakeAction::reply(offsetFetch());
        case 2: return FakeAction::reply(listOffsets(r));
        case 1: return fetch(r);
        case 12: return FakeAction::reply(WireBytes().i8(0).i32(0).i16(0).i8(0).bytes);
        case 8: return FakeAction::reply(offsetCommit(r));
        case 13: return FakeAction::reply(WireBytes().i8(0).i32(0).i16(0).uvarint(1).i8(0).bytes);
        }
        return FakeAction::noReply();
    }

    ByteVec apiVersions() const {
        const int16_t ranges[][3] = {{0, 0, 9},  {1, 4, 13}, {2, 0, 9},
                                     {3, 0, 12}, {8, 0, 9},  {9, 0, 9}, {10, 0, 6},
                                     {11, 0, 9}, {12, 0, 4}, {13, 0, 5}, {14, 0, 5},
                                     {17, 0, 1}, {18, 0, 4}, {36, 0, 2}};
        WireBytes w;
        w.i16(0).uvarint(std::size(ranges) + 1);
        for (auto &r : ranges) w.i16(r[0]).i16(r[1]).i16(r[2]).i8(0);
        return w.i32(0).i8(0).bytes;
    }
    ByteVec metadata() {
        std::vector<MetaPartition> parts;
        for (int32_t p = 0; p < partitions; ++p) parts.push_back({p, kNodeId, {kNodeId}, {kNodeId}});
        ByteVec reply = metadataReply(0, {{kNodeId, "127.0.0.1", broker.port()}}, 0, kTopic, parts);
        return ByteVec(reply.begin() + 8, reply.end()); // the body behind size and correlation id
    }
    ByteVec findCoordinator() {
        return WireBytes().i32(0).i16(0).i16(-1).i32(coordinatorNode).str("127.0.0.1").i32(broker.port()).bytes;
    }
    // A new member (empty member id) is first handed its id with error 79;
    // a known one leads a group of `memberCount` members.
    ByteVec joinGroup(const FakeRequest &r) {
        const uint8_t *p = r.raw.data();
        size_t pos = skipString(r, bodyStart(r)) + 4 + 4; // group id, both time-outs
        std::string member(reinterpret_cast<const char *>(p + pos + 2), (p[pos] << 8) | p[pos + 1]);
        std::lock_guard<std::mutex> lock(mutex);
        ++joins;
        WireBytes w;
        if (member.empty())
            return w.i32(0).i16(79).i32(-1).str("").str("").str("member-" + std::to_string(joins)).i32(0).bytes;
        w.i32(0).i16(0).i32(joins).str("range").str(member).str(member).i32(memberCount);
        for (int m = 0; m < memberCount; ++m)
            w.str(m == 0 ? member : "other-" + std::to_string(m)).i16(-1).i32(0);
        return w.bytes;
    }
    ByteVec syncGroup(int16_t error) {
        WireBytes assignment;
        if (error == 0) {
            assignment.i16(1).i32(1).str(kTopic).i32(partitions);
            for (int32_t p = 0; p < partitions; ++p) assignment.i32(p);
            assignment.i32(0);
        }
        WireBytes w;
        w.i32(0).i16(error).i32(static_cast<int64_t>(assignment.bytes.size()));
        w.bytes.insert(w.bytes.end(), assignment.bytes.begin(), assignment.bytes.end());
        return w.bytes;
    }
    ByteVec offsetFetch() {
        std::lock_guard<std::mutex> lock(mutex);
        WireBytes w;
        w.i8(0).i32(0).uvarint(2).compact(kTopic).uvarint(partitions + 1);
        for (int32_t p = 0; p < partitions; ++p) {
            int64_t offset = committed.count(p) ? committed[p] : -1;
            w.i32(p).i64(offset).i32(-1).uvarint(1).i16(0).i8(0);
        }
        return w.i8(0).i16(0).i8(0).bytes;
    }
    std::map<int32_t, int64_t> committed;
    // The earliest offset of every partition is 0.
    ByteVec listOffsets(const FakeRequest &r) {
        size_t pos = skipString(r, bodyStart(r) + 4 + 4) + 4; // replica id, topic count; topic, partition count
        int32_t partition = static_cast<int32_t>(readBe32(r.raw.data() + pos));
        WireBytes w;
        if (r.apiVersion >= 1) w.i32(1).str(kTopic).i32(1).i32(partition).i16(0).i64(-1).i64(0);
        else w.i32(1).str(kTopic).i32(1).i32(partition).i16(0).i32(1).i64(0);
        return w.bytes;
    }
    // Remembers the offsets of an OffsetCommit (version 8) request.
    ByteVec offsetCommit(const FakeRequest &r) {
        const uint8_t *p = r.raw.data();
        size_t pos = bodyStart(r) + 1; // header tags
        auto uvarint = [&] {
            uint64_t v = 0;
            for (int shift = 0; pos < r.raw.size(); shift += 7) {
                uint8_t b = p[pos++];
                v |= uint64_t{b & 0x7Fu} << shift;
                if (!(b & 0x80)) break;
            }
            return v;
        };
        auto compact = [&] { pos += uvarint() - 1; };
        compact();          // group id
        pos += 4;           // generation
        compact();          // member id
        uvarint();          // group instance id (null)
        uvarint();          // topic count
        compact();          // topic
        uint64_t count = uvarint() - 1;
        std::lock_guard<std::mutex> lock(mutex);
        for (uint64_t i = 0; i < count && pos + 17 <= r.raw.size(); ++i) {
            int32_t partition = static_cast<int32_t>(readBe32(p + pos));
            uint64_t high = readBe32(p + pos + 4), low = readBe32(p + pos + 8);
            committed[partition] = static_cast<int64_t>((high << 32) | low);
            pos += 4 + 8 + 4 + 1 + 1; // partition, offset, epoch, metadata, tags
        }
        WireBytes w;
        w.i8(0).i32(0).uvarint(2).compact(kTopic).uvarint(1).i8(0);
        return w.i8(0).bytes;
    }
    // The batches from the asked offset on; an empty reply after a short
    // pause when there are none (a real broker waits up to max_wait_ms).
    FakeAction fetch(const FakeRequest &r) {
        Asked asked = fetchAsked(r);
        ByteVec records;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto &[base, batch] : log[asked.partition])
                if (base + countOf(batch) > asked.offset) records.insert(records.end(), batch.begin(), batch.end());
        }
        FakeAction action = FakeAction::reply(fetchBody(asked.partition, records));
        return records.empty() ? action.delayed(20) : action;
    }
    ByteVec fetchBody(int32_t partition, const ByteVec &records) const {
        WireBytes w;
        w.i32(0).i16(0).i32(0).i32(1).str(kTopic).i32(1);
        w.i32(partition).i16(0).i64(100).i64(100).i64(0).i32(-1).i32(-1);
        w.i32(static_cast<int64_t>(records.size()));
        w.bytes.insert(w.bytes.end(), records.begin(), records.end());
        return w.bytes;
    }

    int count(int16_t apiKey) {
        int n = 0;
        for (const FakeRequest &r : broker.requests()) n += r.apiKey == apiKey;
        return n;
    }
};

// A session of the fake cluster, connected to its topic.
struct FakeSession {
    FakeCluster &cluster;
    int32_t handle = -1;
    explicit FakeSession(FakeCluster &c) : cluster(c) {
        captureLines([&] {
            handle = BQXOPEN();
            std::string bootstrap = "127.0.0.1:" + std::to_string(c.broker.port());
            EXPECT_EQ(BQXCONN(handle, bootstrap.data(), static_cast<int32_t>(bootstrap.size()), kTopic,
                              static_cast<int32_t>(strlen(kTopic))),
                      0);
        });
    }
    ~FakeSession() {
        captureLines([&] { BQXCLSE(handle); });
    }
    // Consumes until `wanted` values or an error; returns the values and
    // the log lines written meanwhile.
    std::vector<std::string> consume(size_t wanted, int32_t timeout, std::vector<LogLine> *lines = nullptr,
                                     int32_t *lastRc = nullptr) {
        std::vector<std::string> values;
        int32_t rc = 0;
        auto log = captureLog([&] {
            std::vector<char> buffer(1025);
            while (values.size() < wanted) {
                uint32_t length = 1024;
                rc = BQXCONS(handle, kGroup, static_cast<int32_t>(strlen(kGroup)), buffer.data(), &length, 0, timeout);
                if (rc != 0) break;
                values.emplace_back(buffer.data(), length);
            }
        });
        if (lines) *lines = log;
        if (lastRc) *lastRc = rc;
        return values;
    }
};

bool logged(const std::vector<LogLine> &lines, const std::string &number) {
    return std::any_of(lines.begin(), lines.end(), [&](const LogLine &l) { return l.number == number; });
}

class ConsumeFake : public ::testing::Test {
  protected:
    void SetUp() override {
        savedWait = gi32ReplyWaitSeconds;
        gi32ReplyWaitSeconds = 3;
    }
    void TearDown() override { gi32ReplyWaitSeconds = savedWait; }
    int32_t savedWait = 35;
    FakeCluster cluster;
};

TEST_F(ConsumeFake, BatchesOfSeveralRecordsWithHeadersArriveInOrderOnce) {
    cluster.append(0, {"a0", "a1", "a2"}, true);
    cluster.append(1, {"b0"});
    cluster.append(1, {"b1", "b2"}, true);
    FakeSession s(cluster);
    int32_t rc = 0;
    std::vector<std::string> got = s.consume(7, 1, nullptr, &rc);
    EXPECT_EQ(rc, 7543) << "nothing is delivered twice";
    std::vector<std::string> p0, p1;
    for (const std::string &v : got) (v[0] == 'a' ? p0 : p1).push_back(v);
    EXPECT_EQ(p0, (std::vector<std::string>{"a0", "a1", "a2"}));
    EXPECT_EQ(p1, (std::vector<std::string>{"b0", "b1", "b2"}));
    EXPECT_EQ(cluster.count(10), 1);
    EXPECT_EQ(cluster.count(11), 2) << "the member-id handshake resends JoinGroup once";
}

// Faults in Fetch replies: each is reported and the partition is fetched
// again, so every value still arrives once.
struct FetchFault {
    const char *name;
    const char *logged;
    std::function<FakeAction(FakeCluster &, const FakeRequest &)> reply;
};

class ConsumeFakeFetchFault : public ConsumeFake, public ::testing::WithParamInterface<FetchFault> {};

TEST_P(ConsumeFakeFetchFault, IsReportedAndTheValuesStillArriveOnce) {
    cluster.partitions = 1;
    cluster.append(0, {"v0", "v1"});
    cluster.append(0, {"v2", "v3"});
    std::atomic<bool> done{false};
    const FetchFault fault = GetParam();
    cluster.fault = [&](const FakeRequest &r, FakeAction *action) {
        if (r.apiKey != 1 || done.exchange(true)) return false;
        *action = fault.reply(cluster, r);
        return true;
    };
    FakeSession s(cluster);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    std::vector<std::string> got = s.consume(5, 2, &lines, &rc);
    EXPECT_EQ(got, (std::vector<std::string>{"v0", "v1", "v2", "v3"}));
    if (fault.logged[0]) {
        EXPECT_TRUE(logged(lines, fault.logged)) << fault.name;
    }
}

FakeAction badCrc(FakeCluster &c, const FakeRequest &) {
    ByteVec batch = recordBatch(0, {"v0", "v1"}, false);
    batch[20] ^= 0xFF; // inside the crc field
    return FakeAction::reply(c.fetchBody(0, batch));
}

FakeAction otherCorrelationId(FakeCluster &c, const FakeRequest &) {
    return FakeAction::reply(c.fetchBody(0, recordBatch(0, {"v0", "v1"}, false)), 7);
}

FakeAction cutOffLastBatch(FakeCluster &c, const FakeRequest &) {
    ByteVec records = recordBatch(0, {"v0", "v1"}, false);
    ByteVec second = recordBatch(2, {"v2", "v3"}, false);
    records.insert(records.end(), second.begin(), second.begin() + 30);
    return FakeAction::reply(c.fetchBody(0, records));
}

INSTANTIATE_TEST_SUITE_P(Faults, ConsumeFakeFetchFault,
                         ::testing::Values(FetchFault{"crc", "7540", badCrc},
                                           FetchFault{"correlation", "7516", otherCorrelationId},
                                           FetchFault{"cut", "", cutOffLastBatch}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ConsumeFake, RebalanceOnSyncGroupAndHeartbeatLeadsToRejoin) {
    cluster.partitions = 1;
    cluster.append(0, {"r0"});
    std::atomic<int> syncs{0}, heartbeats{0};
    cluster.fault = [&](const FakeRequest &r, FakeAction *action) {
        if (r.apiKey == 14 && syncs++ == 1) { // the first rejoin's SyncGroup
            *action = FakeAction::reply(cluster.syncGroup(27));
            return true;
        }
        if (r.apiKey == 12 && heartbeats++ == 0) {
            *action = FakeAction::reply(WireBytes().i8(0).i32(0).i16(27).i8(0).bytes);
            return true;
        }
        return false;
    };
    FakeSession s(cluster);
    BQXTIMO(s.handle, 6); // heartbeats every second
    EXPECT_EQ(s.consume(1, 5), std::vector<std::string>{"r0"});
    std::vector<LogLine> lines;
    int32_t rc = 0;
    s.consume(1, 5, &lines, &rc); // waits while the heartbeat reports the rebalance
    EXPECT_EQ(rc, 7543);
    EXPECT_GE(heartbeats.load(), 1);
    EXPECT_GE(syncs.load(), 3) << "rejoined after the heartbeat's 27 and again after SyncGroup's 27";
    EXPECT_GE(cluster.count(11), 4);
}

// The first rejoin's SyncGroup fails with REBALANCE_IN_PROGRESS while
// another member takes partition 1 over, reads on to 30 and commits 30:
// the next round commits nothing of partition 1 for this member (it owns
// nothing after the failure), and once it is assigned partition 1 again it
// resumes from 30.
TEST_F(ConsumeFake, FailedSyncGroupCommitsNoPartitionItDoesNotOwn) {
    auto values = [](int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i) out.push_back("p1-" + std::to_string(i));
        return out;
    };
    cluster.append(1, values(0, 10));
    std::atomic<int> syncs{0}, heartbeats{0};
    cluster.fault = [&](const FakeRequest &r, FakeAction *action) {
        if (r.apiKey == 12 && heartbeats++ == 0) {
            *action = FakeAction::reply(WireBytes().i8(0).i32(0).i16(27).i8(0).bytes);
            return true;
        }
        if (r.apiKey != 14 || syncs++ != 1) return false;
        cluster.append(1, values(10, 40));
        std::lock_guard<std::mutex> lock(cluster.mutex);
        cluster.committed[1] = 30; // the other member's commit
        *action = FakeAction::reply(cluster.syncGroup(27));
        return true;
    };
    FakeSession s(cluster);
    BQXTIMO(s.handle, 6); // heartbeats every second
    EXPECT_EQ(s.consume(10, 5), values(0, 10));
    EXPECT_EQ(s.consume(1, 8), std::vector<std::string>{"p1-30"});
    EXPECT_GE(syncs.load(), 3);
    std::lock_guard<std::mutex> lock(cluster.mutex);
    EXPECT_GE(cluster.committed[1], 30) << "no stale offset of partition 1 was committed";
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
    cluster.partitions = 1;
    cluster.append(0, {"c0", "c1", "c2"});
    std::atomic<bool> done{false};
    const LostCoordinator lost = GetParam();
    cluster.fault = [&](const FakeRequest &r, FakeAction *action) {
        if (r.apiKey != lost.apiKey || done.exchange(true)) return false;
        *action = lost.reply();
        return true;
    };
    FakeSession s(cluster);
    BQXTIMO(s.handle, 6); // heartbeats every second
    EXPECT_EQ(s.consume(1, 5), std::vector<std::string>{"c0"});
    usleep(1500 * 1000); // a heartbeat goes out
    // What was not committed before the coordinator was lost may come again.
    std::vector<std::string> later;
    for (int i = 0; i < 6 && (later.empty() || later.back() != "c2"); ++i) {
        std::vector<std::string> one = s.consume(1, 8);
        if (one.empty()) break;
        later.push_back(one[0]);
    }
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later.back(), "c2");
    EXPECT_NE(std::find(later.begin(), later.end(), "c1"), later.end());
    s.consume(1, 3); // a wait that reads the last replies (a commit's among them)
    EXPECT_TRUE(done.load()) << "the fault was met";
    EXPECT_GE(cluster.count(10), 2) << "FindCoordinator again";
    EXPECT_GE(cluster.count(11), 3) << "joined again";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ConsumeFakeLostCoordinator,
    ::testing::Values(
        LostCoordinator{"heartbeat_connection_closed", 12, [] { return FakeAction::close(); }},
        LostCoordinator{"heartbeat_not_coordinator", 12,
                        [] { return FakeAction::reply(WireBytes().i8(0).i32(0).i16(16).i8(0).bytes); }},
        LostCoordinator{"commit_not_coordinator", 8, [] {
                            return FakeAction::reply(
                                WireBytes().i8(0).i32(0).uvarint(2).compact(kTopic).uvarint(2).i32(0).i16(16).i8(0).i8(0).i8(0).bytes);
                        }}),
    [](const auto &info) { return std::string(info.param.name); });

// A JoinGroup unanswered for its whole wait fails with 7524 and its
// connection is closed; the join is tried again on a new connection, and
// that one is still pending when the call's timeout ends it.
TEST_F(ConsumeFake, JoinGroupNeverAnsweredIs7524AfterTheWait) {
    cluster.fault = [&](const FakeRequest &r, FakeAction *action) {
        if (r.apiKey != 11) return false;
        *action = FakeAction::noReply();
        return true;
    };
    FakeSession s(cluster);
    BQXTIMO(s.handle, 1); // the JoinGroup wait is the rebalance time-out (3 s) and a margin
    std::vector<LogLine> lines;
    int32_t rc = 0;
    s.consume(1, 14, &lines, &rc); // a call timeout just beyond the JoinGroup wait
    EXPECT_EQ(rc, 7543);
    EXPECT_TRUE(logged(lines, "7524"));
    EXPECT_EQ(cluster.count(11), 2);
    PCB *pcb = get_BQXPCB(s.handle);
    EXPECT_NE(pcb->pszGroupID, nullptr) << "the next call waits for the pending JoinGroup";
}

TEST_F(ConsumeFake, CoordinatorOutsideTheClusterIs7520) {
    cluster.coordinatorNode = 7;
    FakeSession s(cluster);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    s.consume(1, 1, &lines, &rc);
    EXPECT_EQ(rc, 7520);
    EXPECT_TRUE(logged(lines, "7520"));
}

TEST_F(ConsumeFake, LeaderOfSeventeenMembersStaysInsideItsTable) {
    cluster.memberCount = 17;
    cluster.partitions = 1;
    cluster.append(0, {"m0"});
    FakeSession s(cluster);
    BQXCLDB(s.handle, 1);
    EXPECT_EQ(s.consume(1, 3), std::vector<std::string>{"m0"});
    PCB *pcb = get_BQXPCB(s.handle);
    EXPECT_LE(pcb->u32NumMembers, static_cast<uint32_t>(kMaxMembers));
}

// Two sessions, each the only member of its own group, consume on two
// threads while the heartbeat thread serves both; closing the last session
// ends and joins the heartbeat thread.
TEST_F(ConsumeFake, TwoSessionsConsumeOnTwoThreadsWithTheHeartbeatThread) {
    cluster.partitions = 1;
    cluster.append(0, {"t0", "t1", "t2"});
    std::vector<std::string> got[2];
    {
        FakeSession a(cluster), b(cluster);
        BQXTIMO(a.handle, 6);
        BQXTIMO(b.handle, 6);
        auto run = [&](FakeSession *s, const char *group, std::vector<std::string> *out) {
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
        EXPECT_GE(cluster.count(12), 1) << "the heartbeat thread sent heartbeats";
    }
    for (auto &values : got) EXPECT_EQ(values, (std::vector<std::string>{"t0", "t1", "t2"}));
    kafka_lock("test");
    EXPECT_EQ(giThreadActive, 0);
    kafka_unlock("test");
}

// Partitions added to the topic are seen once the session's Metadata is
// older than its maximum age: the member joins again, is assigned the new
// partition and consumes it, and the old partition goes on where it was.
TEST_F(ConsumeFake, PartitionsAddedToTheTopicAreConsumedAfterARefresh) {
    cluster.partitions = 1;
    cluster.append(0, {"a0", "a1"});
    FakeSession s(cluster);
    EXPECT_EQ(s.consume(1, 3), std::vector<std::string>{"a0"});
    kafka_lock("test");
    get_BQXPCB(s.handle)->u32MetadataMaxAgeMs = 300;
    kafka_unlock("test");
    int joinsBefore = cluster.count(11);
    cluster.partitions = 2;
    cluster.append(1, {"b0"});
    std::vector<LogLine> lines;
    int32_t rc = 0;
    std::vector<std::string> got = s.consume(3, 3, &lines, &rc);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"a1", "b0"}));
    EXPECT_EQ(rc, 7543) << "nothing is delivered twice";
    EXPECT_TRUE(logged(lines, "0045"));
    EXPECT_GT(cluster.count(11), joinsBefore) << "joined again for the new partition";
}

// The member ids of the JoinGroup requests the cluster received, in order.
std::vector<std::string> joinIds(FakeCluster &cluster) {
    std::vector<std::string> ids;
    for (const FakeRequest &r : cluster.broker.requests())
        if (r.apiKey == 11) ids.push_back(joinMemberId(r));
    return ids;
}

// A join that fails after the coordinator gave a member id ends that
// membership with one LeaveGroup, and the next join starts as a new member.
class ConsumeFakeFailedJoin : public ConsumeFake, public ::testing::WithParamInterface<int16_t> {};

TEST_P(ConsumeFakeFailedJoin, LeavesOnceAndJoinsAgainAsANewMember) {
    cluster.partitions = 1;
    cluster.append(0, {"f0"});
    const int16_t failing = GetParam();
    std::atomic<bool> failed{false};
    cluster.fault = [&](const FakeRequest &r, FakeAction *action) {
        if (r.apiKey != failing || (failing == 11 && joinMemberId(r).empty()) || failed.exchange(true))
            return false;
        // INCONSISTENT_GROUP_PROTOCOL: not retried.
        WireBytes joinRefused;
        joinRefused.i32(0).i16(23).i32(-1).str("").str("").str(joinMemberId(r)).i32(0);
        *action = FakeAction::reply(failing == 11 ? joinRefused.bytes : cluster.syncGroup(23));
        return true;
    };
    FakeSession s(cluster);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    s.consume(1, 2, &lines, &rc);
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(cluster.count(13), 1) << "one LeaveGroup per membership";
    EXPECT_FALSE(logged(lines, "7528"));
    EXPECT_EQ(s.consume(1, 3), std::vector<std::string>{"f0"});
    std::vector<std::string> ids = joinIds(cluster);
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[1], "member-1");
    EXPECT_EQ(ids[2], "") << "the spent member id is not used again";
}

INSTANTIATE_TEST_SUITE_P(Steps, ConsumeFakeFailedJoin, ::testing::Values(11, 14),
                         [](const auto &info) { return info.param == 11 ? "join" : "sync"; });

// A JoinGroup that the coordinator holds (a restarted member waits for its
// old self's session to end) ends the call by its timeout; the request
// stays pending, and the next call takes its reply without sending another.
TEST_F(ConsumeFake, HeldJoinGroupEndsTheCallByItsTimeoutAndTheNextCallTakesItsReply) {
    cluster.partitions = 1;
    cluster.append(0, {"h0"});
    auto gate = std::make_shared<FakeGate>();
    std::atomic<bool> held{false};
    cluster.fault = [&](const FakeRequest &r, FakeAction *action) {
        if (r.apiKey != 11 || joinMemberId(r).empty() || held.exchange(true)) return false;
        *action = FakeAction::reply(cluster.joinGroup(r)).heldBy(gate);
        return true;
    };
    FakeSession s(cluster);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    auto start = std::chrono::steady_clock::now();
    s.consume(1, 1, &lines, &rc);
    EXPECT_EQ(rc, 7543);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_FALSE(logged(lines, "7524"));
    gate->open();
    EXPECT_EQ(s.consume(1, 3), std::vector<std::string>{"h0"});
    EXPECT_EQ(cluster.count(11), 2) << "the pending JoinGroup was not sent again";
    EXPECT_EQ(cluster.count(13), 0);
}

// Without load balancing a session must be its group's only consumer: a
// member in the same process is refused at once, without a JoinGroup, and
// the first member goes on.
TEST_F(ConsumeFake, SecondSessionOfTheProcessInTheSameGroupIs7535AtOnce) {
    cluster.partitions = 1;
    cluster.append(0, {"s0", "s1"});
    FakeSession a(cluster), b(cluster);
    EXPECT_EQ(a.consume(1, 3), std::vector<std::string>{"s0"});
    int joins = cluster.count(11);
    std::vector<LogLine> lines;
    int32_t rc = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(b.consume(1, 3, &lines, &rc).empty());
    EXPECT_EQ(rc, 7535);
    EXPECT_TRUE(logged(lines, "7535"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(cluster.count(11), joins);
    EXPECT_EQ(a.consume(1, 3), std::vector<std::string>{"s1"});
}

} // namespace
