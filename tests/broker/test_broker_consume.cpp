// BQXCONS against the real broker: messages written by bqx and by kcat
// (many records per batch, some with headers) are all consumed in order,
// offsets committed as Kafka's own tool reports them, groups of several
// members share the partitions, and the two console programs run.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <locale.h>

#include <algorithm>
#include <atomic>
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

constexpr uint32_t kCapacity = 1024;

std::string bootstrap() { return envValue("KAFKA_BOOTSTRAP"); }

struct Consumed {
    std::vector<std::string> values;
    int32_t lastRc = 0;
};

// Consumes until `wanted` messages arrived or a call fails (7543 once the
// topic is drained).
Consumed consume(int32_t handle, const std::string &group, size_t wanted, int32_t timeout,
                 int32_t convert = 0) {
    Consumed out;
    std::vector<char> buffer(kCapacity + 1);
    while (out.values.size() < wanted) {
        uint32_t length = kCapacity;
        out.lastRc = BQXCONS(handle, group.data(), static_cast<int32_t>(group.size()),
                             buffer.data(), &length, convert, timeout);
        if (out.lastRc != 0) break;
        out.values.emplace_back(buffer.data(), length);
    }
    return out;
}

// Produced values are "P<partition>-<tag><n>"; the partition of a value.
int32_t partitionOf(const std::string &value) { return std::atoi(value.c_str() + 1); }

std::map<int32_t, std::vector<std::string>> byPartition(const std::vector<std::string> &values) {
    std::map<int32_t, std::vector<std::string>> split;
    for (const std::string &v : values) split[partitionOf(v)].push_back(v);
    return split;
}

// Produces `perPartition` keyed messages into every partition with bqx.
std::vector<std::string> produceWithBqx(const std::string &topic, uint32_t partitions,
                                        int perPartition, const std::string &tag) {
    std::vector<std::string> values;
    std::vector<std::string> keys = keysForPartitions(partitions);
    Session s;
    EXPECT_EQ(s.connect(bootstrap(), topic), 0);
    for (int n = 0; n < perPartition; ++n)
        for (uint32_t p = 0; p < partitions; ++p) {
            std::string value = "P" + std::to_string(p) + "-" + tag + std::to_string(n);
            EXPECT_EQ(s.produce(keys[p], value), 0);
            values.push_back(value);
        }
    s.close();
    return values;
}

std::vector<std::string> produceWithKcat(const std::string &topic, uint32_t partitions,
                                         int perPartition, const std::string &tag,
                                         const std::string &header = "") {
    std::vector<std::string> all;
    for (uint32_t p = 0; p < partitions; ++p) {
        std::vector<std::string> values;
        for (int n = 0; n < perPartition; ++n)
            values.push_back("P" + std::to_string(p) + "-" + tag + std::to_string(n));
        kcatProduce(bootstrap(), topic, static_cast<int32_t>(p), values, header);
        all.insert(all.end(), values.begin(), values.end());
    }
    return all;
}

// Every produced value is consumed exactly once, in order per partition.
void expectExactlyOnceInOrder(const std::vector<std::string> &produced,
                              const std::vector<std::string> &consumed) {
    auto want = byPartition(produced), got = byPartition(consumed);
    for (auto &[partition, values] : want)
        EXPECT_EQ(got[partition], values) << "partition " << partition;
    EXPECT_EQ(consumed.size(), produced.size());
}

// Every produced value is consumed at least once; duplicates are allowed
// (a rebalance hands a partition over from its last commit).
void expectNoneLost(const std::vector<std::string> &produced,
                    const std::vector<std::string> &consumed) {
    std::set<std::string> seen(consumed.begin(), consumed.end());
    for (const std::string &v : produced) EXPECT_TRUE(seen.count(v)) << "lost " << v;
}

class BrokerConsumeTopics : public ::testing::TestWithParam<uint32_t> {};

TEST_P(BrokerConsumeTopics, EveryMessageOfBqxAndKcatOnceAndInOrder) {
    const uint32_t partitions = GetParam();
    std::string topic = newTopic("cons", static_cast<int>(partitions));
    std::vector<std::string> produced = produceWithBqx(topic, partitions, 4, "b");
    for (auto &more : {produceWithKcat(topic, partitions, 30, "k"),
                       produceWithKcat(topic, partitions, 5, "h", "trace=abc"),
                       produceWithBqx(topic, partitions, 3, "c")})
        produced.insert(produced.end(), more.begin(), more.end());

    Session s;
    ASSERT_EQ(s.connect(bootstrap(), topic), 0);
    std::string group = newGroup("g");
    Consumed c;
    bqxtest::captureLines([&] { c = consume(s.handle, group, produced.size() + 1, 5); });
    EXPECT_EQ(c.lastRc, 7543) << "no message twice: the topic is drained";
    expectExactlyOnceInOrder(produced, c.values);
}

INSTANTIATE_TEST_SUITE_P(Partitions, BrokerConsumeTopics, ::testing::Values(1u, 3u, 4u));

// Committed offsets after each synch mode are what Kafka's tool reports,
// and a new session of the group resumes right behind them.
class BrokerConsumeCommit : public ::testing::TestWithParam<int32_t> {};

TEST_P(BrokerConsumeCommit, OffsetsSeenByKafkaToolAndResumed) {
    const int32_t mode = GetParam();
    std::string topic = newTopic("commit", 3);
    std::vector<std::string> produced = produceWithBqx(topic, 3, 10, "m");
    std::string group = newGroup("commit");
    Consumed first;
    {
        Session s;
        ASSERT_EQ(s.connect(bootstrap(), topic), 0);
        ASSERT_EQ(BQXSYNC(s.handle, mode, 100, 4), 0);
        bqxtest::captureLines([&] { first = consume(s.handle, group, 20, 10); });
        ASSERT_EQ(first.values.size(), 20u);
        if (mode == 2) {
            ASSERT_EQ(BQXSYNC(s.handle, 2, 100, 4), 0);
            std::map<int32_t, int64_t> offsets = committedOffsets(bootstrap(), group, topic);
            int64_t total = 0;
            for (auto &[p, offset] : offsets) total += offset;
            EXPECT_EQ(total, 20) << "BQXSYNC 2 commits what was delivered";
        }
        s.close();
    }
    std::map<int32_t, int64_t> offsets = committedOffsets(bootstrap(), group, topic);
    auto split = byPartition(first.values);
    for (int32_t p = 0; p < 3; ++p)
        EXPECT_EQ(offsets[p], static_cast<int64_t>(split[p].size())) << "partition " << p;

    Session again;
    ASSERT_EQ(again.connect(bootstrap(), topic), 0);
    Consumed rest;
    bqxtest::captureLines([&] { rest = consume(again.handle, group, 11, 5); });
    EXPECT_EQ(rest.lastRc, 7543);
    std::vector<std::string> all = first.values;
    all.insert(all.end(), rest.values.begin(), rest.values.end());
    expectExactlyOnceInOrder(produced, all);
}

INSTANTIATE_TEST_SUITE_P(SynchModes, BrokerConsumeCommit, ::testing::Values(0, 1, 2));

// One consuming member: a session with load balancing and a short session
// timeout, consuming on its own thread until the topic stays empty.
struct Member {
    Session session;
    Consumed consumed;
    std::thread thread;
    void start(const std::string &topic, const std::string &group, size_t wanted) {
        ASSERT_EQ(session.connect(bootstrap(), topic), 0);
        BQXCLDB(session.handle, 1);
        BQXTIMO(session.handle, 6);
        BQXDBUG(session.handle, 2);
        thread = std::thread([this, group, wanted] {
            consumed = consume(session.handle, group, wanted, 15);
        });
    }
    void join() {
        if (thread.joinable()) thread.join();
    }
    // The partitions this member holds now.
    std::vector<int32_t> assigned() {
        std::vector<int32_t> ids;
        kafka_lock("test");
        PCB *pcb = get_BQXPCB(session.handle);
        for (uint32_t i = 0; pcb && i < pcb->u32PartitionCount; ++i)
            if (pcb->pPartitionList[i].u32Assigned) ids.push_back(pcb->pPartitionList[i].i32Partition);
        kafka_unlock("test");
        return ids;
    }
};

bool contiguous(std::vector<int32_t> ids) {
    std::sort(ids.begin(), ids.end());
    for (size_t i = 1; i < ids.size(); ++i)
        if (ids[i] != ids[i - 1] + 1) return false;
    return true;
}

TEST(BrokerConsumeGroup, SessionsShareByRangesAndAThirdMemberRebalances) {
    std::string topic = newTopic("group", 4);
    std::string group = newGroup("share");
    std::vector<std::string> produced = produceWithBqx(topic, 4, 20, "a");
    std::vector<std::string> lines;
    Member a, b, c;
    std::vector<int32_t> heldA, heldB;
    lines = bqxtest::captureLines([&] {
        a.start(topic, group, 1000);
        b.start(topic, group, 1000);
        sleep(8); // both joined, rebalance settled
        heldA = a.assigned();
        heldB = b.assigned();
        std::vector<std::string> more = produceWithBqx(topic, 4, 20, "b");
        produced.insert(produced.end(), more.begin(), more.end());
        c.start(topic, group, 1000);
        a.join();
        b.join();
        c.join();
    });
    EXPECT_EQ(heldA.size() + heldB.size(), 4u);
    EXPECT_EQ(heldA.size(), 2u);
    EXPECT_TRUE(contiguous(heldA) && contiguous(heldB));
    std::vector<std::string> all = a.consumed.values;
    for (Member *m : {&b, &c}) all.insert(all.end(), m->consumed.values.begin(), m->consumed.values.end());
    expectNoneLost(produced, all);
    bool rebalanceSeen = std::any_of(lines.begin(), lines.end(), [](const std::string &l) {
        return l.find("BQX0029I") != std::string::npos ||
               l.find("Error from kafka server: 27 ") != std::string::npos;
    });
    EXPECT_TRUE(rebalanceSeen) << "the third member made the others rejoin";
}

TEST(BrokerConsumeGroup, TwoProcessesShareThePartitions) {
    std::string topic = newTopic("procs", 4);
    std::string group = newGroup("procs");
    std::vector<std::string> produced = produceWithBqx(topic, 4, 25, "x");
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFd[0]);
        if (!freopen("/dev/null", "w", stdout)) _exit(3);
        int32_t h = BQXOPEN();
        std::string b = bootstrap();
        BQXCONN(h, b.data(), static_cast<int32_t>(b.size()), topic.data(), static_cast<int32_t>(topic.size()));
        BQXCLDB(h, 1);
        BQXTIMO(h, 6);
        Consumed c = consume(h, group, 1000, 15);
        for (const std::string &v : c.values) {
            std::string line = v + "\n";
            if (write(pipeFd[1], line.data(), line.size()) < 0) _exit(4);
        }
        BQXCLSE(h);
        _exit(0);
    }
    close(pipeFd[1]);
    Member local;
    bqxtest::captureLines([&] {
        local.start(topic, group, 1000);
        sleep(8); // both are members now; what follows is shared between them
        std::vector<std::string> more = produceWithBqx(topic, 4, 25, "y");
        produced.insert(produced.end(), more.begin(), more.end());
        local.join();
    });
    std::string fromChild;
    char chunk[4096];
    for (ssize_t got; (got = read(pipeFd[0], chunk, sizeof chunk)) > 0;) fromChild.append(chunk, static_cast<size_t>(got));
    close(pipeFd[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> all = local.consumed.values;
    size_t childCount = 0;
    for (size_t start = 0, nl; (nl = fromChild.find('\n', start)) != std::string::npos; start = nl + 1) {
        all.push_back(fromChild.substr(start, nl - start));
        ++childCount;
    }
    expectNoneLost(produced, all);
    EXPECT_GT(childCount, 0u) << "the second process got partitions";
    EXPECT_GT(local.consumed.values.size(), 0u) << "the first process kept partitions";
}

TEST(BrokerConsumeGroup, WithoutLoadBalancingASecondConsumerIsRefused) {
    std::string topic = newTopic("single", 3);
    std::string group = newGroup("single");
    std::vector<std::string> produced = produceWithBqx(topic, 3, 10, "s");
    Session first, second;
    ASSERT_EQ(first.connect(bootstrap(), topic), 0);
    ASSERT_EQ(second.connect(bootstrap(), topic), 0);
    BQXTIMO(first.handle, 6);
    BQXTIMO(second.handle, 6);
    Consumed c;
    int32_t refused = 0;
    bqxtest::captureLines([&] {
        Consumed one = consume(first.handle, group, 1, 10);
        ASSERT_EQ(one.values.size(), 1u);
        std::thread keepConsuming([&] { c = consume(first.handle, group, 1000, 20); });
        usleep(500 * 1000);
        std::vector<char> buffer(kCapacity + 1);
        uint32_t length = kCapacity;
        refused = BQXCONS(second.handle, group.data(), static_cast<int32_t>(group.size()),
                          buffer.data(), &length, 0, 10);
        keepConsuming.join();
        c.values.insert(c.values.begin(), one.values.begin(), one.values.end());
    });
    EXPECT_EQ(refused, 7535);
    expectNoneLost(produced, c.values);
}

TEST(BrokerConsumeGroup, HeartbeatsKeepAnIdleMemberInItsGroup) {
    std::string topic = newTopic("idle", 1);
    std::vector<std::string> produced = produceWithBqx(topic, 1, 2, "i");
    std::string group = newGroup("idle");
    Session s;
    ASSERT_EQ(s.connect(bootstrap(), topic), 0);
    BQXTIMO(s.handle, 6);
    BQXCLDB(s.handle, 1);
    Consumed one, two;
    int32_t generation = 0, later = 0;
    std::vector<std::string> lines = bqxtest::captureLines([&] {
        one = consume(s.handle, group, 1, 10);
        generation = get_BQXPCB(s.handle)->i32GenerationID;
        sleep(15); // longer than the 6-second session timeout
        two = consume(s.handle, group, 1, 10);
        later = get_BQXPCB(s.handle)->i32GenerationID;
    });
    ASSERT_EQ(one.values.size(), 1u);
    ASSERT_EQ(two.values.size(), 1u);
    EXPECT_EQ(one.values[0], produced[0]);
    EXPECT_EQ(two.values[0], produced[1]);
    EXPECT_EQ(later, generation) << "no rejoin was needed";
    for (const std::string &l : lines) EXPECT_EQ(l.find("Error from kafka server: 25"), std::string::npos) << l;
}

TEST(BrokerConsume, EmptyTopicTimesOutWith7543) {
    std::string topic = newTopic("empty", 1);
    Session s;
    ASSERT_EQ(s.connect(bootstrap(), topic), 0);
    std::string group = newGroup("empty");
    std::vector<char> buffer(kCapacity + 1);
    uint32_t length = kCapacity;
    int32_t rc = 0;
    time_t start = time(nullptr);
    auto lines = bqxtest::captureLog([&] {
        rc = BQXCONS(s.handle, group.data(), static_cast<int32_t>(group.size()), buffer.data(),
                     &length, 0, 3);
    });
    EXPECT_EQ(rc, 7543);
    EXPECT_GE(time(nullptr) - start, 3);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text, "Timeout (3 sec) for Consume expired");
}

// Every partition is in the Fetch of its broker: a record produced to any
// partition of an idle topic reaches a waiting BQXCONS within the Fetch
// wait and a round trip, well inside a 2 s timeout (not 7543 while the
// broker holds a Fetch for other partitions).
TEST(BrokerConsume, RecordOnAnyPartitionOfAnIdleTopicArrivesWithinTheTimeout) {
    constexpr int kPartitions = 100;
    std::string topic = newTopic("idle", kPartitions);
    Session s;
    ASSERT_EQ(s.connect(bootstrap(), topic), 0);
    std::string group = newGroup("idle");
    kcatProduce(bootstrap(), topic, 0, {"join"});
    ASSERT_EQ(consume(s.handle, group, 1, 60).values, std::vector<std::string>{"join"});
    XorShift random;
    for (int round = 0; round < 5; ++round) {
        int32_t partition = static_cast<int32_t>(random.next() % kPartitions);
        std::string value = "P" + std::to_string(partition) + "-r" + std::to_string(round);
        SCOPED_TRACE(value);
        kcatProduce(bootstrap(), topic, partition, {value});
        Consumed got = consume(s.handle, group, 1, 2);
        EXPECT_EQ(got.lastRc, 0);
        EXPECT_EQ(got.values, std::vector<std::string>{value});
    }
}

TEST(BrokerConsume, LongMessageIsCutAndTheNextFollows) {
    std::string topic = newTopic("long", 1);
    std::string longValue(2000, 'L');
    {
        Session s;
        ASSERT_EQ(s.connect(bootstrap(), topic), 0);
        ASSERT_EQ(s.produce("", longValue), 0);
        ASSERT_EQ(s.produce("", "short"), 0);
    }
    Session s;
    ASSERT_EQ(s.connect(bootstrap(), topic), 0);
    std::string group = newGroup("long");
    std::vector<char> buffer(kCapacity + 1, '#');
    uint32_t length = kCapacity;
    int32_t rc = -1;
    auto lines = bqxtest::captureLog([&] {
        rc = BQXCONS(s.handle, group.data(), static_cast<int32_t>(group.size()), buffer.data(),
                     &length, 0, 10);
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(length, kCapacity);
    EXPECT_EQ(std::string(buffer.data(), length), longValue.substr(0, kCapacity));
    EXPECT_EQ(buffer[kCapacity], '\0');
    bool warned = std::any_of(lines.begin(), lines.end(), [](const bqxtest::LogLine &l) {
        return l.number == "5000" && l.text == "Received Message truncated from 2000 to 1024 bytes";
    });
    EXPECT_TRUE(warned);
    char text[256];
    int32_t textLen = sizeof text;
    EXPECT_EQ(BQXGERR(s.handle, text, &textLen), 5000);
    Consumed next;
    bqxtest::captureLines([&] { next = consume(s.handle, group, 1, 10); });
    ASSERT_EQ(next.values.size(), 1u);
    EXPECT_EQ(next.values[0], "short");
}

// A session whose local code page is ISO-8859-15 (a locale built with
// localedef into the build tree) receives UTF-8 values converted.
TEST(BrokerConsume, ValueConvertsFromUtf8ToTheLocalCodePage) {
    if (system("command -v localedef >/dev/null 2>&1") != 0) GTEST_SKIP() << "no localedef";
    std::string root = std::string(BQX_TEST_WORKDIR) + "/locale";
    std::string target = root + "/de_DE.ISO-8859-15";
    (void)!system(("mkdir -p '" + root + "' && { test -f '" + target +
                   "/LC_CTYPE' || localedef -i de_DE -f ISO-8859-15 '" + target +
                   "' >/dev/null 2>&1; }").c_str());
    std::string topic = newTopic("conv", 1);
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"; // "Grüße €"
    const std::string latin9 = "Gr\xFC\xDF" "e \xA4";
    {
        Session s;
        ASSERT_EQ(s.connect(bootstrap(), topic), 0);
        ASSERT_EQ(s.produce("", utf8), 0);
    }
    setenv("LOCPATH", root.c_str(), 1);
    setenv("LC_ALL", "de_DE.ISO-8859-15", 1);
    Session s;
    setenv("LC_ALL", "C.UTF-8", 1);
    unsetenv("LOCPATH");
    ASSERT_EQ(s.connect(bootstrap(), topic), 0);
    Consumed c;
    bqxtest::captureLines([&] { c = consume(s.handle, newGroup("conv"), 1, 10, 1); });
    setlocale(LC_CTYPE, "");
    ASSERT_EQ(c.values.size(), 1u) << "rc " << c.lastRc;
    EXPECT_EQ(c.values[0], latin9);
}

// The consumer-group programs: bqx_sample produces and consumes one message,
// bqx_test consumes a series.
TEST(BrokerPrograms, SampleProducesAndConsumesItsMessage) {
    std::string topic = newTopic("sample", 1);
    int status = 0;
    std::string out = shell(std::string(BQX_PROGRAM_DIR) + "/bqx_sample " + bootstrap() + " " +
                                topic + " hello-sample 2>&1",
                            &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("BqX CLI Sample Received Message from Kafka (len=12): hello-sample"),
              std::string::npos)
        << out;
}

TEST(BrokerPrograms, TestProgramConsumesASeries) {
    std::string topic = newTopic("series", 2);
    std::vector<std::string> produced = produceWithBqx(topic, 2, 50, "t");
    int status = 0;
    std::string out = shell("BQX_TOPIC=" + topic + " " + std::string(BQX_PROGRAM_DIR) +
                                "/bqx_test 10 0 " + bootstrap() + " 2>&1",
                            &status);
    EXPECT_EQ(status, 0);
    size_t received = 0;
    for (size_t pos = 0; (pos = out.find("BqX Test Received Message ", pos)) != std::string::npos; ++pos)
        ++received;
    EXPECT_EQ(received, 100u) << out.substr(0, 2000);
    EXPECT_NE(out.find("Received Message 100 of 100"), std::string::npos);
}

} // namespace
