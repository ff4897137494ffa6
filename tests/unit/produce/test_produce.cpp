// Produce requests as they reach the broker's socket: the record batch
// bytes, the partition that a key or the round-robin cursor chooses, the
// leader search, and the synchronous wait for the broker's answer.
#include <gtest/gtest.h>
#include <iconv.h>

#include "codec/codec.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"

using namespace bqxtest;

namespace {

constexpr int64_t kReferenceTime = 1627658828223;

// The fields of one Produce request, read back from its bytes.
struct ProduceView {
    int16_t transactionalId = 0, acks = 0;
    int32_t timeout = 0, partition = -1, recordsSize = 0, batchLength = 0;
    uint32_t crc = 0;
    std::string topic;
    size_t crcStart = 0;
    int64_t recordLength = 0, keyLength = 0, valueLength = 0;
    std::string key, value;
    size_t end = 0;
};

ProduceView parseProduce(const ByteVec &request) {
    ProduceView v;
    RequestReader r{request};
    v.transactionalId = static_cast<int16_t>(r.be(2));
    v.acks = static_cast<int16_t>(r.be(2));
    v.timeout = static_cast<int32_t>(r.be(4));
    EXPECT_EQ(r.be(4), 1); // topics
    v.topic = r.bytes(static_cast<int64_t>(r.be(2)));
    EXPECT_EQ(r.be(4), 1); // partitions
    v.partition = static_cast<int32_t>(r.be(4));
    v.recordsSize = static_cast<int32_t>(r.be(4));
    EXPECT_EQ(r.be(8), 0); // baseOffset
    v.batchLength = static_cast<int32_t>(r.be(4));
    EXPECT_EQ(r.be(4), 0); // partitionLeaderEpoch
    EXPECT_EQ(r.be(1), 2); // magic
    v.crc = static_cast<uint32_t>(r.be(4));
    v.crcStart = r.pos;
    r.pos += 2 + 4 + 8 + 8 + 8 + 2 + 4;
    EXPECT_EQ(r.be(4), 1); // records
    v.recordLength = r.varint();
    size_t recordStart = r.pos;
    EXPECT_EQ(r.be(1), 0);    // attributes
    EXPECT_EQ(r.varint(), 0); // timestampDelta
    EXPECT_EQ(r.varint(), 0); // offsetDelta
    v.keyLength = r.varint();
    if (v.keyLength > 0) v.key = r.bytes(v.keyLength);
    v.valueLength = r.varint();
    if (v.valueLength > 0) v.value = r.bytes(v.valueLength);
    EXPECT_EQ(r.varint(), 0); // headers
    EXPECT_EQ(static_cast<int64_t>(r.pos - recordStart), v.recordLength);
    v.end = r.pos;
    return v;
}

int64_t referenceClock() { return kReferenceTime; }

class Produce : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        savedClock = gpfnProduceClock;
        gpfnProduceClock = referenceClock;
        s.topic("orders");
    }
    void TearDown() override { gpfnProduceClock = savedClock; }

    // Three brokers (ids 1, 2, 3), all connected, one partition each.
    void threePartitions() {
        s.brokers({1, 2, 3}, {true, true, true});
        s.partitions({{0, 1, 0}, {1, 2, 1}, {2, 3, 2}});
    }
    int32_t produce(const std::string &key, const std::string &message, uint32_t convert = 0) {
        int32_t rc = 0;
        lastLog = captureLog([&] {
            rc = BQXPROD(s.handle, key.data(), static_cast<uint32_t>(key.size()),
                         message.data(), static_cast<uint32_t>(message.size()), convert);
        });
        return rc;
    }
    // The one request that broker `index` got, checked to be well-formed.
    ProduceView only(uint32_t index) {
        ByteVec request = s.takeRequest(index);
        EXPECT_FALSE(request.empty()) << "no request at broker " << index;
        if (request.empty()) return {};
        ProduceView view = parseProduce(request);
        EXPECT_EQ(view.end, request.size());
        EXPECT_TRUE(s.takeRequest(index).empty());
        return view;
    }

    TableSession s;
    int64_t (*savedClock)() = nullptr;
    std::vector<LogLine> lastLog;
};

TEST_F(Produce, ReferenceMessageGivesReferenceBatch) {
    s.brokers({1}, {true});
    s.partitions({{0, 1, 0}});
    ASSERT_EQ(produce("", "1234567890"), 0);
    ByteVec request = s.takeRequest(0);
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(readBe32(request.data()), request.size() - 4);
    EXPECT_EQ(request[4 + 1], 0); // API key 0
    EXPECT_EQ(request[6 + 1], 7); // version 7
    ProduceView v = parseProduce(request);
    EXPECT_EQ(v.transactionalId, -1);
    EXPECT_EQ(v.acks, -1);
    EXPECT_EQ(v.timeout, 1500);
    EXPECT_EQ(v.topic, "orders");
    EXPECT_EQ(v.recordsSize, 78);
    EXPECT_EQ(v.batchLength, 66);
    EXPECT_EQ(v.crc, 0x20D59189u);
    ASSERT_EQ(request.size() - v.crcStart, sizeof cCRCReferenzMsg);
    EXPECT_EQ(0, memcmp(request.data() + v.crcStart, cCRCReferenzMsg, sizeof cCRCReferenzMsg));
    EXPECT_EQ(v.keyLength, -1);
    EXPECT_EQ(s.pcb->ullMsgsProduced, 0u) << "sent, not yet acknowledged";
}

TEST_F(Produce, CrcAndLengthsCoverKeyedBatch) {
    s.brokers({1}, {true});
    s.partitions({{0, 1, 0}});
    ASSERT_EQ(produce("customer-17", std::string(300, 'x')), 0);
    ByteVec request = s.takeRequest(0);
    ProduceView v = parseProduce(request);
    EXPECT_EQ(v.key, "customer-17");
    EXPECT_EQ(v.value, std::string(300, 'x'));
    EXPECT_EQ(static_cast<size_t>(v.recordsSize), request.size() - (v.crcStart - 21));
    EXPECT_EQ(v.batchLength, v.recordsSize - 12);
    EXPECT_EQ(v.crc, crc32c(0, request.data() + v.crcStart, request.size() - v.crcStart));
}

TEST_F(Produce, KeyChoosesPartitionByItsHash) {
    // The list order differs from the partition ids: the id decides.
    s.brokers({1, 2, 3}, {true, true, true});
    s.partitions({{2, 3, 2}, {0, 1, 0}, {1, 2, 1}});
    ASSERT_EQ(djb_hash("key1", 4), 2090432895u);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(produce("key1", "m"), 0);
        ProduceView v = only(0);
        EXPECT_EQ(v.partition, 0);
        EXPECT_EQ(v.key, "key1");
    }
    EXPECT_EQ(s.pcb->u32PartitionListIdx, 2u); // one past the entry used
}

TEST_F(Produce, KeyWithFourPartitions) {
    s.brokers({1, 2}, {true, true});
    s.partitions({{0, 1, 0}, {1, 2, 1}, {2, 1, 0}, {3, 2, 1}});
    ASSERT_EQ(produce("key1", "m"), 0);
    EXPECT_EQ(only(1).partition, 3);
    EXPECT_TRUE(s.takeRequest(0).empty());
}

TEST_F(Produce, KeyHashWithTopBitSetStaysUnsigned) {
    // Half of all keys hash to 2^31 or more; a signed modulo would pick a
    // negative partition for them.
    ASSERT_EQ(djb_hash("user-1001", 9), 3162431699u);
    s.brokers({1, 2}, {true, true});
    s.partitions({{0, 1, 0}, {1, 2, 1}, {2, 1, 0}});
    ASSERT_EQ(produce("user-1001", "m"), 0);
    EXPECT_EQ(only(0).partition, 2); // 3162431699 % 3
}

TEST_F(Produce, LongKeyIsCutTo31BytesForHashAndRecord) {
    const std::string key = "abcdefghijklmnopqrstuvwxyz0123456789ABCD"; // 40 bytes
    const uint32_t partitions = 8;
    uint32_t cut = djb_hash(key.data(), 31) % partitions;
    ASSERT_NE(cut, djb_hash(key.data(), 40) % partitions) << "key does not tell the two apart";
    s.brokers({1}, {true});
    std::vector<std::array<int32_t, 3>> rows;
    for (int32_t p = 0; p < static_cast<int32_t>(partitions); ++p) rows.push_back({p, 1, 0});
    s.partitions(rows);
    ASSERT_EQ(produce(key, "v"), 0);
    ProduceView v = only(0);
    EXPECT_EQ(v.key, key.substr(0, 31));
    EXPECT_EQ(v.partition, static_cast<int32_t>(cut));
    EXPECT_STREQ(s.pcb->szMsgKey, key.substr(0, 31).c_str());
    // The cut is warned of once per session, not for every key.
    EXPECT_TRUE(logged(lastLog, "5009", "A key of 40 bytes was cut to 31"));
    ASSERT_EQ(produce(key + "E", "v"), 0);
    only(0);
    EXPECT_FALSE(logged(lastLog, "5009"));
}

TEST_F(Produce, Murmur2PartitionerMatchesTheJavaClient) {
    // Hashes from the Java client's own tests of Utils.murmur2; its default
    // partitioner takes (hash & 0x7fffffff) % partitions and sends the key whole.
    struct Case {
        std::string key;
        int32_t javaHash;
        int32_t partition; // of 16
    } cases[] = {
        {"21", -973932308, 12},
        {"foobar", -790332482, 14},
        {"a-little-bit-long-string", -985981536, 0},
        {"a-little-bit-longer-string", -1486304829, 3},
        {"lkjh234lh9fiuh90y23oiuhsafujhadof229phr9h19h89h8", -58897971, 13},
        {"abc", 479470107, 11},
    };
    s.brokers({1}, {true});
    std::vector<std::array<int32_t, 3>> rows;
    for (int32_t p = 0; p < 16; ++p)
        rows.push_back({p, 1, 0});
    s.partitions(rows);
    ASSERT_EQ(BQXCONF(s.handle, "partitioner", 11, "murmur2", 7), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(murmur2_hash(c.key.data(), c.key.size()), static_cast<uint32_t>(c.javaHash));
        ASSERT_EQ(produce(c.key, "v"), 0);
        ProduceView v = only(0);
        EXPECT_EQ(v.partition, c.partition);
        EXPECT_EQ(v.key, c.key); // whole, 48 bytes included
        EXPECT_FALSE(logged(lastLog, "5009"));
    }
}

TEST_F(Produce, UnkeyedMessagesGoRoundThePartitions) {
    threePartitions();
    for (uint32_t call = 0; call < 4; ++call) {
        ASSERT_EQ(produce("", "m" + std::to_string(call)), 0);
        uint32_t expected = call % 3;
        ProduceView v = only(expected);
        EXPECT_EQ(v.partition, static_cast<int32_t>(expected));
        EXPECT_EQ(v.value, "m" + std::to_string(call));
    }
}

TEST_F(Produce, EmptyMessageIsNullValueAndNoKeyIsNullKey) {
    s.brokers({1}, {true});
    s.partitions({{0, 1, 0}});
    ASSERT_EQ(produce("", ""), 0);
    ProduceView v = only(0);
    EXPECT_EQ(v.keyLength, -1);
    EXPECT_EQ(v.valueLength, -1);
    EXPECT_EQ(v.recordLength, 6);
}

TEST_F(Produce, UnconvertibleMessageFailsWith7544) {
    // 0xFF is invalid in ASCII and in UTF-8, the code sets the tests run in.
    s.brokers({1}, {true});
    s.partitions({{0, 1, 0}});
    EXPECT_EQ(produce("", "bad \xFF byte", 1), 7544);
    EXPECT_TRUE(s.takeRequest(0).empty());
    EXPECT_EQ(s.pcb->ullMsgsProduced, 0u);
    // Without conversion the same bytes go out as they are.
    ASSERT_EQ(produce("", "bad \xFF byte", 0), 0);
    EXPECT_EQ(only(0).value, "bad \xFF byte");
}

// A Latin-9 euro sign takes three UTF-8 bytes: a value of euro signs grows
// beyond twice its length, which is no error and must not be logged as one.
TEST_F(Produce, ValueGrowingBeyondTwiceItsLengthConvertsWithoutErrors) {
    s.brokers({1}, {true});
    s.partitions({{0, 1, 0}});
    iconv_close(s.pcb->cdEncode);
    s.pcb->cdEncode = iconv_open("UTF-8", "ISO-8859-15");
    ASSERT_NE(s.pcb->cdEncode, reinterpret_cast<iconv_t>(-1));
    ASSERT_EQ(produce("", "\xA4\xA4\xA4\xA4!", 1), 0);
    for (const LogLine &line : lastLog) EXPECT_NE(line.severity, "E") << line.text;
    EXPECT_EQ(s.pcb->i32LastError, 0);
    EXPECT_EQ(only(0).value, "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC!");
}

TEST_F(Produce, NoLeaderAnywhereTriesEachEntryOnce) {
    s.brokers({1, 2, 3}, {true, true, true});
    s.partitions({{0, -1, -1}, {1, -1, -1}, {2, -1, -1}});
    s.pcb->u32PartitionListIdx = 1;
    EXPECT_EQ(produce("", "m"), 7513);
    std::vector<std::string> expected = {"7509", "7509", "7509", "7513"};
    EXPECT_EQ(numbersOf(lastLog), expected);
    EXPECT_EQ(lastLog[0].partition, "01");
    EXPECT_EQ(lastLog[1].partition, "02");
    EXPECT_EQ(lastLog[2].partition, "00");
    EXPECT_EQ(lastLog[3].text, "Could not connect to any Broker for Topic orders");
    EXPECT_EQ(s.pcb->i32LastError, 7513);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(s.takeRequest(i).empty());
}

TEST_F(Produce, KeyedMessageWithoutLeaderTriesNoOtherPartition) {
    s.brokers({1, 2, 3}, {true, true, true});
    s.partitions({{0, -1, -1}, {1, 2, 1}, {2, 3, 2}}); // key1 -> partition 0
    EXPECT_EQ(produce("key1", "m"), 7513);
    std::vector<std::string> expected = {"7509", "7513"};
    EXPECT_EQ(numbersOf(lastLog), expected);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(s.takeRequest(i).empty());
}

TEST_F(Produce, UnkeyedMessageSkipsLeaderlessPartition) {
    threePartitions();
    s.pcb->pPartitionList[0].i32Leader = -1;
    s.pcb->pPartitionList[0].i32BrokerIdx = -1;
    ASSERT_EQ(produce("", "m"), 0);
    std::vector<std::string> expected = {"7509"};
    EXPECT_EQ(numbersOf(lastLog), expected);
    EXPECT_EQ(only(1).partition, 1);
}

TEST_F(Produce, LeaderIndexOutsideTableIsRefused) {
    s.brokers({1}, {true});
    s.partitions({{0, 1, 3}, {1, 1, 1000}}); // table has 3 entries
    EXPECT_EQ(produce("", "m"), 7513);
    std::vector<std::string> expected = {"7511", "7511", "7513"};
    EXPECT_EQ(numbersOf(lastLog), expected);
}

TEST_F(Produce, MissingTablesAre7507And7508) {
    EXPECT_EQ(produce("", "m"), 7507);
    s.brokers({1}, {true});
    EXPECT_EQ(produce("", "m"), 7508);
}

TEST_F(Produce, InvalidArgumentsAreRefused) {
    threePartitions();
    int32_t rc = 0;
    lastLog = captureLog([&] { rc = BQXPROD(s.handle, nullptr, 4, "m", 1, 0); });
    EXPECT_EQ(rc, 7536);
    ASSERT_EQ(lastLog.size(), 1u);
    EXPECT_EQ(lastLog[0].text, "Kafka Protocol Error: invalid argument: null key with length 4");
    lastLog = captureLog([&] { rc = BQXPROD(s.handle, "k", 1, nullptr, 10, 0); });
    EXPECT_EQ(rc, 7536);
    lastLog = captureLog([&] { rc = BQXPROD(99, "k", 1, "m", 1, 0); });
    EXPECT_EQ(rc, 7502);
    // Null pointers with zero lengths are an empty key and an empty message.
    lastLog = captureLog([&] { rc = BQXPROD(s.handle, nullptr, 0, nullptr, 0, 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(only(0).valueLength, -1);
}

TEST_F(Produce, SynchModeReturnsTheBrokersAnswer) {
    s.brokers({1}, {true});
    s.partitions({{4, 1, 0}});
    s.pcb->u32Synchronous = 1;
    s.preReply(0, produceReply(1, "orders", 4, 0));
    EXPECT_EQ(produce("", "first"), 0);
    EXPECT_EQ(s.pcb->pBrokerList[0].u32PendingCount, 0u);
    s.preReply(0, produceReply(2, "orders", 4, 87)); // INVALID_RECORD
    EXPECT_EQ(produce("", "second"), 7510);
    EXPECT_EQ(s.pcb->ullMsgsProduced, 1u);
    EXPECT_EQ(parseProduce(s.takeRequest(0)).value, "first");
    EXPECT_EQ(parseProduce(s.takeRequest(0)).value, "second");
}

} // namespace
