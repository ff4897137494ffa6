// Consuming with prefetch against real Kafka, checked by offsets: large
// topics led by one broker and by three arrive whole, once and in order; a
// rebalance while a member holds prefetched replies hands each partition
// over at the member's committed position, and nothing it had buffered of
// a lost partition is delivered; records deleted while replies are
// buffered and a Fetch is out reset the position to the log start without
// a message twice.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;

namespace {

constexpr uint32_t kCapacity = 256;

// A delivered message: where it was, and its value ("P<partition>-<offset>"
// on these topics, written by kcat into empty partitions).
struct Delivery {
    int32_t partition;
    int64_t offset;
    std::string value;
};

// Calls BQXCONS until `wanted` messages arrived or a call returns an error
// (7543 once the topic stays empty for `timeout` seconds); `pause` is
// called before every call and stops the loop when it returns false.
int32_t consumeInto(int32_t handle, const std::string &group, size_t wanted, int32_t timeout,
                    std::vector<Delivery> &out, const std::function<bool()> &pause = nullptr) {
    char buffer[kCapacity + 1];
    for (size_t n = 0; n < wanted; ++n) {
        if (pause && !pause())
            return 0;
        uint32_t length = kCapacity;
        int32_t rc = BQXCONS(handle, group.data(), static_cast<int32_t>(group.size()), buffer,
                             &length, 0, timeout);
        if (rc != 0)
            return rc;
        Delivery d{-1, -1, std::string(buffer, length)};
        char key[8];
        uint32_t keyLength = sizeof key;
        int64_t timestamp = 0;
        uint32_t flags = 0;
        if (BQXINFO(handle, key, &keyLength, &d.partition, &d.offset, &timestamp, &flags) != 0)
            return -1;
        out.push_back(d);
    }
    return 0;
}

std::string valueAt(int32_t partition, int64_t offset) {
    return "P" + std::to_string(partition) + "-" + std::to_string(offset);
}

// Writes `perPartition` messages "P<p>-<n>" into each partition with kcat,
// in batches of at most `batch` records.
void fill(const std::string &bootstrap, const std::string &topic, int partitions,
          int64_t perPartition, int batch = 10000) {
    for (int32_t p = 0; p < partitions; ++p) {
        std::vector<std::string> values;
        for (int64_t n = 0; n < perPartition; ++n)
            values.push_back(valueAt(p, n));
        kcatProduce(bootstrap, topic, p, values, "",
                    "-X batch.num.messages=" + std::to_string(batch));
    }
}

// The offsets delivered per partition, in delivery order; a value that is
// not the one written at its offset is reported.
std::map<int32_t, std::vector<int64_t>> offsetsOf(const std::vector<Delivery> &got) {
    std::map<int32_t, std::vector<int64_t>> split;
    for (const Delivery &d : got) {
        EXPECT_EQ(d.value, valueAt(d.partition, d.offset));
        split[d.partition].push_back(d.offset);
    }
    return split;
}

std::vector<int64_t> range(int64_t from, int64_t to) {
    std::vector<int64_t> out;
    for (int64_t o = from; o < to; ++o)
        out.push_back(o);
    return out;
}

// A session with load balancing, a short session timeout and small
// per-partition Fetch sizes, so that a member holds several replies of
// every partition at once and reads them in turn.
int32_t prepare(Session &s, const std::string &bootstrap, const std::string &topic,
                const char *partitionBytes) {
    int32_t rc = s.connect(bootstrap, topic);
    if (rc != 0)
        return rc;
    const char name[] = "max.partition.fetch.bytes";
    BQXCLDB(s.handle, 1);
    BQXTIMO(s.handle, 6);
    BQXSYNC(s.handle, 0, 100, 100);
    return BQXCONF(s.handle, name, sizeof name - 1, partitionBytes,
                   static_cast<int32_t>(strlen(partitionBytes)));
}

// The partitions a session holds and those it keeps replies of.
struct Held {
    std::set<int32_t> assigned, buffered;
};

Held heldBy(int32_t handle) {
    Held held;
    kafka_lock("test");
    PCB *pcb = get_BQXPCB(handle);
    for (uint32_t i = 0; pcb && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].u32Assigned)
            held.assigned.insert(pcb->pPartitionList[i].i32Partition);
    for (uint32_t b = 0; pcb && b < pcb->u32BrokerCount; ++b)
        for (FetchReplyBuffer *buf = pcb->pBrokerList[b].pReplyBuffer; buf; buf = buf->pNext)
            if (buf->i32PartitionIdx >= 0 &&
                static_cast<uint32_t>(buf->i32PartitionIdx) < pcb->u32PartitionCount)
                held.buffered.insert(pcb->pPartitionList[buf->i32PartitionIdx].i32Partition);
    kafka_unlock("test");
    return held;
}

struct VolumeRow {
    const char *name;
    const char *bootstrapVariable;
    int partitions;
    size_t leaders; // brokers that lead the topic's partitions
};

void PrintTo(const VolumeRow &row, std::ostream *out) { *out << row.name; }

class BrokerConsumeVolume : public ::testing::TestWithParam<VolumeRow> {};

// 200,000 messages, every one once and in order per partition.
TEST_P(BrokerConsumeVolume, EveryMessageOnceInOrderPerPartition) {
    const VolumeRow row = GetParam();
    constexpr int64_t kTotal = 200000;
    std::string servers = envValue(row.bootstrapVariable);
    if (servers.empty())
        GTEST_SKIP() << row.bootstrapVariable << " not set: the cluster is not running";
    std::string topic = newTopic("volume", row.partitions, servers);
    int64_t perPartition = kTotal / row.partitions;
    fill(servers, topic, row.partitions, perPartition);

    Session s;
    ASSERT_EQ(s.connect(servers.substr(0, servers.find(',')), topic), 0);
    std::set<int32_t> leaders;
    PCB *pcb = get_BQXPCB(s.handle);
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i)
        leaders.insert(pcb->pPartitionList[i].i32Leader);
    EXPECT_EQ(leaders.size(), row.leaders);
    ASSERT_EQ(BQXSYNC(s.handle, 0, 100, 1000), 0);
    std::vector<Delivery> got;
    got.reserve(kTotal);
    std::string group = newGroup("volume");
    int32_t rc = 0;
    bqxtest::captureLines([&] { rc = consumeInto(s.handle, group, kTotal + 1, 5, got); });
    EXPECT_EQ(rc, 7543) << "drained, nothing more";
    ASSERT_EQ(got.size(), static_cast<size_t>(perPartition * row.partitions));
    auto split = offsetsOf(got);
    for (int32_t p = 0; p < row.partitions; ++p)
        EXPECT_EQ(split[p], range(0, perPartition)) << "partition " << p;
}

INSTANTIATE_TEST_SUITE_P(
    Leaders, BrokerConsumeVolume,
    ::testing::Values(VolumeRow{"OneBroker", "KAFKA_BOOTSTRAP", 4, 1},
                      VolumeRow{"ThreeBrokers", "KAFKA_CLUSTER_BOOTSTRAP", 6, 3}),
    [](const ::testing::TestParamInfo<VolumeRow> &info) { return info.param.name; });

// Member A has delivered part of every partition and holds further
// replies of each when B joins. A's rejoin commits what it delivered; B
// goes on from there, and A never delivers what it had buffered of the
// partitions it lost: across both, each offset arrives exactly once.
TEST(BrokerConsumeGroup, RebalanceDropsThePrefetchedRepliesOfLostPartitions) {
    constexpr int kPartitions = 4;
    constexpr int64_t kPerPartition = 20000;
    std::string servers = envValue("KAFKA_BOOTSTRAP");
    std::string topic = newTopic("rebal", kPartitions);
    fill(servers, topic, kPartitions, kPerPartition, 100);
    std::string group = newGroup("rebal");
    Session a, b;
    ASSERT_EQ(prepare(a, servers, topic, "4096"), 0);
    ASSERT_EQ(prepare(b, servers, topic, "4096"), 0);
    std::vector<Delivery> gotA, gotB;
    Held before, after;
    int32_t rcA = 0, rcB = 0;
    bqxtest::captureLines([&] {
        ASSERT_EQ(consumeInto(a.handle, group, 2000, 15, gotA), 0);
        std::thread joiner([&] {
            rcB = consumeInto(b.handle, group, 1, 30, gotB); // joins
            if (rcB == 0)
                rcB = consumeInto(b.handle, group, SIZE_MAX, 5, gotB);
        });
        // A goes on slowly until its rejoin took partitions away, then at
        // full speed; `before` is what it held before the call that rejoined.
        rcA = consumeInto(a.handle, group, SIZE_MAX, 5, gotA, [&] {
            if (!after.assigned.empty())
                return true;
            Held now = heldBy(a.handle);
            if (now.assigned.size() == kPartitions)
                before = now;
            else if (!now.assigned.empty())
                after = now;
            usleep(20000);
            return true;
        });
        joiner.join();
    });
    EXPECT_EQ(rcA, 7543);
    EXPECT_EQ(rcB, 7543);
    EXPECT_EQ(before.assigned.size(), static_cast<size_t>(kPartitions));
    std::set<int32_t> lostWithReplies;
    for (int32_t p : before.buffered)
        if (!after.assigned.count(p))
            lostWithReplies.insert(p);
    EXPECT_FALSE(lostWithReplies.empty())
        << "A lost a partition it held replies of: " << before.buffered.size() << " held, "
        << after.assigned.size() << " kept";

    auto byA = offsetsOf(gotA), byB = offsetsOf(gotB);
    for (int32_t p = 0; p < kPartitions; ++p) {
        std::vector<int64_t> all = byA[p];
        all.insert(all.end(), byB[p].begin(), byB[p].end());
        std::sort(all.begin(), all.end());
        EXPECT_EQ(all, range(0, kPerPartition)) << "partition " << p << ": each offset once";
        if (lostWithReplies.count(p) && !byA[p].empty() && !byB[p].empty()) {
            EXPECT_EQ(byB[p].front(), byA[p].back() + 1)
                << "B starts at A's committed position, partition " << p;
        }
    }
}

// Records below a partition's position are deleted while the member holds
// replies and has a Fetch out: the Fetch that meets the log start fails
// with OFFSET_OUT_OF_RANGE, the position resets to the new log start, and
// what was delivered is a run from 0 and then every offset from the log
// start once, in order.
TEST(BrokerConsume, DeletedRecordsUnderPrefetchResetToTheLogStart) {
    constexpr int64_t kCount = 30000, kLogStart = 20000;
    std::string servers = envValue("KAFKA_BOOTSTRAP");
    std::string topic = newTopic("delrec", 1);
    fill(servers, topic, 1, kCount, 100);
    Session s;
    ASSERT_EQ(prepare(s, servers, topic, "4096"), 0);
    std::string group = newGroup("delrec");
    std::vector<Delivery> got;
    int32_t rc = 0;
    bqxtest::captureLines([&] {
        ASSERT_EQ(consumeInto(s.handle, group, 500, 15, got), 0);
        ASSERT_FALSE(heldBy(s.handle).buffered.empty()) << "replies are buffered";
        char path[] = "/tmp/bqx-delrec-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        std::string json = "{\"partitions\":[{\"topic\":\"" + topic +
                           "\",\"partition\":0,\"offset\":" + std::to_string(kLogStart) +
                           "}],\"version\":1}";
        ASSERT_EQ(write(fd, json.data(), json.size()), static_cast<ssize_t>(json.size()));
        ::close(fd);
        int status = 0;
        std::string out = shell(std::string(BQX_KAFKA_SCRIPT) +
                                    " run org.apache.kafka.tools.DeleteRecordsCommand"
                                    " --bootstrap-server " +
                                    servers + " --offset-json-file " + path + " 2>&1",
                                &status);
        unlink(path);
        ASSERT_EQ(status, 0) << out;
        rc = consumeInto(s.handle, group, kCount, 5, got);
    });
    EXPECT_EQ(rc, 7543);
    std::vector<int64_t> offsets = offsetsOf(got)[0];
    size_t k = 0;
    while (k < offsets.size() && offsets[k] == static_cast<int64_t>(k) && offsets[k] < kLogStart)
        ++k;
    EXPECT_GE(k, 500u);
    EXPECT_LT(k, static_cast<size_t>(kLogStart)) << "the reset was needed";
    std::vector<int64_t> rest(offsets.begin() + static_cast<long>(k), offsets.end());
    EXPECT_EQ(rest, range(kLogStart, kCount)) << "from the log start, each once in order";
}

} // namespace
