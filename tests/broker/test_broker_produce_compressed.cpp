// bqx's own compressed batches against the real broker: for each codec a
// topic gets 100,000 messages from synch mode 4 with compression.type set,
// keyed and unkeyed, a few empty (sent as null) and a few of 100 KiB. kcat
// and Kafka's console consumer read every partition back byte for byte, in
// produce order, none lost, none twice; Kafka's DumpLogSegments reads the
// broker's log segments and finds every batch stored with the codec, many
// records to a batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "bqx.h"
#include "broker/broker_support.h"

using namespace bqxbroker;

namespace {

constexpr int32_t kPartitions = 2;
constexpr uint32_t kMessages = 100000;
constexpr size_t kLargeValue = 100 * 1024;
constexpr const char *kCodecs[] = {"gzip", "snappy", "lz4", "zstd"};

std::string bootstrap() { return envValue("KAFKA_BOOTSTRAP"); }

// One produced message; `id` ("lz4-17") is unique over all codecs and is
// the head of the value, or the key of an empty value.
struct Produced {
    std::string id, key, value;
};

// Message `seq` of the codec's topic: every other one keyed, every 997th
// empty, five of 100 KiB, the rest JSON-like text of 30 to 400 bytes. No
// '|' and no newline, which separate the console consumer's fields.
Produced messageOf(const std::string &codec, uint32_t seq, XorShift &rng) {
    Produced m;
    m.id = codec + "-" + std::to_string(seq);
    if (seq % 997 == 5) {
        m.key = "e-" + m.id;
        return m;
    }
    if (seq % 2)
        m.key = "user-" + std::to_string(seq % 1000);
    size_t size = seq % 20000 == 7 ? kLargeValue : 30 + rng.next() % 370;
    m.value = "#" + m.id + ":{\"n\":" + std::to_string(seq) + ",\"items\":[";
    while (m.value.size() < size)
        m.value += "{\"sku\":\"S" + std::to_string(rng.next() % 5000) +
                   "\",\"qty\":" + std::to_string(rng.next() % 9) + "},";
    m.value.resize(size);
    return m;
}

// The id a read-back message names: the value's head, else its key.
std::string idOf(const std::string &key, const std::string &value) {
    if (value.empty() || value[0] != '#')
        return key.rfind("e-", 0) == 0 ? key.substr(2) : "";
    size_t colon = value.find(':');
    return colon == std::string::npos ? "" : value.substr(1, colon - 1);
}

// What a reader saw of one topic: per partition, the ids in order, and how
// many messages differed from what was produced.
struct ReadBack {
    std::map<int32_t, std::vector<size_t>> order; // produce indexes per partition
    size_t wrong = 0, unknown = 0;
};

void note(ReadBack &read, const std::map<std::string, size_t> &index,
          const std::vector<Produced> &produced, int32_t partition, const std::string &key,
          bool keyNull, const std::string &value) {
    auto it = index.find(idOf(key, value));
    if (it == index.end()) {
        if (read.unknown++ == 0)
            ADD_FAILURE() << "a message nobody produced: " << value.substr(0, 40);
        return;
    }
    const Produced &m = produced[it->second];
    if (m.key != key || keyNull != m.key.empty() || m.value != value)
        if (read.wrong++ == 0)
            ADD_FAILURE() << m.id << " reads back differently";
    read.order[partition].push_back(it->second);
}

// Every message read once, each partition in produce order.
void expectComplete(const ReadBack &read, size_t total, const std::string &what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(read.wrong + read.unknown, 0u);
    std::vector<size_t> all;
    for (auto &[p, order] : read.order) {
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "partition " << p << " in order";
        all.insert(all.end(), order.begin(), order.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.size(), total);
    EXPECT_TRUE(std::adjacent_find(all.begin(), all.end()) == all.end()) << "none twice";
}

std::vector<Produced> produceCompressed(const std::string &topic, const std::string &codec) {
    std::vector<Produced> produced;
    XorShift rng;
    Session s;
    EXPECT_EQ(
        BQXCONF(s.handle, "compression.type", 16, codec.data(), static_cast<int32_t>(codec.size())),
        0);
    EXPECT_EQ(s.connect(bootstrap(), topic), 0);
    // Window 1: records gather while a request is in flight.
    EXPECT_EQ(BQXSYNC(s.handle, 4, 1, 1), 0);
    int32_t failed = 0;
    for (uint32_t seq = 0; seq < kMessages; ++seq) {
        produced.push_back(messageOf(codec, seq, rng));
        failed += s.produce(produced.back().key, produced.back().value) != 0;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(BQXSYNC(s.handle, 2, 0, 0), 0) << "every message stored";
    s.close();
    return produced;
}

// The console consumer over every topic at once (one JVM, one group join):
// "Partition:N|key|value" lines, null for a null key or value.
std::vector<std::string> consoleConsume(const std::vector<std::string> &topics, size_t total) {
    // The formatter's option was renamed in 4.0.
    bool line3 = envValue("KAFKA_VERSION").rfind("3.", 0) == 0;
    std::string property = line3 ? " --property " : " --formatter-property ";
    std::string pattern;
    for (const std::string &t : topics)
        pattern += (pattern.empty() ? "" : "|") + t;
    std::string command = std::string(BQX_KAFKA_SCRIPT) + " console-consumer --bootstrap-server " +
                          bootstrap() + " --include '(" + pattern +
                          ")' --from-beginning --max-messages " + std::to_string(total) +
                          " --timeout-ms 30000" + property + "print.key=true" + property +
                          "print.partition=true" + property + "'key.separator=|' 2>/dev/null";
    int status = 0;
    std::string out = shell(command, &status);
    EXPECT_EQ(status, 0) << command;
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
        end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        if (out.compare(at, 10, "Partition:") == 0)
            lines.push_back(out.substr(at, end - at));
    }
    return lines;
}

// DumpLogSegments over the segments of every topic at once (one JVM): per
// topic the lines of its batches, each with its record count and codec.
std::map<std::string, std::vector<std::string>>
dumpedBatches(const std::vector<std::string> &topics) {
    bool line3 = envValue("KAFKA_VERSION").rfind("3.", 0) == 0;
    std::string files;
    for (const std::string &topic : topics)
        for (int32_t p = 0; p < kPartitions; ++p)
            files += (files.empty() ? "" : ",") + segmentPath(topic, p);
    std::string command =
        std::string(BQX_KAFKA_SCRIPT) + " run " +
        (line3 ? "kafka.tools.DumpLogSegments" : "org.apache.kafka.tools.DumpLogSegments") +
        " --files " + files + " 2>&1";
    int status = 0;
    std::string out = shell(command, &status);
    EXPECT_EQ(status, 0) << command << ": " << out.substr(0, 400);
    std::map<std::string, std::vector<std::string>> batches;
    std::string topic; // of the file being dumped: "Dumping <dir>/<topic>-<p>/<segment>"
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
        end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        std::string line = out.substr(at, end - at);
        if (line.rfind("Dumping ", 0) == 0) {
            for (const std::string &t : topics)
                if (line.find("/" + t + "-") != std::string::npos)
                    topic = t;
        } else if (line.rfind("baseOffset:", 0) == 0) {
            batches[topic].push_back(line);
        }
    }
    return batches;
}

long fieldOf(const std::string &line, const std::string &name) {
    size_t at = line.find(" " + name + ": ");
    return at == std::string::npos ? -1 : std::stol(line.substr(at + name.size() + 3));
}

std::string codecOf(const std::string &line) {
    size_t at = line.find(" compresscodec: ");
    if (at == std::string::npos)
        return "";
    std::string codec = line.substr(at + 16, line.find(' ', at + 16) - at - 16);
    std::transform(codec.begin(), codec.end(), codec.begin(), ::tolower);
    return codec;
}

TEST(BrokerProduceCompressed, EachCodecReadBackByKcatAndTheConsoleConsumer) {
    std::vector<std::string> topics;
    std::vector<Produced> produced;
    for (const char *codec : kCodecs) {
        topics.push_back(newTopic(std::string("zip-") + codec, kPartitions));
        std::vector<Produced> mine = produceCompressed(topics.back(), codec);
        produced.insert(produced.end(), mine.begin(), mine.end());
    }
    std::map<std::string, size_t> index;
    for (size_t i = 0; i < produced.size(); ++i)
        index.emplace(produced[i].id, i);
    ASSERT_EQ(index.size(), produced.size());

    std::map<std::string, std::vector<std::string>> dumped = dumpedBatches(topics);
    for (size_t c = 0; c < topics.size(); ++c) {
        SCOPED_TRACE(kCodecs[c]);
        ReadBack kcat;
        for (int32_t p = 0; p < kPartitions; ++p)
            for (const Message &m : readPartition(bootstrap(), topics[c], p))
                note(kcat, index, produced, p, m.key, m.keyLength < 0, m.value);
        expectComplete(kcat, kMessages, "kcat");

        const std::vector<std::string> &batches = dumped[topics[c]];
        long records = 0, most = 0;
        for (const std::string &batch : batches) {
            EXPECT_EQ(codecOf(batch), kCodecs[c]) << batch;
            records += fieldOf(batch, "count");
            most = std::max(most, fieldOf(batch, "count"));
        }
        EXPECT_EQ(records, static_cast<long>(kMessages));
        EXPECT_GE(most, 100) << "records share batches";
        // How many records share a batch depends on how fast the broker
        // answers: a debug build on a busy machine saw 15 to 35 on average.
        EXPECT_LT(batches.size(), kMessages / 5) << "many records to a batch";
    }

    // The Java consumer, all topics in one run; the ids name the codec.
    std::map<std::string, ReadBack> console;
    for (const std::string &line : consoleConsume(topics, produced.size())) {
        size_t bar = line.find('|'), second = line.find('|', bar + 1);
        if (bar == std::string::npos || second == std::string::npos) {
            ADD_FAILURE() << "console line without key and value: " << line.substr(0, 60);
            continue;
        }
        int32_t partition = std::stoi(line.substr(10, bar - 10));
        std::string key = line.substr(bar + 1, second - bar - 1), value = line.substr(second + 1);
        bool keyNull = key == "null";
        if (keyNull)
            key.clear();
        if (value == "null")
            value.clear();
        std::string id = idOf(key, value);
        note(console[id.substr(0, id.find('-'))], index, produced, partition, key, keyNull, value);
    }
    for (const char *codec : kCodecs)
        expectComplete(console[codec], kMessages, std::string("console ") + codec);
}

} // namespace
