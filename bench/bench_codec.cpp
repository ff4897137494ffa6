// bqx_bench_codec: throughput of the codec's hot paths, without a broker.
//
//   CRC-32C      crc32c (the path the library picks on this machine: SSE4.2
//                with three crc32 chains, or the tables) and the
//                table-driven crc32c_sw over 64 B, 1 KiB and 64 KiB
//   key hash     djb_hash over 31-byte keys
//   Produce      one request as kafka_produce builds it (header, topic
//                section, record batch with one record, CRC), for 100-byte
//                and 10 KiB values; once into a reused buffer, once with
//                the allocations a produced message also costs
//   Metadata     a version 4 reply decoded field by field, as
//                kafka_meta_reply reads it
//
// Every figure is the median of kRuns timed runs after one untimed run.
// MB is 10^6 bytes.
#include <langinfo.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "codec/codec.h"
#include "codec/crc32c_hw.h"

namespace {

constexpr int kRuns = 5;
constexpr uint64_t kCrcBytesPerRun = 64ull << 20;
constexpr uint64_t kHashKeysPerRun = 4ull << 20;
constexpr int kKeyBytes = 31;
constexpr int kKeyCount = 1024;
constexpr const char *kTopic = "bench-topic";

// Results land here so that no timed loop can be dropped as dead code.
volatile uint64_t gSink;

using Clock = std::chrono::steady_clock;

// Seconds of the median of kRuns runs of `work`, after one warm-up run.
template <class Work> double medianSeconds(Work &&work) {
    work();
    std::vector<double> seconds;
    for (int run = 0; run < kRuns; ++run) {
        auto start = Clock::now();
        work();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

void printRow(const char *what, const char *size, double value, const char *unit) {
    printf("%-64s %-8s %14.1f %s\n", what, size, value, unit);
}

std::vector<uint8_t> pseudoRandomBytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t &byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

// ---- CRC-32C and key hash ---------------------------------------------------

using CrcFunction = uint32_t (*)(uint32_t, const void *, uint64_t);

void benchCrc(const char *what, CrcFunction crc, size_t size, const char *sizeText) {
    std::vector<uint8_t> buffer = pseudoRandomBytes(size, 7);
    uint64_t iterations = kCrcBytesPerRun / size;
    double seconds = medianSeconds([&] {
        uint32_t value = 0;
        for (uint64_t i = 0; i < iterations; ++i)
            value = crc(value, buffer.data(), size);
        gSink = gSink + value;
    });
    printRow(what, sizeText, static_cast<double>(iterations * size) / seconds / 1e6, "MB/s");
}

void benchCrcs() {
    const char *hardwareName = crc32c_has_sse42() ? "crc32c (library's choice: sse4.2, 3 chains)"
                                                  : "crc32c (library's choice: table)";
    struct Size {
        size_t bytes;
        const char *text;
    };
    for (Size size : {Size{64, "64 B"}, Size{1024, "1 KiB"}, Size{65536, "64 KiB"}}) {
        benchCrc(hardwareName, crc32c, size.bytes, size.text);
        benchCrc("crc32c_sw (table, slicing by 8)", crc32c_sw, size.bytes, size.text);
    }
}

void benchHash() {
    std::vector<uint8_t> keys = pseudoRandomBytes(kKeyCount * kKeyBytes, 11);
    double seconds = medianSeconds([&] {
        uint32_t value = 0;
        for (uint64_t i = 0; i < kHashKeysPerRun; ++i)
            value += djb_hash(keys.data() + (i % kKeyCount) * kKeyBytes, kKeyBytes);
        gSink = gSink + value;
    });
    printRow("djb_hash", "31 B", seconds * 1e9 / static_cast<double>(kHashKeysPerRun), "ns/key");
}

// ---- Produce request ---------------------------------------------------------

uint32_t varintBytes(int64_t value) {
    uint64_t zigzag = (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
    uint32_t bytes = 1;
    for (; zigzag >= 0x80; zigzag >>= 7)
        ++bytes;
    return bytes;
}

// One record of a produce request: its key and value as sent.
struct Record {
    const char *key;
    uint32_t keyLen;
    const char *value;
    uint32_t valueLen;

    int64_t bytes() const { // behind the record's length varint
        int64_t keyField = keyLen ? static_cast<int64_t>(keyLen) : -1;
        return 4 + keyLen + valueLen + varintBytes(keyField) + varintBytes(valueLen);
    }
};

// The request size kafka_produce allocates for the record.
uint32_t requestBytes(const Record &record) {
    uint64_t header = 14 + 2 * strlen(gpszClientID);
    return static_cast<uint32_t>(header + 22 + 2 * strlen(kTopic) + 65 +
                                 varintBytes(record.bytes()) + record.bytes());
}

// The record batch behind the topic section; the three holes are filled
// once its end is known, the CRC last (attributes to the end).
int32_t marshalBatch(PCB *pcb, uint8_t *buffer, uint32_t size, int32_t position,
                     const Record &record) {
    const int64_t now = 1700000000000;
    int32_t recordsSize = position;
    position = kafka_marshall_new(pcb, buffer, size, position, "i4i8", 0, int64_t{0});
    int32_t batchLength = position;
    position = kafka_marshall_new(pcb, buffer, size, position, "i4i4i1", 0, 0, 2);
    int32_t crcHole = position;
    position = kafka_marshall_new(pcb, buffer, size, position, "i4i2i4", 0, 0, 0);
    position = kafka_marshall_new(pcb, buffer, size, position, "i8i8i8i2i4i4", now, now,
                                  int64_t{-1}, -1, -1, 1);
    position = kafka_marshall_new(pcb, buffer, size, position, "vii1", record.bytes(), 0);
    position = kafka_marshall_new(pcb, buffer, size, position, "vivivsvsi1", int64_t{0},
                                  int64_t{0}, record.key, record.keyLen, 0, record.value,
                                  record.valueLen, 0, 0);
    if (position < 0)
        return position;
    uint32_t crc = crc32c(0, buffer + crcHole + 4, static_cast<uint64_t>(position - crcHole - 4));
    kafka_marshall_new(pcb, buffer, size, batchLength, "i4", position - batchLength - 4);
    kafka_marshall_new(pcb, buffer, size, recordsSize, "i4", position - recordsSize - 4);
    kafka_marshall_new(pcb, buffer, size, crcHole, "i4", static_cast<int32_t>(crc));
    return position;
}

// Header and topic section as kafka_produce writes them (acks 1, partition 0).
int32_t marshalProduce(PCB *pcb, uint8_t *buffer, uint32_t size, const Record &record) {
    int32_t position = kafka_marshall_ReqHdr(pcb, 0, buffer, size, 0, 7);
    if (position < 1)
        return -1;
    position = kafka_marshall_new(pcb, buffer, size, position, "i2i2i4i4nsi4i4", -1, 1, 1500, 1,
                                  kTopic, 1, 1, 0);
    return marshalBatch(pcb, buffer, size, position, record);
}

// Also what a produced message allocates around the build: the zeroed
// request buffer and the copy kept until the reply (as the send queue does).
int32_t marshalProduceAllocating(PCB *pcb, uint32_t size, const Record &record) {
    uint8_t *buffer = static_cast<uint8_t *>(calloc(size, 1));
    int32_t length = marshalProduce(pcb, buffer, size, record);
    uint8_t *pending = length > 0 ? static_cast<uint8_t *>(malloc(length)) : nullptr;
    if (pending)
        memcpy(pending, buffer, static_cast<size_t>(length));
    gSink = gSink + (pending ? pending[length - 1] : 0);
    free(pending);
    free(buffer);
    return length;
}

uint64_t produceIterations(uint32_t valueLen) { return valueLen < 1024 ? 200000 : 20000; }

void benchProduce(PCB *pcb, uint32_t valueLen, const char *sizeText, bool allocating) {
    std::vector<uint8_t> value = pseudoRandomBytes(valueLen, 3);
    Record record{"key-0000000000000000000000000000", kKeyBytes,
                  reinterpret_cast<const char *>(value.data()), valueLen};
    uint32_t size = requestBytes(record);
    std::vector<uint8_t> buffer(size);
    if (marshalProduce(pcb, buffer.data(), size, record) <= 0) {
        fprintf(stderr, "bqx_bench_codec: the produce request does not build\n");
        exit(1);
    }
    uint64_t iterations = produceIterations(valueLen);
    double seconds = medianSeconds([&] {
        for (uint64_t i = 0; i < iterations; ++i) {
            int32_t length = allocating ? marshalProduceAllocating(pcb, size, record)
                                        : marshalProduce(pcb, buffer.data(), size, record);
            gSink = gSink + static_cast<uint32_t>(length);
        }
    });
    printRow(allocating ? "Produce request, + calloc/free + pending copy"
                        : "Produce request into a reused buffer",
             sizeText, static_cast<double>(iterations) / seconds, "requests/s");
}

// ---- Metadata reply -----------------------------------------------------------

struct MetadataShape {
    int32_t brokers;
    int32_t partitions;
    int32_t replicas; // replicas and in-sync replicas of every partition
    const char *text;
};

int32_t writePartitions(PCB *pcb, uint8_t *reply, uint32_t size, int32_t position,
                        const MetadataShape &shape) {
    position = kafka_marshall_new(pcb, reply, size, position, "i4", shape.partitions);
    for (int32_t p = 0; p < shape.partitions; ++p) {
        position = kafka_marshall_new(pcb, reply, size, position, "i2i4i4i4", 0, p,
                                      1 + p % shape.brokers, shape.replicas);
        for (int32_t list = 0; list < 2; ++list) {
            for (int32_t r = 0; r < shape.replicas; ++r)
                position = kafka_marshall_new(pcb, reply, size, position, "i4",
                                              1 + (p + r) % shape.brokers);
            if (list == 0)
                position = kafka_marshall_new(pcb, reply, size, position, "i4", shape.replicas);
        }
    }
    return position;
}

// A Metadata version 4 reply for one topic, size field included.
std::vector<uint8_t> metadataReply(PCB *pcb, const MetadataShape &shape) {
    std::vector<uint8_t> reply(4096);
    uint32_t size = static_cast<uint32_t>(reply.size());
    uint8_t *out = reply.data();
    int32_t position = kafka_marshall_new(pcb, out, size, 0, "i4i4i4i4", 0, 1, 0, shape.brokers);
    for (int32_t b = 1; b <= shape.brokers; ++b)
        position = kafka_marshall_new(pcb, out, size, position, "i4nsi4ns", b, "127.0.0.1", 1,
                                      9092 + 100 * (b - 1), nullptr, 1);
    const char *clusterId = "Hq7uH0nSQLqRgxKtYmQ8yA";
    position = kafka_marshall_new(pcb, out, size, position, "nsi4i4i2nsi1", clusterId, 1, 1, 1, 0,
                                  kTopic, 1, 0);
    position = writePartitions(pcb, out, size, position, shape);
    if (position < 0) {
        fprintf(stderr, "bqx_bench_codec: the metadata reply does not build\n");
        exit(1);
    }
    kafka_marshall_new(pcb, out, size, 0, "i4", position - 4);
    reply.resize(static_cast<size_t>(position));
    return reply;
}

int32_t decodeBrokers(PCB *pcb, const uint8_t *reply, uint32_t length, int32_t position,
                      int32_t brokers) {
    for (int32_t b = 0; b < brokers; ++b) {
        int32_t node = 0, port = 0;
        char *host = nullptr, *rack = nullptr;
        position = kafka_unmarshall_new(pcb, reply, length, position, "i4nsi4ns", &node, &host,
                                        &port, &rack);
        free(host);
        free(rack);
    }
    return position;
}

int32_t decodePartition(PCB *pcb, const uint8_t *reply, uint32_t length, int32_t position) {
    int16_t error = 0;
    int32_t partition = 0, leader = 0, replicas = 0, inSync = 0, isr = 0;
    position = kafka_unmarshall_new(pcb, reply, length, position, "i2i4i4", &error, &partition,
                                    &leader);
    position = kafka_unmarshall_new(pcb, reply, length, position, "i4", &replicas);
    if (position < 0)
        return position;
    position = kafka_unmarshall_new(pcb, reply, length, position + 4 * replicas, "i4", &inSync);
    for (int32_t i = 0; i < inSync; ++i)
        position = kafka_unmarshall_new(pcb, reply, length, position, "i4", &isr);
    return position;
}

// Reads the reply the way kafka_meta_reply does. Returns the end position.
int32_t decodeMetadata(PCB *pcb, const std::vector<uint8_t> &bytes) {
    const uint8_t *reply = bytes.data();
    uint32_t length = static_cast<uint32_t>(bytes.size());
    int32_t size = 0, correlation = 0, throttle = 0, brokers = 0;
    int32_t position = kafka_unmarshall_new(pcb, reply, length, 0, "i4i4i4i4", &size,
                                            &correlation, &throttle, &brokers);
    position = decodeBrokers(pcb, reply, length, position, brokers);
    char *clusterId = nullptr, *topic = nullptr;
    int32_t controller = 0, topics = 0, partitions = 0;
    int16_t error = 0;
    uint8_t internal = 0;
    position = kafka_unmarshall_new(pcb, reply, length, position, "nsi4i4i2nsumi4", &clusterId,
                                    &controller, &topics, &error, &topic, &internal, 1u,
                                    &partitions);
    free(clusterId);
    free(topic);
    for (int32_t p = 0; p < partitions && position >= 0; ++p)
        position = decodePartition(pcb, reply, length, position);
    return position;
}

void benchMetadata(PCB *pcb, const MetadataShape &shape) {
    std::vector<uint8_t> reply = metadataReply(pcb, shape);
    if (decodeMetadata(pcb, reply) != static_cast<int32_t>(reply.size())) {
        fprintf(stderr, "bqx_bench_codec: the metadata reply does not decode\n");
        exit(1);
    }
    const uint64_t iterations = 100000;
    double seconds = medianSeconds([&] {
        for (uint64_t i = 0; i < iterations; ++i)
            gSink = gSink + static_cast<uint32_t>(decodeMetadata(pcb, reply));
    });
    char what[64];
    snprintf(what, sizeof what, "Metadata v4 reply decode, %s", shape.text);
    char sizeText[16];
    snprintf(sizeText, sizeof sizeText, "%zu B", reply.size());
    printRow(what, sizeText, static_cast<double>(iterations) / seconds, "replies/s");
}

// ---- session -------------------------------------------------------------------

// The benchmarks borrow an open session's conversion descriptors and give
// it a broker table of their own for the request header's correlation ids.
PCB *sessionRecord(int32_t handle, BrokerEntry *brokers, uint32_t count) {
    kafka_lock("Bench");
    PCB *pcb = get_BQXPCB(handle);
    if (pcb) {
        pcb->pBrokerList = brokers;
        pcb->u32BrokerCount = count;
    }
    kafka_unlock("Bench");
    return pcb;
}

void returnSessionRecord(PCB *pcb) {
    pcb->pBrokerList = nullptr; // the table is not the library's to free
    pcb->u32BrokerCount = 0;
}

void runAll(PCB *pcb) {
    printf("%-64s %-8s %14s\n", "measurement", "size", "median");
    benchCrcs();
    benchHash();
    for (bool allocating : {false, true}) {
        benchProduce(pcb, 100, "100 B", allocating);
        benchProduce(pcb, 10240, "10 KiB", allocating);
    }
    benchMetadata(pcb, {1, 3, 1, "1 broker, 3 partitions"});
    benchMetadata(pcb, {3, 12, 3, "3 brokers, 12 partitions x 3 replicas"});
}

} // namespace

int main() {
    int32_t handle = BQXOPEN();
    if (handle < 0)
        return 1;
    BrokerEntry brokers[2]{};
    brokers[0].i32Socket = brokers[1].i32Socket = -1;
    PCB *pcb = sessionRecord(handle, brokers, 2);
    if (!pcb)
        return 1;
    printf("bqx_bench_codec: median of %d runs; MB = 10^6 bytes; local code set %s\n", kRuns,
           nl_langinfo(CODESET));
    runAll(pcb);
    returnSessionRecord(pcb);
    BQXCLSE(handle);
    return 0;
}
