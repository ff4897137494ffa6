// Broker failures against the real broker: the single broker killed and
// started again while a session produces or consumes, the leader of a
// partition killed in the three-broker cluster during synch-mode-1 and
// synch-mode-4 runs (idempotent: every message stored once, in call order
// per partition, no error returned), and a topic produced to a moment after
// its creation.
// No session calls BQXCONN again; afterwards kcat reads the topic, every
// message whose BQXPROD returned 0 must be there and every message of the
// topic must have been consumed. Each test prints its error counts.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "broker/broker_support.h"

using namespace bqxbroker;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCapacity = 1024;

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void scriptCommand(const std::string &args) {
    int status = 0;
    std::string out = shell(std::string(BQX_KAFKA_SCRIPT) + " " + args + " 2>&1", &status);
    ASSERT_EQ(status, 0) << "scripts/kafka " << args << ": " << out;
}

// Kills a node and, however the test ends, starts it again, so that later
// tests find a healthy broker.
struct KilledNode {
    int node = 0;
    void kill(int which) {
        node = which;
        scriptCommand("kill " + std::to_string(node));
    }
    void restart() {
        if (node != 0) scriptCommand("start-node " + std::to_string(node));
        node = 0;
    }
    ~KilledNode() { restart(); }
};

// Error returns by code, printed at the end of a test.
struct ErrorCounts {
    std::map<int32_t, int> byCode;
    void add(int32_t rc) { ++byCode[rc]; }
    int total() const {
        int sum = 0;
        for (auto &[code, count] : byCode) sum += count;
        return sum;
    }
    void print(const char *what) const {
        printf("[ failover ] %s: %d error return(s)\n", what, total());
        for (auto &[code, count] : byCode)
            printf("[ failover ]   %d x %d: %s\n", count, code, BQXGERR_text(code).c_str());
    }
    // The catalogue text of a message number, for the printed reasons.
    static std::string BQXGERR_text(int32_t code);
};

std::string ErrorCounts::BQXGERR_text(int32_t code) {
    switch (code) {
    case 7500: return "TCP/IP error (connection lost)";
    case 7501: return "connection closed before the reply";
    case 7510: return "Kafka error in the Produce reply";
    case 7513: return "no partition leader reachable";
    case 7515: return "reply time-out";
    case 7521: return "no broker of the cluster reachable";
    case 7543: return "consume time-out";
    default: return "other";
    }
}

// A producing session in synch mode 1 that sends each message until it is
// acknowledged (a paused retry after each error return), as an application
// would, and keeps what was acknowledged.
struct Producer {
    Session session;
    ErrorCounts errors;
    std::vector<std::string> acknowledged;

    explicit Producer(const std::string &bootstrap, const std::string &topic) {
        EXPECT_EQ(session.connect(bootstrap, topic), 0);
        EXPECT_EQ(BQXSYNC(session.handle, 1, 100, 1), 0);
    }
    // True when the message was acknowledged within `attempts` calls.
    bool send(const std::string &key, const std::string &value, int attempts) {
        for (int i = 0; i < attempts; ++i) {
            int32_t rc = session.produce(key, value);
            if (rc == 0) {
                acknowledged.push_back(value);
                return true;
            }
            errors.add(rc);
            usleep(100 * 1000);
        }
        return false;
    }
};

// A consuming session (synch mode 1: every message is committed) that
// collects what it was given.
struct Consumer {
    Session session;
    std::string group = newGroup("failover");
    ErrorCounts errors;
    std::vector<std::string> values;

    explicit Consumer(const std::string &bootstrap, const std::string &topic) {
        EXPECT_EQ(session.connect(bootstrap, topic), 0);
        EXPECT_EQ(BQXSYNC(session.handle, 1, 100, 1), 0);
    }
    int32_t next(int32_t timeoutSeconds) {
        std::vector<char> buffer(kCapacity);
        uint32_t length = kCapacity;
        int32_t rc = BQXCONS(session.handle, group.data(), static_cast<int32_t>(group.size()),
                             buffer.data(), &length, 0, timeoutSeconds);
        if (rc == 0) values.emplace_back(buffer.data(), length);
        else errors.add(rc);
        return rc;
    }
    // Consumes until every one of `wanted` has been seen or `seconds` passed.
    void drain(const std::set<std::string> &wanted, int seconds) {
        auto start = Clock::now();
        while (!seenAll(wanted) && msSince(start) < seconds * 1000) next(2);
    }
    bool seenAll(const std::set<std::string> &wanted) const {
        std::set<std::string> seen(values.begin(), values.end());
        for (const std::string &v : wanted)
            if (!seen.count(v)) return false;
        return true;
    }
};

// Every value of the topic's partitions, as kcat reads them.
std::set<std::string> topicValues(const std::string &bootstrap, const std::string &topic,
                                  int partitions) {
    std::set<std::string> values;
    for (int32_t p = 0; p < partitions; ++p)
        for (const Message &m : readPartition(bootstrap, topic, p)) values.insert(m.value);
    return values;
}

void expectStored(const std::vector<std::string> &acknowledged,
                  const std::set<std::string> &stored) {
    int missing = 0;
    for (const std::string &v : acknowledged) missing += stored.count(v) ? 0 : 1;
    printf("[ failover ] %zu acknowledged, %zu stored, %d acknowledged but missing\n",
           acknowledged.size(), stored.size(), missing);
    EXPECT_EQ(missing, 0);
}

// The time a call may take while its broker is down: its own limit plus a
// little, never a reply time-out of 35 s.
constexpr int64_t kPromptMs = 3000;

std::string singleBootstrap() { return envValue("KAFKA_BOOTSTRAP"); }

TEST(Failover, ProducerSurvivesABrokerRestart) {
    constexpr int kPartitions = 2, kBefore = 200, kAfter = 200;
    std::string topic = newTopic("restartp", kPartitions);
    std::vector<std::string> keys = keysForPartitions(kPartitions);
    Producer producer(singleBootstrap(), topic);
    for (int i = 0; i < kBefore; ++i)
        ASSERT_TRUE(producer.send(keys[i % kPartitions], "before-" + std::to_string(i), 1));

    // Synch mode 1 retries until the message's delivery deadline: 2 s here
    // (the session's delivery.timeout.ms), so that the calls end promptly.
    get_BQXPCB(producer.session.handle)->u32DeliveryTimeoutMs = 2000;
    KilledNode broker;
    broker.kill(1);
    for (int i = 0; i < 3; ++i) {
        auto start = Clock::now();
        EXPECT_NE(producer.session.produce(keys[0], "down-" + std::to_string(i)), 0);
        EXPECT_LT(msSince(start), kPromptMs) << "call " << i << " while the broker is down";
    }
    broker.restart();

    for (int i = 0; i < kAfter; ++i)
        EXPECT_TRUE(producer.send(keys[i % kPartitions], "after-" + std::to_string(i), 50))
            << "message " << i << " after the restart";
    producer.session.close();
    producer.errors.print("BQXPROD after the restart");
    expectStored(producer.acknowledged, topicValues(singleBootstrap(), topic, kPartitions));
    EXPECT_EQ(producer.acknowledged.size(), static_cast<size_t>(kBefore + kAfter));
}

TEST(Failover, ConsumerRejoinsAfterABrokerRestartAndResumesFromItsCommits) {
    constexpr int kPartitions = 2, kMessages = 300, kBeforeKill = 100;
    std::string topic = newTopic("restartc", kPartitions);
    std::vector<std::string> keys = keysForPartitions(kPartitions);
    std::set<std::string> produced;
    {
        Producer producer(singleBootstrap(), topic);
        for (int i = 0; i < kMessages; ++i)
            ASSERT_TRUE(producer.send(keys[i % kPartitions], "m-" + std::to_string(i), 1));
        produced.insert(producer.acknowledged.begin(), producer.acknowledged.end());
    }
    Consumer consumer(singleBootstrap(), topic);
    while (consumer.values.size() < static_cast<size_t>(kBeforeKill))
        ASSERT_EQ(consumer.next(10), 0);
    // The commit of the last message goes out with the next call.
    ASSERT_EQ(consumer.next(10), 0);

    KilledNode broker;
    broker.kill(1);
    // Buffered records may still be handed out; then the calls fail, each
    // within its own time limit.
    int32_t rc = 0;
    for (int i = 0; i < 200 && rc == 0; ++i) {
        auto start = Clock::now();
        rc = consumer.next(1);
        EXPECT_LT(msSince(start), 1000 + kPromptMs);
    }
    EXPECT_NE(rc, 0) << "no call failed while the broker was down";
    size_t beforeRestart = consumer.values.size();
    broker.restart();

    consumer.drain(produced, 60);
    consumer.errors.print("BQXCONS around the restart");
    EXPECT_TRUE(consumer.seenAll(produced));
    // Resumed from the committed offsets: at most the messages delivered
    // but not yet committed (one per partition) come again.
    std::set<std::string> distinct(consumer.values.begin(), consumer.values.end());
    size_t again = consumer.values.size() - distinct.size();
    printf("[ failover ] consumed %zu before the restart, %zu in all, %zu again\n", beforeRestart,
           consumer.values.size(), again);
    EXPECT_LE(again, static_cast<size_t>(kPartitions));
}

// The cluster: nodes 1 to 3; node 1 is also the only controller and stays.
std::string clusterBootstrap() { return envValue("KAFKA_CLUSTER_BOOTSTRAP"); }

std::string replicatedTopic(int partitions) {
    std::string topic = newGroup("failover-rf3"); // a fresh name
    scriptCommand("topic " + topic + " " + std::to_string(partitions) + " --bootstrap " +
                  clusterBootstrap() +
                  " --replication-factor 3 --config min.insync.replicas=2");
    waitForTopic(clusterBootstrap(), topic, partitions);
    return topic;
}

// The partition-list index of a partition led by node 2 or 3, -1 if none.
int32_t partitionLedByOtherNode(int32_t handle) {
    PCB *pcb = get_BQXPCB(handle);
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].i32Leader == 2 || pcb->pPartitionList[i].i32Leader == 3)
            return static_cast<int32_t>(i);
    return -1;
}

TEST(Cluster, FailoverProducerAndConsumerFollowTheNewLeader) {
    if (clusterBootstrap().empty()) GTEST_SKIP() << "no cluster running";
    constexpr int kPartitions = 3, kMessages = 20000, kKillAt = 4000;
    std::string topic = replicatedTopic(kPartitions);
    std::string first = clusterBootstrap().substr(0, clusterBootstrap().find(','));
    std::vector<std::string> keys = keysForPartitions(kPartitions);

    Producer producer(first, topic);
    int32_t index = partitionLedByOtherNode(producer.session.handle);
    ASSERT_GE(index, 0) << "every partition is led by node 1";
    PCB *pcb = get_BQXPCB(producer.session.handle);
    int32_t victimPartition = pcb->pPartitionList[index].i32Partition;
    int32_t victim = pcb->pPartitionList[index].i32Leader;

    // The consumer runs beside the producer until it has seen everything
    // acknowledged (or time is up); it was connected before the kill.
    Consumer consumer(first, topic);
    std::atomic<bool> producing{true};
    std::atomic<int> acknowledged{0};
    std::thread consuming([&] {
        auto start = Clock::now();
        std::set<std::string> distinct;
        while (producing || distinct.size() < static_cast<size_t>(acknowledged.load())) {
            if (msSince(start) > 240 * 1000) break;
            if (consumer.next(2) == 0) distinct.insert(consumer.values.back());
        }
    });

    KilledNode leader;
    auto start = Clock::now();
    for (int i = 0; i < kMessages; ++i) {
        if (i == kKillAt) leader.kill(victim);
        producer.send(keys[i % kPartitions], "f-" + std::to_string(i), 100);
        acknowledged = static_cast<int>(producer.acknowledged.size());
    }
    int64_t produceMs = msSince(start);
    EXPECT_NE(pcb->pPartitionList[index].i32Leader, victim) << "the producer still names node "
                                                            << victim << " as leader";
    producing = false;
    consuming.join();
    producer.session.close();

    printf("[ failover ] node %d (leader of partition %d) killed; %d messages in %lld ms\n",
           victim, victimPartition, kMessages, static_cast<long long>(produceMs));
    producer.errors.print("BQXPROD");
    consumer.errors.print("BQXCONS");
    std::set<std::string> stored = topicValues(clusterBootstrap(), topic, kPartitions);
    expectStored(producer.acknowledged, stored);
    std::set<std::string> consumed(consumer.values.begin(), consumer.values.end());
    int unconsumed = 0;
    for (const std::string &v : stored) unconsumed += consumed.count(v) ? 0 : 1;
    printf("[ failover ] %zu consumed (%zu distinct), %d stored but never consumed\n",
           consumer.values.size(), consumed.size(), unconsumed);
    EXPECT_EQ(unconsumed, 0);
}

// The call index behind each value "<prefix><index>" of every partition,
// in partition order.
std::vector<std::vector<int>> storedIndexes(const std::string &topic, int partitions,
                                            const std::string &prefix) {
    std::vector<std::vector<int>> indexes(static_cast<size_t>(partitions));
    for (int32_t p = 0; p < partitions; ++p)
        for (const Message &m : readPartition(clusterBootstrap(), topic, p))
            if (m.value.rfind(prefix, 0) == 0)
                indexes[static_cast<size_t>(p)].push_back(std::stoi(m.value.substr(prefix.size())));
    return indexes;
}

// Every one of `count` calls stored exactly once, each partition in call order.
void expectOnceInOrder(const std::vector<std::vector<int>> &indexes, int count) {
    std::vector<int> seen(static_cast<size_t>(count), 0);
    int outOfOrder = 0, foreign = 0;
    for (const std::vector<int> &partition : indexes)
        for (size_t k = 0; k < partition.size(); ++k) {
            if (partition[k] < 0 || partition[k] >= count) {
                ++foreign;
                continue;
            }
            ++seen[static_cast<size_t>(partition[k])];
            outOfOrder += k > 0 && partition[k] <= partition[k - 1];
        }
    int missing = 0, twice = 0;
    for (int times : seen)
        missing += times == 0, twice += times > 1;
    printf("[ idempotent ] %d calls: %d missing, %d stored more than once, %d out of order\n",
           count, missing, twice, outOfOrder);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(foreign, 0);
}

// Synch mode `mode`, `count` messages (keyed and unkeyed in turn) paced at
// about `perSecond`, the leader of a partition killed with SIGKILL a third
// of the way in and started again after the run.
void produceThroughALeaderKill(int32_t mode, int count, int perSecond) {
    if (clusterBootstrap().empty())
        GTEST_SKIP() << "no cluster running";
    constexpr int kPartitions = 6;
    std::string topic = replicatedTopic(kPartitions);
    std::string first = clusterBootstrap().substr(0, clusterBootstrap().find(','));
    std::vector<std::string> keys = keysForPartitions(kPartitions);
    Session session;
    ASSERT_EQ(session.connect(first, topic), 0);
    ASSERT_EQ(BQXSYNC(session.handle, mode, 5, 1), 0);
    int32_t index = partitionLedByOtherNode(session.handle);
    ASSERT_GE(index, 0) << "every partition is led by node 1";
    PCB *pcb = get_BQXPCB(session.handle);
    int32_t victim = pcb->pPartitionList[index].i32Leader;
    ErrorCounts errors;
    KilledNode leader;
    auto start = Clock::now();
    constexpr int kPaceEvery = 50;
    for (int i = 0; i < count; ++i) {
        if (i == count / 3)
            leader.kill(victim);
        int32_t rc = session.produce(i % 2 ? keys[static_cast<size_t>(i / 2) % kPartitions] : "",
                                     "i-" + std::to_string(i));
        if (rc != 0)
            errors.add(rc);
        if (i % kPaceEvery == 0) {
            int64_t dueMs = static_cast<int64_t>(i) * 1000 / perSecond;
            int64_t aheadMs = dueMs - msSince(start);
            if (aheadMs > 0)
                usleep(static_cast<useconds_t>(aheadMs * 1000));
        }
    }
    int32_t synched = BQXSYNC(session.handle, 2, 0, 0);
    int64_t runMs = msSince(start);
    long long retried = static_cast<long long>(pcb->ullRetriedRequests);
    session.close();
    leader.restart();
    printf("[ idempotent ] mode %d: node %d killed; %d messages in %lld ms, %lld requests "
           "retried\n",
           mode, victim, count, static_cast<long long>(runMs), retried);
    errors.print("BQXPROD");
    EXPECT_EQ(errors.total(), 0);
    EXPECT_EQ(synched, 0);
    expectOnceInOrder(storedIndexes(topic, kPartitions, "i-"), count);
}

TEST(Cluster, IdempotentBatchesSurviveALeaderKill) { produceThroughALeaderKill(4, 50000, 10000); }

TEST(Cluster, IdempotentSynchronousCallsSurviveALeaderKill) {
    produceThroughALeaderKill(1, 5000, 2000);
}

// A topic of 64 partitions created a moment before the run: messages that
// meet partitions whose leaders are not settled yet wait and are stored.
TEST(Cluster, FreshTopicWithManyPartitionsLosesNothing) {
    if (clusterBootstrap().empty())
        GTEST_SKIP() << "no cluster running";
    constexpr int kPartitions = 64, kMessages = 3000;
    std::string topic = newGroup("fresh64");
    scriptCommand("topic " + topic + " " + std::to_string(kPartitions) + " --bootstrap " +
                  clusterBootstrap() + " --replication-factor 3");
    std::string first = clusterBootstrap().substr(0, clusterBootstrap().find(','));
    ErrorCounts errors;
    int32_t synched = -1;
    {
        Session session;
        ASSERT_EQ(session.connect(first, topic), 0);
        ASSERT_EQ(BQXSYNC(session.handle, 4, 5, 1), 0);
        for (int i = 0; i < kMessages; ++i) {
            int32_t rc = session.produce("", "i-" + std::to_string(i));
            if (rc != 0)
                errors.add(rc);
        }
        synched = BQXSYNC(session.handle, 2, 0, 0);
    }
    errors.print("BQXPROD");
    EXPECT_EQ(errors.total(), 0);
    EXPECT_EQ(synched, 0);
    expectOnceInOrder(storedIndexes(topic, kPartitions, "i-"), kMessages);
}

} // namespace
