// BQXCONS against the real broker on compressed record batches: batches
// that kcat writes with each codec (raw snappy), that Kafka's own console
// producer writes with each codec (framed snappy), and the zstd batches the
// broker makes itself for a topic with compression.type=zstd out of bqx's
// uncompressed produces. Each run is checked against what the broker
// stored: byte for byte, in order per partition, none lost, none twice.
// Every run is consumed by two sessions of one group, the first stopping
// inside a compressed batch: the second then resumes in the middle of one
// and must skip the records below its offset.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;

namespace {

constexpr uint32_t kCapacity = 1024;
constexpr int32_t kPartitions = 2;
constexpr uint32_t kMessages = 300;
constexpr uint32_t kBulkMessages = 600;

struct Codec {
    const char *name;
    int16_t id; // bits 0-2 of the batch attributes
};

constexpr Codec kCodecs[] = {{"gzip", 1}, {"snappy", 2}, {"lz4", 3}, {"zstd", 4}};

const std::string kFramedSnappy("\x82SNAPPY\0", 8);

std::string bootstrap() { return envValue("KAFKA_BOOTSTRAP"); }

// ---- what the broker stored -------------------------------------------------

uint64_t bigEndian(const std::string &bytes, size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

// One record batch of a partition's log on the broker's disk.
struct StoredBatch {
    int64_t baseOffset = 0;
    int32_t records = 0;
    int16_t codec = 0;
    std::string head; // the first bytes of the records section
};

// The batches of one partition, read from its log segment.
std::vector<StoredBatch> storedBatches(const std::string &topic, int32_t partition) {
    std::string path = segmentPath(topic, partition);
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr size_t kHeader = 61; // baseOffset up to the record count
    std::vector<StoredBatch> batches;
    for (size_t at = 0; at + kHeader <= log.size();) {
        size_t end = at + 12 + bigEndian(log, at + 8, 4);
        if (end < at + kHeader || end > log.size()) {
            ADD_FAILURE() << path << " ends inside a batch at " << at;
            break;
        }
        StoredBatch batch;
        batch.baseOffset = static_cast<int64_t>(bigEndian(log, at, 8));
        batch.codec = static_cast<int16_t>(bigEndian(log, at + 21, 2) & 7);
        batch.records = static_cast<int32_t>(bigEndian(log, at + 57, 4));
        batch.head = log.substr(at + kHeader, std::min<size_t>(8, end - at - kHeader));
        batches.push_back(batch);
        at = end;
    }
    return batches;
}

using BatchesByPartition = std::map<int32_t, std::vector<StoredBatch>>;

enum class Snappy { kAny, kRaw, kFramed };

// Whether a producer stores a batch uncompressed when compressing would not
// make it smaller, as librdkafka (kcat) does: a batch that a busy machine
// cut small may then hold a few incompressible records without a codec.
enum class Uncompressed { kNever, kWhenNotSmaller };

// Every stored batch is compressed with `codec` (or, where the producer
// may skip it, holds a minority of the records uncompressed), some hold
// many records (`largest` the most of a compressed batch), and snappy
// batches have the framing `snappy` asks for.
BatchesByPartition expectStoredCompressed(const std::string &topic, const Codec &codec,
                                          Snappy snappy, int32_t &largest,
                                          Uncompressed uncompressed = Uncompressed::kNever,
                                          int32_t manyRecords = 20) {
    BatchesByPartition all;
    largest = 0;
    int64_t compressedRecords = 0, plainRecords = 0;
    for (int32_t p = 0; p < kPartitions; ++p) {
        all[p] = storedBatches(topic, p);
        for (const StoredBatch &b : all[p]) {
            if (b.codec == 0 && uncompressed == Uncompressed::kWhenNotSmaller) {
                plainRecords += b.records;
                continue;
            }
            compressedRecords += b.records;
            largest = std::max(largest, b.records);
            EXPECT_EQ(b.codec, codec.id) << "partition " << p << " batch at " << b.baseOffset;
            bool framed = b.head == kFramedSnappy;
            if (codec.id == 2 && snappy != Snappy::kAny) {
                EXPECT_EQ(framed, snappy == Snappy::kFramed)
                    << "snappy framing of partition " << p << " batch at " << b.baseOffset;
            }
        }
    }
    EXPECT_GE(largest, manyRecords) << "records share compressed batches";
    EXPECT_GT(compressedRecords, plainRecords) << "most records are stored compressed";
    return all;
}

// Each partition's values as kcat reads them back, cut to the capacity of
// the consumer's buffer: what BQXCONS must deliver, in this order.
std::map<int32_t, std::vector<std::string>> storedValues(const std::string &topic) {
    std::map<int32_t, std::vector<std::string>> values;
    for (int32_t p = 0; p < kPartitions; ++p)
        for (const Message &m : readPartition(bootstrap(), topic, p))
            values[p].push_back(m.value.substr(0, kCapacity));
    return values;
}

// The broker stored exactly the produced values (the producers' part).
void expectStoredAsProduced(const std::map<int32_t, std::vector<std::string>> &stored,
                            std::vector<std::string> produced) {
    std::vector<std::string> all;
    for (auto &[p, values] : stored) all.insert(all.end(), values.begin(), values.end());
    for (std::string &v : produced) v.resize(std::min<size_t>(v.size(), kCapacity));
    std::sort(all.begin(), all.end());
    std::sort(produced.begin(), produced.end());
    EXPECT_TRUE(all == produced) << "stored " << all.size() << " of " << produced.size();
}

// ---- the values ----------------------------------------------------------------


// Sizes around and beyond the consumer's capacity; message 100 is bigger
// still and message 150 is empty.
size_t sizeOf(uint32_t seq) {
    static constexpr size_t kSizes[] = {3, 40, 250, 12, 700, 90, 1024, 5, 1025, 400, 60, 1000, 150, 30};
    if (seq == 100) return 2000;
    if (seq == 150) return 0;
    return kSizes[seq % (sizeof kSizes / sizeof kSizes[0])];
}

// A value of `size` bytes (at least its head "#<seq>:", which makes it
// unique) made of `alphabet`: every other value repeats a short pattern, the
// rest are pseudo-random, so batches compress, but not to nothing.
std::string makeValue(uint32_t seq, const std::string &alphabet, XorShift &rng) {
    size_t size = sizeOf(seq);
    if (size == 0) return "";
    std::string value = "#" + std::to_string(seq) + ":";
    while (value.size() < size)
        value += seq % 2 ? alphabet[rng.next() % alphabet.size()]
                         : alphabet[(value.size() * 7 + seq) % 13 % alphabet.size()];
    return value;
}

// Printable characters except '|', which separates key and value in the
// lines that the line producers read.
std::string printable() {
    std::string chars;
    for (char c = ' '; c <= '~'; ++c)
        if (c != '|') chars += c;
    return chars;
}

std::string allBytes() {
    std::string bytes(256, '\0');
    for (int b = 0; b < 256; ++b) bytes[static_cast<size_t>(b)] = static_cast<char>(b);
    return bytes;
}

struct Input {
    bool keyNull = true;
    std::string key, value;
};

// Keys: absent for every third message, empty, short or long for the rest.
std::vector<Input> lineInputs() {
    std::vector<Input> inputs;
    XorShift rng;
    for (uint32_t seq = 0; seq < kMessages; ++seq) {
        Input in;
        in.value = makeValue(seq, printable(), rng);
        in.keyNull = seq % 3 == 0 && !in.value.empty();
        if (!in.keyNull)
            in.key = seq % 6 == 2 ? "" : seq % 6 == 4 ? std::string(80, 'K') + std::to_string(seq)
                                                      : "key-" + std::to_string(seq);
        inputs.push_back(in);
    }
    return inputs;
}

// Values of 1000 bytes that compress to almost nothing: hundreds of them in
// one batch inflate to many times a fetch reply.
std::vector<Input> bulkInputs() {
    std::vector<Input> inputs;
    for (uint32_t seq = 0; seq < kBulkMessages; ++seq) {
        Input in;
        in.value = "#bulk" + std::to_string(seq) + ":";
        in.value.resize(1000, static_cast<char>('a' + seq % 26));
        inputs.push_back(in);
    }
    return inputs;
}

std::vector<std::string> valuesOf(const std::vector<Input> &inputs) {
    std::vector<std::string> values;
    for (const Input &in : inputs) values.push_back(in.value);
    return values;
}

// Writes `lines` to a temporary file and returns its path.
std::string writeLines(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "\n";
    char path[] = "/tmp/bqx-lines-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    return path;
}

// ---- the producers ---------------------------------------------------------------

std::string compressedTopic(const std::string &prefix, const std::vector<std::string> &configs = {}) {
    return newTopic(prefix, kPartitions, "", configs); // served on return
}

// kcat: `inputs` into one partition, at most `perBatch` records per batch,
// with a header on each record; a batch waits up to `lingerMs` for more
// records (and the end of the input, too).
void kcatProduce(const std::string &topic, int32_t partition, const Codec &codec,
                 const std::vector<Input> &inputs, int perBatch, int lingerMs) {
    std::vector<std::string> lines;
    for (const Input &in : inputs) lines.push_back(in.keyNull ? in.value : in.key + "|" + in.value);
    std::string path = writeLines(lines);
    std::string command = "kcat -q -P -b " + bootstrap() + " -t " + topic + " -p " +
                          std::to_string(partition) + " -K '|' -z " + codec.name +
                          " -X batch.num.messages=" + std::to_string(perBatch) +
                          " -X linger.ms=" + std::to_string(lingerMs) +
                          " -H origin=kcat -l " + path + " 2>&1";
    int status = 0;
    std::string out = shell(command, &status);
    unlink(path.c_str());
    ASSERT_EQ(status, 0) << command << ": " << out;
}

// Message n of `inputs` into partition n % 2, 40 records per batch; then
// `bulk` in one batch into partition 0.
void produceWithKcat(const std::string &topic, const Codec &codec, const std::vector<Input> &inputs,
                     const std::vector<Input> &bulk) {
    for (int32_t p = 0; p < kPartitions; ++p) {
        std::vector<Input> share;
        for (size_t n = static_cast<size_t>(p); n < inputs.size(); n += kPartitions)
            share.push_back(inputs[n]);
        kcatProduce(topic, p, codec, share, 40, 5);
    }
    // a slow reading of the file must not cut the bulk into part batches
    kcatProduce(topic, 0, codec, bulk, 10000, 1000);
}

// Kafka's console producer, whose class and reader option moved in 4.0;
// the keyed records spread over the partitions by the key's hash.
void produceWithConsoleProducer(const std::string &topic, const Codec &codec,
                                const std::vector<Input> &inputs) {
    bool line3 = envValue("KAFKA_VERSION").rfind("3.", 0) == 0;
    std::string cls = line3 ? "kafka.tools.ConsoleProducer" : "org.apache.kafka.tools.ConsoleProducer";
    std::string property = line3 ? " --property " : " --reader-property ";
    std::vector<std::string> lines;
    for (const Input &in : inputs) lines.push_back((in.keyNull ? "<null>" : in.key) + "|" + in.value);
    std::string path = writeLines(lines);
    std::string command = std::string(BQX_KAFKA_SCRIPT) + " run " + cls + " --bootstrap-server " +
                          bootstrap() + " --topic " + topic + " --compression-codec " + codec.name +
                          property + "parse.key=true" + property + "'key.separator=|'" + property +
                          "'null.marker=<null>' < " + path + " 2>&1";
    int status = 0;
    std::string out = shell(command, &status);
    unlink(path.c_str());
    ASSERT_EQ(status, 0) << command << ": " << out;
}

// ---- the consumer ------------------------------------------------------------------

struct Run {
    std::vector<std::string> values;
    std::map<int32_t, int64_t> resumeAt; // offsets where the second session starts
    int32_t lastRc = 0;                  // of the call after all, or of the one that failed
    std::vector<std::string> errors;     // error log lines of the record decoder
};

// Consumes one message into `run`; returns BQXCONS's result.
int32_t consumeOne(int32_t handle, const std::string &group, int32_t timeout, Run &run) {
    std::vector<char> buffer(kCapacity + 1);
    uint32_t length = kCapacity;
    int32_t rc = BQXCONS(handle, group.data(), static_cast<int32_t>(group.size()), buffer.data(),
                         &length, 0, timeout);
    if (rc == 0) run.values.emplace_back(buffer.data(), length);
    return rc;
}

// The assigned partitions' next offsets of a session.
std::map<int32_t, int64_t> nextOffsets(int32_t handle) {
    std::map<int32_t, int64_t> offsets;
    PCB *pcb = get_BQXPCB(handle);
    for (uint32_t i = 0; pcb && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].u32Assigned)
            offsets[pcb->pPartitionList[i].i32Partition] = pcb->pPartitionList[i].i64Offset;
    return offsets;
}

// Some partition's next offset lies inside a stored batch, behind its first record.
bool insideABatch(const std::map<int32_t, int64_t> &offsets, const BatchesByPartition &batches) {
    for (auto &[p, offset] : offsets) {
        auto it = batches.find(p);
        if (it == batches.end()) continue;
        for (const StoredBatch &b : it->second)
            if (b.codec != 0 && b.baseOffset < offset && offset < b.baseOffset + b.records)
                return true;
    }
    return false;
}

// A first session consumes until it stops inside a compressed batch (at
// least 5 messages, at most half) and closes, committing; a second session
// of the group consumes the rest, and one call more finds nothing.
Run consumeInTwoSessions(const std::string &topic, size_t total, const BatchesByPartition &batches) {
    Run run;
    std::string group = newGroup("compressed");
    std::vector<std::string> lines = bqxtest::captureLines([&] {
        Session first;
        if (first.connect(bootstrap(), topic) != 0) return ADD_FAILURE() << "connect";
        while (run.values.size() < total / 2) {
            if ((run.lastRc = consumeOne(first.handle, group, 10, run)) != 0) return;
            run.resumeAt = nextOffsets(first.handle);
            if (run.values.size() >= 5 && insideABatch(run.resumeAt, batches)) break;
        }
        first.close();
        Session second;
        if (second.connect(bootstrap(), topic) != 0) return ADD_FAILURE() << "connect";
        while (run.values.size() < total)
            if ((run.lastRc = consumeOne(second.handle, group, 10, run)) != 0) return;
        run.lastRc = consumeOne(second.handle, group, 2, run);
    });
    for (const std::string &line : lines) {
        size_t at = line.find(" BQX75"); // " BQX7536E FetchRy ..."
        if (at != std::string::npos && line.compare(at + 8, 9, "E FetchRy") == 0)
            run.errors.push_back(line);
    }
    return run;
}

std::string shortText(const std::string &value) {
    std::string out;
    for (size_t i = 0; i < value.size() && i < 12; ++i)
        out += value[i] >= 32 && value[i] < 127 ? value[i] : '.';
    return "\"" + out + "\"(" + std::to_string(value.size()) + ")";
}

// The first few lines, and how many there are.
std::string joined(const std::vector<std::string> &lines) {
    std::string out = std::to_string(lines.size()) + " decoder errors";
    for (size_t i = 0; i < lines.size() && i < 5; ++i) out += "\n  " + lines[i];
    return out;
}

// The consumed values, split by the partition that stores each, are each
// partition's stored values in order: none lost, none twice.
void expectConsumedAsStored(const Run &run, const std::map<int32_t, std::vector<std::string>> &stored,
                            const BatchesByPartition &batches) {
    std::map<std::string, int32_t> home;
    size_t total = 0;
    for (auto &[p, values] : stored) {
        total += values.size();
        for (const std::string &v : values) home.emplace(v, p);
    }
    ASSERT_EQ(home.size(), total) << "stored values are unique";
    std::map<int32_t, std::vector<std::string>> got;
    for (const std::string &v : run.values) {
        auto it = home.find(v);
        if (it == home.end()) {
            ADD_FAILURE() << "consumed a value that no partition stores: " << shortText(v);
            continue;
        }
        got[it->second].push_back(v);
    }
    for (auto &[p, want] : stored) {
        const std::vector<std::string> &have = got[p];
        size_t same = 0;
        while (same < want.size() && same < have.size() && want[same] == have[same]) ++same;
        EXPECT_TRUE(same == want.size() && same == have.size())
            << "partition " << p << ": " << have.size() << " consumed of " << want.size()
            << " stored; first difference at message " << same << ": expected "
            << (same < want.size() ? shortText(want[same]) : "none") << ", got "
            << (same < have.size() ? shortText(have[same]) : "none");
    }
    EXPECT_EQ(run.values.size(), total);
    EXPECT_EQ(run.lastRc, 7543) << "nothing is delivered twice";
    EXPECT_TRUE(run.errors.empty()) << joined(run.errors);
    EXPECT_TRUE(insideABatch(run.resumeAt, batches))
        << "the second session resumes inside a compressed batch";
}

// ---- the tests ---------------------------------------------------------------------

class BrokerCompressed : public ::testing::TestWithParam<Codec> {};

TEST_P(BrokerCompressed, KcatBatchesConsumedOnceInOrder) {
    const Codec &codec = GetParam();
    std::string topic = compressedTopic(std::string("kcat-") + codec.name);
    std::vector<Input> inputs = lineInputs(), bulk = bulkInputs();
    produceWithKcat(topic, codec, inputs, bulk);
    int32_t largest = 0;
    BatchesByPartition batches =
        expectStoredCompressed(topic, codec, Snappy::kRaw, largest, Uncompressed::kWhenNotSmaller);
    EXPECT_GE(largest, static_cast<int32_t>(kBulkMessages / 2)) << "the bulk shares a batch";
    inputs.insert(inputs.end(), bulk.begin(), bulk.end());
    auto stored = storedValues(topic);
    expectStoredAsProduced(stored, valuesOf(inputs));
    expectConsumedAsStored(consumeInTwoSessions(topic, inputs.size(), batches), stored, batches);
}

TEST_P(BrokerCompressed, ConsoleProducerBatchesConsumedOnceInOrder) {
    const Codec &codec = GetParam();
    std::string topic = compressedTopic(std::string("console-") + codec.name);
    std::vector<Input> inputs = lineInputs();
    produceWithConsoleProducer(topic, codec, inputs);
    int32_t largest = 0;
    BatchesByPartition batches = expectStoredCompressed(topic, codec, Snappy::kFramed, largest);
    auto stored = storedValues(topic);
    expectStoredAsProduced(stored, valuesOf(inputs));
    expectConsumedAsStored(consumeInTwoSessions(topic, inputs.size(), batches), stored, batches);
}

INSTANTIATE_TEST_SUITE_P(Codecs, BrokerCompressed, ::testing::ValuesIn(kCodecs),
                         [](const ::testing::TestParamInfo<Codec> &info) { return info.param.name; });

// The broker compresses bqx's uncompressed batches itself: first batched
// (synch mode 4, several records per batch), then one record per request
// (mode 0). Values hold every byte value, zero and newline among them.
TEST(BrokerCompressedTopic, ZstdTopicFedByUncompressedProduces) {
    const Codec zstd = kCodecs[3];
    std::string topic = compressedTopic("zstd-topic", {"compression.type=zstd"});
    std::vector<std::string> keys = keysForPartitions(kPartitions);
    std::vector<std::string> produced;
    XorShift rng;
    {
        Session s;
        ASSERT_EQ(s.connect(bootstrap(), topic), 0);
        ASSERT_EQ(BQXSYNC(s.handle, 4, 1, 1), 0);
        for (uint32_t seq = 0; seq < kMessages; ++seq) {
            if (seq == kMessages - 60) {
                ASSERT_EQ(BQXSYNC(s.handle, 0, 1, 1), 0);
            }
            std::string key = seq % 3 == 0 ? "" : keys[seq % kPartitions];
            produced.push_back(makeValue(seq, allBytes(), rng));
            ASSERT_EQ(s.produce(key, produced.back()), 0) << "message " << seq;
        }
        s.close();
    }
    int32_t largest = 0;
    // How many records bqx's batches gather depends on how fast the broker
    // answers (a busy machine saw 8 at most): sharing is what counts here.
    BatchesByPartition batches =
        expectStoredCompressed(topic, zstd, Snappy::kAny, largest, Uncompressed::kNever, 2);
    auto stored = storedValues(topic);
    expectStoredAsProduced(stored, produced);
    expectConsumedAsStored(consumeInTwoSessions(topic, produced.size(), batches), stored, batches);
}

} // namespace
