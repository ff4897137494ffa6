// Compressed record batches in Fetch replies, for each codec: the inflated
// records come out as the same records would uncompressed, a damaged body
// or one that inflates beyond the limit is reported and stepped over, and
// the batches behind it are still delivered.
#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>

#include "api/pcb.h"
#include "codec/inflate.h"
#include "consume/fetch_reply.h"
#include "protocol/consumer.h"
#include "support/fake_cluster.h"
#include "support/fetch_reply_builder.h"
#include "support/log_capture.h"

using namespace bqxtest;

namespace {

int gFetches;
int32_t countFetch(PCB *, const char *, uint32_t) { return ++gFetches, 0; }
int32_t noCommit(PCB *) { return 0; }

constexpr uint32_t kCorrel = 41;
constexpr uint32_t kLimit = 64u << 20; // the most a batch may inflate to

struct CodecCase {
    const char *name;
    Compression c;
};

const CodecCase kCodecs[] = {
    {"gzip", {1}},
    {"snappy", {2}},
    {"snappy framed, 40-byte blocks", {2, true, false, false, 40}},
    {"lz4", {3}},
    {"lz4 with content size and checksum", {3, false, true, true}},
    {"zstd", {4}},
    {"zstd with checksum", {4, false, true}},
};

// Codecs that the tests can compress with and the library can inflate.
bool usable(int16_t codec) { return canCompress(codec) && inflate_available(codec); }

TestBatch single(int64_t offset, const std::string &value) { return {offset, {{0, value}}}; }

// The key as handed out: a null key comes as an empty one.
struct Delivery {
    std::string key;
    std::string value;
    int64_t offsetAfter;
    bool operator==(const Delivery &o) const = default;
};

void PrintTo(const Delivery &d, std::ostream *os) {
    *os << "{\"" << d.key << "\", \""
        << (d.value.size() > 20 ? d.value.substr(0, 20) + "..." : d.value) << "\" ("
        << d.value.size() << " bytes), offset after " << d.offsetAfter << "}";
}

class FetchCompressed : public testing::Test {
  protected:
    void SetUp() override {
        gFetches = 0;
        gpfnFetchSend = countFetch;
        gpfnOffsetCommit = noCommit;
        s.brokers({1}, {true});
        s.partitions({{0, 1, 0}});
        s.topic("t");
    }
    void TearDown() override {
        gpfnFetchSend = kafka_fetch_send;
        gpfnOffsetCommit = kafka_offsetcommit;
    }
    PartitionEntry &part() { return s.pcb->pPartitionList[0]; }

    void arrive(const Bytes &records) {
        Bytes reply = fetchReply(kCorrel, {0, records});
        BrokerEntry &b = s.pcb->pBrokerList[0];
        b.u32FetchCorrelID = kCorrel;
        b.i32FetchPartitionIdx = 0;
        b.i64FetchOffset = part().i64Offset;
        ASSERT_EQ(kafka_fetch_reply(s.pcb, 0, reply.data(), static_cast<uint32_t>(reply.size()), kCorrel), 0);
    }
    // Values with the offset after each, until nothing more is delivered.
    std::vector<Delivery> drain(int64_t start, const Bytes &records, uint32_t capacity = 4096) {
        part().i64Offset = start;
        arrive(records);
        std::vector<Delivery> got;
        std::string out(capacity + 1, '#');
        for (uint32_t length = capacity; kafka_checkReplyBuffers(s.pcb, "t", out.data(), &length) == 0;
             length = capacity)
            got.push_back({"", out.substr(0, length), part().i64Offset});
        EXPECT_EQ(s.pcb->pBrokerList[0].pReplyBuffer, nullptr);
        return got;
    }
    // The same through the reader that hands out keys too.
    std::vector<Delivery> drainWithKeys(int64_t start, const Bytes &records) {
        std::vector<Delivery> got = drain(start, records);
        part().i64Offset = start;
        arrive(records);
        for (Delivery &d : got) {
            char *key = nullptr, *value = nullptr;
            uint32_t keyLen = 0, valueLen = 0;
            EXPECT_EQ(kafka_process_fetchreply(s.pcb, 0, 0, &key, &keyLen, &value, &valueLen), 0);
            if (!value) break;
            d.key.assign(key ? key : "", keyLen);
            EXPECT_EQ(std::string(value, valueLen), d.value);
            free(key);
            free(value);
        }
        kafka_fetch_drop_replies(&s.pcb->pBrokerList[0]);
        s.pcb->pBrokerList[0].pReplyBuffer = nullptr;
        return got;
    }

    TableSession s;
};

// Runs `body` for each codec case this build can compress with.
template <typename Body> void forEachCodec(Body body) {
    int ran = 0;
    for (const CodecCase &codec : kCodecs) {
        if (!usable(codec.c.codec)) continue;
        SCOPED_TRACE(codec.name);
        body(codec);
        ++ran;
    }
    if (ran == 0) GTEST_SKIP() << "no codec both here and in the library";
}

std::string errorText(int16_t codec, const char *reason) {
    return std::string("Kafka Protocol Error: compressed batch (") + codecName(codec) + ") " + reason;
}

TEST_F(FetchCompressed, InflatedRecordsAreThoseOfThePlainBatch) {
    TestBatch first{100, {{0, "a", "k1", {{"h1", "v"}, {"h2", std::nullopt}}},
                          {1, std::nullopt},
                          {2, "", std::nullopt, {{"x", "yy"}}},
                          {4, std::string(300, 'z'), "k4"}}};
    TestBatch second{105, {{0, "f", "k5"}, {1, "g"}}};
    std::vector<Delivery> expected = {{"", "before", 100}, {"k1", "a", 101}, {"", "", 102},
                                      {"", "", 103}, {"k4", std::string(300, 'z'), 105},
                                      {"k5", "f", 106}, {"", "g", 107}, {"", "after", 108}};
    Bytes plain = concat({single(99, "before"), first, second, single(107, "after")});
    ASSERT_EQ(drainWithKeys(99, plain), expected);
    forEachCodec([&](const CodecCase &codec) {
        Bytes records = concat({single(99, "before"), compressedBatch(first, codec.c),
                                compressedBatch(second, codec.c), single(107, "after")});
        std::vector<Delivery> got;
        auto log = captureLog([&] { got = drainWithKeys(99, records); });
        EXPECT_EQ(got, expected);
        EXPECT_TRUE(log.empty()) << log[0].text;
    });
}

TEST_F(FetchCompressed, RecordsBelowTheOffsetAreSkippedInsideTheBatch) {
    TestBatch batch{40, {{0, "v40"}, {1, "v41"}, {2, "v42"}, {3, "v43"}, {4, "v44"}}};
    struct Case {
        int64_t start;
        std::vector<std::string> values;
        size_t skipLines;
    } cases[] = {{42, {"v42", "v43", "v44", "after"}, 2}, {45, {"after"}, 0}, {-1, {"v40", "v41", "v42", "v43", "v44", "after"}, 0}};
    forEachCodec([&](const CodecCase &codec) {
        Bytes records = concat({compressedBatch(batch, codec.c), single(45, "after")});
        for (const Case &c : cases) {
            SCOPED_TRACE(c.start);
            s.pcb->iDebugLevel = 2;
            std::vector<Delivery> got;
            auto log = captureLog([&] { got = drain(c.start, records); });
            s.pcb->iDebugLevel = 0;
            std::vector<std::string> values;
            for (const Delivery &d : got) values.push_back(d.value);
            EXPECT_EQ(values, c.values);
            size_t skips = 0, errors = 0;
            for (const LogLine &l : log) {
                skips += l.number == "0035";
                errors += l.severity == "E";
            }
            EXPECT_EQ(skips, c.skipLines);
            EXPECT_EQ(errors, 0u);
            EXPECT_EQ(part().i64Offset, 46);
        }
    });
}

TEST_F(FetchCompressed, InflatedValuesAreTruncatedAndConverted) {
    s.pcb->u32Convert = 1;
    iconv_close(s.pcb->cdDecode);
    s.pcb->cdDecode = iconv_open("ISO-8859-15", "UTF-8");
    TestBatch batch{7, {{0, std::string(2000, 'v')}, {1, "1\xE2\x82\xAC\xC3\xA4", "\xFF\xFE"}}};
    forEachCodec([&](const CodecCase &codec) {
        std::vector<Delivery> got;
        auto log = captureLog([&] { got = drain(7, concat({compressedBatch(batch, codec.c)}), 1024); });
        EXPECT_EQ(got, (std::vector<Delivery>{{"", std::string(1024, 'v'), 8},
                                              {"", "1\xA4\xE4", 9}}));
        ASSERT_EQ(numbersOf(log), std::vector<std::string>{"5000"});
        EXPECT_EQ(log[0].text, "Received Message truncated from 2000 to 1024 bytes");
    });
}

// Damage that the codec itself must find: the batch's CRC-32C is computed
// over the damaged body, so only inflating can tell.
TEST_F(FetchCompressed, DamagedBodyIsReportedAndTheNextBatchDelivered) {
    std::vector<TestRecord> records;
    for (int i = 0; i < 6; ++i)
        records.push_back({i, "value " + std::to_string(i) + std::string(40, static_cast<char>('a' + i))});
    auto flip = [](size_t at) { return [at](Bytes &b) { b[at] ^= 0x5A; }; };
    auto middle = [](Bytes &b) { b[b.size() / 2] ^= 0x5A; };
    auto cut = [](Bytes &b) { b.resize(b.size() - 3); };
    struct Case {
        const char *name;
        Compression c;
        std::function<void(Bytes &)> damage;
    } cases[] = {
        {"gzip, a flipped byte", {1}, middle},
        {"gzip, cut short", {1}, cut},
        {"snappy, wrong length in front", {2}, flip(0)},
        {"snappy, cut short", {2}, cut},
        {"snappy framed, block length beyond the body", {2, true, false, false, 64}, flip(16)},
        {"snappy framed, cut short", {2, true, false, false, 64}, cut},
        {"lz4, no frame magic", {3}, flip(0)},
        {"lz4 with checksum, a flipped byte", {3, false, true}, middle},
        {"lz4, cut short", {3}, cut},
        {"zstd, no frame magic", {4}, flip(0)},
        {"zstd with checksum, a flipped byte", {4, false, true}, middle},
        {"zstd, cut short", {4}, cut},
    };
    for (const Case &c : cases) {
        if (!usable(c.c.codec)) continue;
        SCOPED_TRACE(c.name);
        TestBatch batch = compressedBatch({20, records}, c.c);
        c.damage(batch.rawRecords);
        std::vector<Delivery> got;
        auto log = captureLog([&] { got = drain(20, concat({batch, single(26, "after")})); });
        EXPECT_EQ(got, (std::vector<Delivery>{{"", "after", 27}}));
        ASSERT_EQ(numbersOf(log), std::vector<std::string>{"7536"});
        EXPECT_EQ(log[0].text, errorText(c.c.codec, "is corrupt"));
        EXPECT_EQ(s.pcb->i32LastError, 7536);
    }
}

// One record of `size` bytes, most of it a value of zeros, encoded.
Bytes recordOfSize(uint32_t size) {
    Bytes record = encodeRecord({0, std::string(size - 13, '\0')});
    EXPECT_EQ(record.size(), size);
    return record;
}

// Inflating stops at the limit: a batch of exactly the limit is delivered,
// one byte more is refused without delivering any of it.
TEST_F(FetchCompressed, BatchInflatingBeyondTheLimitIsRefused) {
    Bytes atLimit = recordOfSize(kLimit), beyond = recordOfSize(kLimit + 1);
    for (int16_t codec = 1; codec <= 4; ++codec) {
        if (!usable(codec)) continue;
        SCOPED_TRACE(codecName(codec));
        TestBatch fits{3, {}, codec, -1, 0, compressBytes({codec}, atLimit), 1};
        TestBatch bomb{4, {}, codec, -1, 0, compressBytes({codec}, beyond), 1};
        std::vector<Delivery> got;
        auto log = captureLog([&] { got = drain(3, concat({fits, bomb, single(5, "after")}), 16); });
        EXPECT_EQ(got, (std::vector<Delivery>{{"", std::string(16, '\0'), 4}, {"", "after", 6}}));
        ASSERT_EQ(numbersOf(log), (std::vector<std::string>{"5000", "7536"}));
        EXPECT_EQ(log[1].text, errorText(codec, "inflates beyond 64 MiB"));
    }
}

// A zstd frame made of run-length blocks of zeros, whose header states
// `claimed` bytes of content; `blocks` full blocks of 128 KiB follow, the
// last one shorter when `tail` is not 0.
Bytes zstdRunFrame(uint64_t claimed, uint32_t blocks, uint32_t tail) {
    Out out;
    out.bytes({0x28, 0xB5, 0x2F, 0xFD, 0xC0, 0x38}); // magic, 8-byte size, 128 KiB window
    for (int i = 0; i < 8; ++i) out.be((claimed >> (8 * i)) & 0xFF, 1);
    auto block = [&](uint32_t size, bool last) {
        uint32_t header = (size << 3) | (1u << 1) | (last ? 1u : 0u);
        out.be(header & 0xFF, 1).be((header >> 8) & 0xFF, 1).be(header >> 16, 1).be(0, 1);
    };
    for (uint32_t n = 0; n < blocks; ++n) block(128 * 1024, n + 1 == blocks && tail == 0);
    if (tail) block(tail, true);
    return out.b;
}

// The stated size is not trusted for an allocation: a true one beyond the
// limit (which also wraps in 32 bits) ends at the limit, a false one when
// the content ends short of it.
TEST_F(FetchCompressed, ZstdFrameStatingAHugeSizeIsRefused) {
    if (!inflate_available(4)) GTEST_SKIP() << "the library was built without zstd";
    struct Case {
        const char *name;
        Bytes frame;
        const char *reason;
    } cases[] = {
        {"4 GiB and 16 bytes of zeros, stated truly", zstdRunFrame((1ull << 32) + 16, 32768, 16),
         "inflates beyond 64 MiB"},
        {"1 TiB stated, 256 KiB inside", zstdRunFrame(1ull << 40, 2, 0), "is corrupt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestBatch bomb{8, {}, 4, -1, 0, c.frame, 1};
        std::vector<Delivery> got;
        auto log = captureLog([&] { got = drain(8, concat({bomb, single(9, "after")})); });
        EXPECT_EQ(got, (std::vector<Delivery>{{"", "after", 10}}));
        ASSERT_EQ(numbersOf(log), std::vector<std::string>{"7536"});
        EXPECT_EQ(log[0].text, errorText(4, c.reason));
    }
}

// What one reply inflates to is bounded too (128 MiB): a reply of batches
// inflating to 64 MiB or beyond each costs two of them, then the reply
// fails and the partition stays before the third batch, which comes first
// in the next reply: a bomb is then refused alone, a sound batch delivered.
TEST_F(FetchCompressed, InflatingOneReplyIsBoundedAndTheRestFetchedAgain) {
    if (!usable(4))
        GTEST_SKIP() << "zstd is missing here or in the library";
    TestBatch bomb{0, {}, 4, -1, 0, zstdRunFrame(kLimit + (1u << 20), 520, 0), 1};
    TestBatch fits{0, {}, 4, -1, 0, compressBytes({4}, recordOfSize(kLimit)), 1};
    const std::string budgetText =
        "Kafka Protocol Error: compressed batches of one reply inflate beyond 128 MiB";
    struct Case {
        const char *name;
        TestBatch batch;
        std::vector<std::string> firstLog;
        size_t firstDelivered;
        std::vector<Delivery> second;
    } cases[] = {
        {"bombs", bomb, {"7536", "7536", "7536"}, 0, {{"", "after", 7}}},
        {"sound batches",
         fits,
         {"5000", "5000", "7536"},
         2,
         {{"", std::string(16, '\0'), 6}, {"", "after", 7}}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TestBatch> batches;
        for (int64_t offset = 3; offset <= 5; ++offset) {
            batches.push_back(c.batch);
            batches.back().baseOffset = offset;
        }
        batches.push_back(single(6, "after"));
        gFetches = 0;
        std::vector<Delivery> got;
        auto log = captureLog([&] { got = drain(3, concat(batches), 16); });
        EXPECT_EQ(got.size(), c.firstDelivered);
        EXPECT_EQ(numbersOf(log), c.firstLog);
        EXPECT_EQ(log.back().text, budgetText);
        EXPECT_EQ(part().i64Offset, 5);
        EXPECT_EQ(gFetches, 1);
        captureLog([&] { got = drain(5, concat({batches[2], batches[3]}), 16); });
        EXPECT_EQ(got, c.second);
    }
}

TEST_F(FetchCompressed, UnknownCodecIsRefused) {
    for (int16_t codec = 5; codec <= 7; ++codec) {
        SCOPED_TRACE(codec);
        TestBatch batch{50, {}, codec, -1, 1, Bytes(30, 0x11), 2};
        std::vector<Delivery> got;
        auto log = captureLog([&] { got = drain(50, concat({batch, single(52, "after")})); });
        EXPECT_EQ(got, (std::vector<Delivery>{{"", "after", 53}}));
        ASSERT_EQ(numbersOf(log), std::vector<std::string>{"7536"});
        EXPECT_EQ(log[0].text, "Kafka Protocol Error: compressed batch (unknown) names an unknown codec");
    }
}

} // namespace

namespace {

// BQXINFO after each kind of batch: the key, partition, offset, timestamp
// and null flags of the message the last read handed out.
TEST_F(FetchCompressed, InfoDescribesTheMessageHandedOut) {
    struct Info {
        std::string key;
        int64_t offset;
        uint32_t flags;
        bool operator==(const Info &o) const = default;
    };
    TestBatch plain{200, {{0, "v0", "key-0"}, {1, std::nullopt, "k1"}, {2, "v2"}}};
    TestBatch headers{300, {{0, "v", "hk", {{"h", "x"}, {"n", std::nullopt}}}}};
    TestBatch appendTime = plain;
    appendTime.attributes = 0x08; // timestamps set by the broker
    const std::vector<Info> plainInfo = {
        {"key-0", 200, 0}, {"k1", 201, BQX_INFO_VALUE_NULL}, {"", 202, BQX_INFO_KEY_NULL}};
    struct Case {
        std::string name;
        TestBatch batch;
        std::vector<Info> expected;
    } cases[] = {
        {"plain", plain, plainInfo},
        {"headers", headers, {{"hk", 300, 0}}},
        {"log-append time", appendTime, plainInfo},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    if (usable(1))
        all.push_back({"gzip", compressedBatch(plain, {1}), plainInfo});
    for (const Case &c : all) {
        SCOPED_TRACE(c.name);
        part().i64Offset = c.batch.baseOffset;
        arrive(concat({c.batch}));
        std::vector<Info> got;
        std::string out(8, '#');
        for (uint32_t length = 2; kafka_checkReplyBuffers(s.pcb, "t", out.data(), &length) == 0;
             length = 2) {
            char key[16];
            uint32_t keyLength = sizeof key, flags = 99;
            int32_t partition = -1;
            int64_t offset = -1, timestamp = -1;
            ASSERT_EQ(BQXINFO(s.handle, key, &keyLength, &partition, &offset, &timestamp, &flags),
                      0);
            EXPECT_EQ(partition, 0);
            EXPECT_EQ(timestamp, 1700000000000);
            got.push_back({std::string(key, keyLength), offset, flags});
        }
        EXPECT_EQ(got, c.expected);
    }
    // A key longer than the buffer is cut as values are: warning 5000.
    char key[3];
    uint32_t keyLength = sizeof key, flags = 0;
    int32_t partition = -1;
    int64_t offset = -1, timestamp = -1;
    part().i64Offset = 200;
    arrive(concat({plain}));
    std::string out(8, '#');
    uint32_t length = 1; // the value "v0" is cut too
    std::vector<LogLine> lines = captureLog([&] {
        ASSERT_EQ(kafka_checkReplyBuffers(s.pcb, "t", out.data(), &length), 0);
        ASSERT_EQ(BQXINFO(s.handle, key, &keyLength, &partition, &offset, &timestamp, &flags), 0);
    });
    EXPECT_EQ(std::string(key, keyLength), "key");
    EXPECT_EQ(offset, 200);
    EXPECT_TRUE(logged(lines, "5000", "from 5 to 3 bytes"));
    EXPECT_EQ(s.pcb->i32LastError, 5000);
    kafka_fetch_drop_replies(&s.pcb->pBrokerList[0]);
    s.pcb->pBrokerList[0].pReplyBuffer = nullptr;
}

TEST(Info, WithoutAConsumedMessageIs7522) {
    TableSession s;
    char key[4];
    uint32_t keyLength = sizeof key, flags = 0;
    int32_t partition = 0;
    int64_t offset = 0, timestamp = 0;
    std::vector<LogLine> lines = captureLog([&] {
        EXPECT_EQ(BQXINFO(s.handle, key, &keyLength, &partition, &offset, &timestamp, &flags),
                  7522);
        EXPECT_EQ(BQXINFO(s.handle, key, nullptr, &partition, &offset, &timestamp, &flags), 7536);
        EXPECT_EQ(
            BQXINFO(BQX_MAX_SESSIONS, key, &keyLength, &partition, &offset, &timestamp, &flags),
            7502);
    });
    EXPECT_EQ(numbersOf(lines), (std::vector<std::string>{"7522", "7536", "7502"}));
    EXPECT_EQ(keyLength, 0u);
}

} // namespace
