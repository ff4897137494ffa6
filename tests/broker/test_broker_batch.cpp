// Batched pipelined produce (synch mode 4) against the real broker: many
// records per batch and per request, read back with kcat. Every message
// must be in the partition its key names (or the round-robin cursor chose),
// once, in call order within its partition, byte for byte: for a large
// mixed run, for values up to 1 MiB, for batches that fill up to the size
// limit on a topic with the broker's default limits, for batches a topic
// with a smaller limit refuses and that are sent again, across switches
// between the synch modes, and at each point that sends what is collected.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>

#include <sys/time.h>
#include <unistd.h>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;

namespace {

constexpr int32_t kBatchedMode = 4;
constexpr uint32_t kReceiveWindow = 100;
constexpr uint32_t kPartitions = 3;
constexpr size_t kKeyBytes = 31; // the library keeps this much of a key
constexpr size_t kMiB = 1024 * 1024;

// The key hash, computed here on its own so that a changed hash in the
// library shows: 5381, then h * 33 plus each byte taken as a signed value.
uint32_t keyHash(const std::string &key) {
    uint32_t h = 5381;
    for (char c : key)
        h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
    return h;
}

int32_t hashedPartition(const std::string &key, uint32_t partitions) {
    return static_cast<int32_t>(keyHash(key.substr(0, kKeyBytes)) % partitions);
}

// A value of exactly `size` bytes that names its message ("#0001234:")
// and goes on with every byte value, zero and newline among them. The
// filler repeats every 256 bytes and is copied in doubling blocks: values
// of 1 MiB must be made fast enough for records to pile up while a
// request is out.
std::string numberedValue(uint32_t seq, size_t size) {
    char head[16];
    size_t prefix = static_cast<size_t>(snprintf(head, sizeof head, "#%07u:", seq));
    std::string value(std::max(size, prefix), '\0');
    memcpy(&value[0], head, prefix);
    size_t period = std::min<size_t>(256, value.size() - prefix);
    for (size_t j = 0; j < period; ++j)
        value[prefix + j] = static_cast<char>((seq * 131 + j * 7) & 0xff);
    for (size_t filled = prefix + period; filled < value.size();) {
        size_t n = std::min(filled - prefix, value.size() - filled);
        memcpy(&value[filled], &value[prefix], n);
        filled += n;
    }
    value.resize(size);
    return value;
}


// A new topic of kPartitions partitions (newTopic waits until the broker
// serves every one of them).
std::string servedTopic(const std::string &prefix, const std::vector<std::string> &configs = {}) {
    return newTopic(prefix, kPartitions, "", configs);
}

int64_t nowMs() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

struct Sent {
    std::string key, value; // the key as the record carries it (at most 31 bytes)
    int32_t partition;
};

// A connected session that records each message it produced and the
// partition the message must land in.
struct Producer {
    Session session;
    std::string topic;
    std::vector<Sent> sent;
    int64_t startMs = 0; // no record of this producer is older

    void connect(const std::string &name) {
        topic = name;
        startMs = nowMs();
        ASSERT_EQ(session.connect(envValue("KAFKA_BOOTSTRAP"), topic), 0);
        ASSERT_EQ(get_BQXPCB(session.handle)->u32PartitionCount, kPartitions);
    }

    // Keyed: the key's hash. Unkeyed: the entry at the round-robin cursor,
    // exactly as in synch mode 0.
    int32_t produce(const std::string &key, const std::string &value) {
        PCB *pcb = get_BQXPCB(session.handle);
        uint32_t cursor = pcb->u32PartitionListIdx % pcb->u32PartitionCount;
        int32_t partition = key.empty() ? pcb->pPartitionList[cursor].i32Partition
                                        : hashedPartition(key, kPartitions);
        int32_t rc = session.produce(key, value);
        if (rc == 0) sent.push_back({key.substr(0, kKeyBytes), value, partition});
        return rc;
    }

    // Produces `count` messages numbered from sent.size() on, with the key
    // and value size that `keyFor` and `sizeFor` give each number; stops at
    // the first failure.
    void produceRun(uint32_t count, const std::function<std::string(uint32_t)> &keyFor,
                    const std::function<size_t(uint32_t)> &sizeFor) {
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t seq = static_cast<uint32_t>(sent.size());
            int32_t rc = produce(keyFor(seq), numberedValue(seq, sizeFor(seq)));
            if (rc != 0) {
                ADD_FAILURE() << "BQXPROD of message " << seq << " returned " << rc;
                return;
            }
        }
    }

    // Produces further small messages until some wait in an open batch, so
    // that the next point that sends what is collected has records to send
    // (a broker that answers fast can take each call's record at once).
    void produceUntilCollected(const std::function<std::string(uint32_t)> &keyFor) {
        PCB *pcb = get_BQXPCB(session.handle);
        for (int extra = 0; pcb->ullBatchedRecords == 0 && extra < 10000; ++extra)
            produceRun(1, keyFor, [](uint32_t) { return size_t{20}; });
        ASSERT_GT(pcb->ullBatchedRecords, 0u) << "no record waits in a batch";
    }
};

std::string describe(int64_t keyLength, const std::string &key, int64_t valueLength,
                     const std::string &value) {
    std::ostringstream out;
    out << "key(" << keyLength << ")=" << key << " value(" << valueLength << ")=";
    for (size_t i = 0; i < value.size() && i < 9; ++i)
        out << (value[i] >= 32 && value[i] < 127 ? value[i] : '.');
    return out.str();
}

// Reads every partition of `topic` back and checks that it holds exactly
// the messages sent to it, in call order, byte for byte, each with a record
// timestamp between `startMs` and now; reports the first difference of
// each partition.
void expectTopicHolds(const std::string &topic, const std::vector<Sent> &sent, int64_t startMs) {
    int64_t endMs = nowMs();
    std::vector<std::vector<const Sent *>> expected(kPartitions);
    for (const Sent &m : sent) expected.at(static_cast<size_t>(m.partition)).push_back(&m);
    size_t total = 0;
    for (uint32_t p = 0; p < kPartitions; ++p) {
        std::vector<Message> got =
            readPartition(envValue("KAFKA_BOOTSTRAP"), topic, static_cast<int32_t>(p));
        total += got.size();
        const std::vector<const Sent *> &want = expected[p];
        for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
            const Sent &w = *want[i];
            int64_t keyLength = w.key.empty() ? -1 : static_cast<int64_t>(w.key.size());
            int64_t valueLength = w.value.empty() ? -1 : static_cast<int64_t>(w.value.size());
            const Message &g = got[i];
            if (g.keyLength != keyLength || g.key != w.key || g.valueLength != valueLength ||
                g.value != w.value) {
                ADD_FAILURE() << "partition " << p << ", message " << i << " (offset "
                              << g.offset << "): expected "
                              << describe(keyLength, w.key, valueLength, w.value) << ", got "
                              << describe(g.keyLength, g.key, g.valueLength, g.value);
                break;
            }
            if (g.timestamp < startMs || g.timestamp > endMs) {
                ADD_FAILURE() << "partition " << p << ", message " << i << ": timestamp "
                              << g.timestamp << " outside " << startMs << ".." << endMs;
                break;
            }
        }
        EXPECT_EQ(got.size(), want.size()) << "messages in partition " << p;
    }
    EXPECT_EQ(total, sent.size()) << "messages in the topic";
}

int64_t msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// The number after `label` in the text of the first log line numbered
// `number`, or -1.
long long statistic(const std::vector<bqxtest::LogLine> &log, const std::string &number,
                    const std::string &label) {
    for (const bqxtest::LogLine &line : log) {
        size_t at = line.text.find(label);
        if (line.number == number && at != std::string::npos)
            return std::stoll(line.text.substr(at + label.size()));
    }
    return -1;
}

// Closes the session at debug level 1, where the close writes the
// statistics, and returns the close's log.
std::vector<bqxtest::LogLine> closeWithStatistics(Session &session) {
    BQXDBUG(session.handle, 1);
    auto log = bqxtest::captureLog([&] { EXPECT_EQ(BQXCLSE(session.handle), 0); });
    session.handle = -1;
    return log;
}

// Keys for a mixed run: about half the messages unkeyed, the others with
// one of many keys, now and then one longer than the 31 bytes kept.
std::function<std::string(uint32_t)> mixedKeys() {
    auto random = std::make_shared<XorShift>();
    return [random](uint32_t seq) -> std::string {
        uint32_t r = random->next();
        if (r & 1) return "";
        if (seq % 97 == 0)
            return "a-customer-key-longer-than-the-kept-part-" + std::to_string(r % 50);
        return "cust-" + std::to_string(r % 5000);
    };
}

// Small values: the number and 0 to 40 further bytes.
size_t smallSize(uint32_t seq) { return 9 + seq % 41; }

// Mode 4 with the given send window on a session of `producer`.
void enterBatchedMode(Producer &producer, uint32_t sendWindow) {
    ASSERT_EQ(BQXSYNC(producer.session.handle, kBatchedMode, sendWindow, kReceiveWindow), 0);
}

// 200,000 messages in send windows of 1 (batches fill up to their record
// limit while one request is out) and 5.
class BrokerBatchWindow : public ::testing::TestWithParam<uint32_t> {};

TEST_P(BrokerBatchWindow, ManyKeyedAndUnkeyedMessagesArriveOnceInCallOrder) {
    constexpr uint32_t kMessages = 200000;
    Producer producer;
    ASSERT_NO_FATAL_FAILURE(producer.connect(servedTopic("batch-many")));
    ASSERT_NO_FATAL_FAILURE(enterBatchedMode(producer, GetParam()));
    producer.sent.reserve(kMessages);
    auto start = std::chrono::steady_clock::now();
    producer.produceRun(kMessages, mixedKeys(), smallSize);
    EXPECT_EQ(BQXSYNC(producer.session.handle, 2, 0, 0), 0);
    printf("[ window %u ] %zu messages produced and acknowledged in %lld ms\n", GetParam(),
           producer.sent.size(), static_cast<long long>(msSince(start)));
    producer.session.close();
    expectTopicHolds(producer.topic, producer.sent, producer.startMs);
}

INSTANTIATE_TEST_SUITE_P(SendWindow, BrokerBatchWindow, ::testing::Values(1u, 5u),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return "Window" + std::to_string(info.param);
                         });

// Values from empty to 1 MiB in a pattern, keyed and unkeyed. The topic
// takes batches of up to 4 MiB, since a 1 MiB value with its batch framing
// is beyond the broker's default limit.
TEST(BrokerBatch, MixedSizesUpToOneMebibyteArriveByteForByte) {
    static constexpr size_t kSizes[] = {0,          1,         100,       10 * 1024, 500 * 1024,
                                        kMiB - 100, kMiB,      37,        64 * 1024};
    constexpr size_t kPattern = sizeof kSizes / sizeof kSizes[0];
    Producer producer;
    ASSERT_NO_FATAL_FAILURE(producer.connect(
        servedTopic("batch-sizes", {"max.message.bytes=4194304"})));
    ASSERT_NO_FATAL_FAILURE(enterBatchedMode(producer, 5));
    producer.produceRun(
        20 * kPattern,
        [](uint32_t seq) { return seq % 2 ? std::string() : "size-" + std::to_string(seq % 7); },
        [](uint32_t seq) { return kSizes[seq % kPattern]; });
    EXPECT_EQ(BQXSYNC(producer.session.handle, 2, 0, 0), 0);
    producer.session.close();
    expectTopicHolds(producer.topic, producer.sent, producer.startMs);
}

// On a topic with the broker's default limit (a whole batch at most 1 MiB
// and 12 bytes with its log header), values that each fit it alone, sized
// so that 1, 2, 3, 4, 8 and 16 of them come just under 1 MiB. All go to
// one partition in send window 1, so records pile up while a request is
// out and batches fill up to the library's size limit (far fewer requests
// than messages show it): each batch must still pass the broker's limit.
TEST(BrokerBatch, FullBatchesPassTheBrokerDefaultLimit) {
    std::vector<size_t> sizes = {kMiB - 100};
    for (size_t perBatch : {2, 3, 4, 8, 16})
        for (size_t below : {48, 16, 0}) sizes.push_back(kMiB / perBatch - below);
    Producer producer;
    ASSERT_NO_FATAL_FAILURE(producer.connect(servedTopic("batch-full")));
    ASSERT_NO_FATAL_FAILURE(enterBatchedMode(producer, 1));
    for (size_t size : sizes) {
        uint32_t count = static_cast<uint32_t>(2 * (kMiB / size) + 1);
        producer.produceRun(
            count, [](uint32_t) { return std::string("full"); }, [size](uint32_t) { return size; });
    }
    EXPECT_EQ(BQXSYNC(producer.session.handle, 2, 0, 0), 0);
    long long requests = statistic(closeWithStatistics(producer.session), "0022", "sends=");
    EXPECT_GT(requests, 0);
    // How many records pile up depends on how fast the broker answers
    // against how fast the test makes values (up to 1 MiB each): on a busy
    // machine about half a request per message, one each without piling.
    EXPECT_LT(requests, static_cast<long long>(producer.sent.size() * 3 / 4))
        << "records should pile up into full batches";
    expectTopicHolds(producer.topic, producer.sent, producer.startMs);
}

// Mode 4 runs with switches to modes 0 and 1 between them and a synch
// point (BQXSYNC 2) that keeps mode 4. Messages collected in mode 4 must
// leave before those of the next mode, so each partition still holds
// every message in call order.
TEST(BrokerBatch, SynchModeSwitchesKeepCallOrder) {
    struct Phase {
        int32_t mode;
        uint32_t sendWindow, messages;
    };
    static constexpr Phase kPhases[] = {{4, 1, 3000}, {0, 100, 1000}, {4, 1, 3000},
                                        {1, 0, 150},  {4, 2, 3000},   {2, 0, 500}};
    Producer producer;
    ASSERT_NO_FATAL_FAILURE(producer.connect(servedTopic("batch-switch")));
    // Three keys, one per partition, and every fourth message unkeyed.
    auto keys = [](uint32_t seq) {
        return seq % 4 == 3 ? std::string() : "switch-" + std::to_string(seq % 4);
    };
    for (const Phase &phase : kPhases) {
        SCOPED_TRACE("mode " + std::to_string(phase.mode));
        ASSERT_EQ(BQXSYNC(producer.session.handle, phase.mode, phase.sendWindow, kReceiveWindow),
                  0);
        producer.produceRun(phase.messages, keys, smallSize);
        if (phase.mode == kBatchedMode || phase.mode == 2) {
            EXPECT_NE(get_BQXPCB(producer.session.handle)->u32Batched, 0u);
            ASSERT_NO_FATAL_FAILURE(producer.produceUntilCollected(keys));
        }
    }
    EXPECT_EQ(BQXSYNC(producer.session.handle, 2, 0, 0), 0);
    producer.session.close();
    expectTopicHolds(producer.topic, producer.sent, producer.startMs);
}

// Without a synch point, closing the session (BQXCLSE or BQXTERM) or
// connecting it to another topic sends what is collected and awaits the
// replies: every message is in the first topic, and the statistics count
// each as produced, in fewer requests than messages.
enum class FlushBy { kClose, kTerminate, kReconnect };

class BrokerBatchFlush : public ::testing::TestWithParam<FlushBy> {};

TEST_P(BrokerBatchFlush, CollectedMessagesAreDeliveredWithoutSynchPoint) {
    constexpr uint32_t kMessages = 30000;
    Producer producer;
    ASSERT_NO_FATAL_FAILURE(producer.connect(servedTopic("batch-flush")));
    ASSERT_NO_FATAL_FAILURE(enterBatchedMode(producer, 1));
    auto keys = mixedKeys();
    producer.produceRun(kMessages, keys, smallSize);
    ASSERT_NO_FATAL_FAILURE(producer.produceUntilCollected(keys));
    std::vector<Sent> first = producer.sent;
    std::string firstTopic = producer.topic;
    int64_t firstStartMs = producer.startMs;
    int32_t handle = producer.session.handle;
    if (GetParam() == FlushBy::kReconnect) {
        ASSERT_NO_FATAL_FAILURE(producer.connect(servedTopic("batch-flush2")));
        producer.sent.clear();
        producer.produceRun(100, keys, smallSize);
    }
    std::vector<bqxtest::LogLine> log;
    if (GetParam() == FlushBy::kTerminate) {
        BQXDBUG(handle, 1); // the statistics are written at a debug level above 0
        log = bqxtest::captureLog([&] { EXPECT_EQ(BQXTERM(), 0); });
        producer.session.handle = -1;
    } else {
        log = closeWithStatistics(producer.session);
    }
    size_t second = GetParam() == FlushBy::kReconnect ? producer.sent.size() : 0;
    long long produced = static_cast<long long>(first.size() + second);
    EXPECT_EQ(statistic(log, "0018", "#Msgs produce: "), produced);
    long long requests = statistic(log, "0022", "sends=");
    EXPECT_GT(requests, 0);
    // How many records share a request depends on how fast the broker
    // answers; one request per message would be synch mode 0.
    EXPECT_LT(requests, produced) << "records should travel several per request";
    expectTopicHolds(firstTopic, first, firstStartMs);
    if (GetParam() == FlushBy::kReconnect)
        expectTopicHolds(producer.topic, producer.sent, producer.startMs);
}

INSTANTIATE_TEST_SUITE_P(FlushPoint, BrokerBatchFlush,
                         ::testing::Values(FlushBy::kClose, FlushBy::kTerminate,
                                           FlushBy::kReconnect),
                         [](const ::testing::TestParamInfo<FlushBy> &info) {
                             switch (info.param) {
                             case FlushBy::kClose: return std::string("Close");
                             case FlushBy::kTerminate: return std::string("Terminate");
                             default: return std::string("Reconnect");
                             }
                         });

// A record the topic refuses (bigger than its limit) travels alone between
// two synch points: BQXSYNC 2 returns 7510 with warning 5007 counting one
// failed message, and the next synch point, after good messages, 0 again.
// The messages around it arrive; the refused one does not.
TEST(BrokerBatch, RefusedRecordIsReportedAtTheSynchPoint) {
    Producer producer;
    ASSERT_NO_FATAL_FAILURE(producer.connect(
        servedTopic("batch-refused", {"max.message.bytes=50000"})));
    ASSERT_NO_FATAL_FAILURE(enterBatchedMode(producer, 5));
    auto keys = mixedKeys();
    producer.produceRun(20, keys, smallSize);
    EXPECT_EQ(BQXSYNC(producer.session.handle, 2, 0, 0), 0);

    ASSERT_EQ(producer.session.produce("too-big", std::string(100000, 'x')), 0);
    int32_t rc = -1;
    auto log = bqxtest::captureLog([&] { rc = BQXSYNC(producer.session.handle, 2, 0, 0); });
    EXPECT_EQ(rc, 7510);
    bool refused = false, counted = false;
    for (const bqxtest::LogLine &line : log) {
        refused |= line.number == "7510" && line.text.find("Error from kafka server: 10 ") == 0;
        counted |= line.number == "5007" && line.text.find("1 produced messages failed") == 0;
    }
    EXPECT_TRUE(refused) << "no MESSAGE_TOO_LARGE reply logged";
    EXPECT_TRUE(counted) << "no warning 5007 counting one failed message";

    producer.produceRun(20, keys, smallSize);
    EXPECT_EQ(BQXSYNC(producer.session.handle, 2, 0, 0), 0);
    producer.session.close();
    expectTopicHolds(producer.topic, producer.sent, producer.startMs);
}

// On a topic that takes batches of at most 64 KiB, records of 9,000 B pile
// up into far larger batches while a request is out. The broker refuses
// those as too large, and their records go out again in smaller batches:
// the synch point reports nothing failed, and every record is stored once,
// in call order.
class BrokerBatchLimit : public ::testing::TestWithParam<uint32_t> {};

TEST_P(BrokerBatchLimit, RecordsOfRefusedBatchesAreStoredOnceInCallOrder) {
    Producer producer;
    ASSERT_NO_FATAL_FAILURE(
        producer.connect(servedTopic("batch-limit", {"max.message.bytes=65536"})));
    ASSERT_NO_FATAL_FAILURE(enterBatchedMode(producer, GetParam()));
    producer.produceRun(
        500,
        [](uint32_t seq) { return seq % 3 ? std::string() : "limit-" + std::to_string(seq % 5); },
        [](uint32_t) { return size_t{9000}; });
    EXPECT_EQ(BQXSYNC(producer.session.handle, 2, 0, 0), 0);
    producer.session.close();
    expectTopicHolds(producer.topic, producer.sent, producer.startMs);
}

INSTANTIATE_TEST_SUITE_P(SendWindow, BrokerBatchLimit, ::testing::Values(1u, 5u),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return "Window" + std::to_string(info.param);
                         });

} // namespace
