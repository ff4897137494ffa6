// Batched produce (synch mode 4) against fake brokers: the records that a
// held-back reply lets collect travel in one request per broker, one batch
// per partition, and read back with the consumer's own record decoder to
// exactly what was sent, in call order. Partition errors and lost
// connections fail every record of the batches concerned at the next synch
// point; the batch limits, batches refused as too large (sent again
// smaller) and the switch back to mode 0 keep that order. Compressed
// batches (compression.type) inflate to the same records, are split when
// refused, and a codec that fails sends nothing.
#include <gtest/gtest.h>
#include <iconv.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec.h"
#include "codec/deflate.h"
#include "codec/inflate.h"
#include "consume/record_batch.h"
#include "support/fake_cluster.h"

using namespace bqxtest;

namespace {

constexpr const char *kTopic = "batched";
constexpr size_t kMiB = 1 << 20;
constexpr int32_t kMaxRecords = 10000;

using Text = std::optional<std::string>; // nullopt: a null key or value

// One record as the library was asked to send it and as it reached the wire.
struct Sent {
    int32_t partition;
    Text key, value;
};

struct Decoded {
    size_t request; // index among the broker's Produce requests
    int32_t partition;
    RecordBatchHead head;
    std::vector<Sent> records;
};

// `size` bytes that hardly compress, the same for the same `seed`.
std::string noise(size_t size, uint64_t seed) {
    std::string bytes(size, '\0');
    uint64_t state = 0x9E3779B97F4A7C15ull * (seed + 1);
    for (char &byte : bytes) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        byte = static_cast<char>(state);
    }
    return bytes;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Text textOf(const uint8_t *bytes, int32_t length) {
    if (length < 0) return std::nullopt;
    return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(length));
}

// Decodes every record set of `requests` with the consumer's decoder (and
// inflater, for batches of `codec`) and checks what a well-formed batch of
// format 2 holds: one batch per partition entry, CRC-32C over the whole
// batch, the codec in its attributes, the producer id (-1: none) with a
// sequence, offset deltas 0..n-1, timestamps from `sinceMs` on with
// first/max agreeing with the deltas.
std::vector<Decoded> decodeAll(const std::vector<ProduceRequest> &requests, int64_t sinceMs,
                               int16_t codec = 0, int64_t producerId = -1) {
    std::vector<Decoded> batches;
    int64_t untilMs = nowMs();
    for (size_t r = 0; r < requests.size(); ++r) {
        const ProduceRequest &request = requests[r];
        EXPECT_EQ(request.topic, kTopic);
        // Mode 4 waits for every in-sync replica, mode 0 for the leader.
        EXPECT_TRUE(request.acks == -1 || request.acks == 1) << request.acks;
        for (const ProduceRequest::Partition &p : request.partitions) {
            SCOPED_TRACE("request " + std::to_string(r) + " partition " + std::to_string(p.partition));
            Decoded batch{r, p.partition, {}, {}};
            const char *problem = "";
            BatchStatus status = record_batch_read(request.raw.data(), p.recordsPos, p.recordsEnd,
                                                   &batch.head, &problem);
            EXPECT_EQ(status, BatchStatus::kOk) << problem;
            if (status != BatchStatus::kOk) continue;
            EXPECT_EQ(batch.head.u32End, p.recordsEnd) << "one batch per partition entry";
            EXPECT_EQ(batch.head.i64BaseOffset, 0);
            EXPECT_EQ(batch.head.i16Attributes, codec);
            EXPECT_EQ(batch.head.i64ProducerID, producerId);
            EXPECT_EQ(batch.head.i32BaseSequence < 0, producerId < 0);
            EXPECT_EQ(batch.head.i32LastOffsetDelta, batch.head.i32RecordCount - 1);
            EXPECT_GE(batch.head.i64BaseTimestamp, sinceMs);
            EXPECT_LE(batch.head.i64MaxTimestamp, untilMs);
            const uint8_t *bytes = request.raw.data();
            uint32_t position = batch.head.u32RecordsPos, end = batch.head.u32End;
            std::unique_ptr<uint8_t, decltype(&free)> inflated(nullptr, free);
            if (batch.head.i16Attributes & kBatchCodecMask) {
                uint8_t *out = nullptr;
                uint32_t outLen = 0;
                EXPECT_EQ(inflate_records(batch.head.i16Attributes & kBatchCodecMask,
                                          bytes + position, end - position, kMaxInflatedBytes, &out,
                                          &outLen),
                          InflateStatus::kOk);
                inflated.reset(out);
                if (!out)
                    continue;
                bytes = out, position = 0, end = outLen;
            }
            int64_t maxDelta = 0;
            for (int32_t i = 0; i < batch.head.i32RecordCount; ++i) {
                RecordView record;
                const char *bad = record_read(bytes, position, end, &record);
                EXPECT_EQ(bad, nullptr) << "record " << i << ": " << bad;
                if (bad) break;
                EXPECT_EQ(record.i32OffsetDelta, i);
                EXPECT_GE(record.i64TimestampDelta, 0);
                EXPECT_EQ(record.i32HeaderCount, 0);
                maxDelta = std::max(maxDelta, record.i64TimestampDelta);
                batch.records.push_back({p.partition, textOf(record.pKey, record.i32KeyLen),
                                         textOf(record.pValue, record.i32ValueLen)});
                position = record.u32End;
            }
            EXPECT_EQ(position, end) << "bytes behind the last record";
            EXPECT_EQ(batch.head.i64MaxTimestamp, batch.head.i64BaseTimestamp + maxDelta);
            batches.push_back(std::move(batch));
        }
    }
    return batches;
}

// The records of one partition in the order of the wire.
std::vector<Sent> onWire(const std::vector<Decoded> &batches, int32_t partition) {
    std::vector<Sent> records;
    for (const Decoded &batch : batches)
        if (batch.partition == partition)
            records.insert(records.end(), batch.records.begin(), batch.records.end());
    return records;
}

uint64_t recordsOf(const std::vector<Decoded> &batches, size_t request) {
    uint64_t count = 0;
    for (const Decoded &batch : batches)
        if (batch.request == request) count += batch.records.size();
    return count;
}

void expectSame(const std::vector<Sent> &wire, const std::vector<Sent> &sent) {
    ASSERT_EQ(wire.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(wire[i].key, sent[i].key) << i;
        EXPECT_EQ(wire[i].value, sent[i].value) << i;
    }
}

// A compressing session keeps unkeyed records with the open batch of the
// previous one, so their partition shows only on the wire: each takes the
// partition whose next record in wire order it is. A record found next on
// no partition keeps its guess, and the comparison by partition fails.
void placeUnkeyed(const std::vector<Decoded> &batches, int32_t partitions,
                  std::vector<Sent> *sent) {
    std::vector<std::vector<Sent>> wire;
    std::vector<size_t> next(static_cast<size_t>(partitions), 0);
    for (int32_t p = 0; p < partitions; ++p)
        wire.push_back(onWire(batches, p));
    auto isNext = [&](const Sent &s, int32_t p) {
        size_t at = next[static_cast<size_t>(p)];
        const std::vector<Sent> &records = wire[static_cast<size_t>(p)];
        return at < records.size() && records[at].key == s.key && records[at].value == s.value;
    };
    for (Sent &s : *sent) {
        for (int32_t p = 0; !s.key && p < partitions && !isNext(s, s.partition); ++p)
            if (isNext(s, p))
                s.partition = p;
        if (isNext(s, s.partition))
            ++next[static_cast<size_t>(s.partition)];
    }
}

// Answers the n-th Produce request (from 0) with `script(n, request)`.
using Script = std::function<FakeAction(int n, const ProduceRequest &)>;

class ProduceBatch : public ::testing::Test {
  protected:
    // A cluster of one broker leading `partitions` partitions, a session in
    // mode 4 with the send window `window`; the first Produce reply is held
    // back until the gate opens, unless `script` decides otherwise.
    void start(int32_t partitions, uint32_t window, Script script = nullptr) {
        cluster = std::make_unique<FakeCluster>(kTopic, 1, std::vector<int32_t>(partitions, 1));
        auto count = std::make_shared<std::atomic<int>>(0);
        auto gate = firstReply;
        cluster->onProduce([count, gate, script](size_t, const ProduceRequest &request) {
            int n = (*count)++;
            if (script) return script(n, request);
            FakeAction ok = produceAnswer(request, [](int32_t) { return int16_t{0}; });
            return n == 0 ? ok.heldBy(gate) : ok;
        });
        ASSERT_EQ(session.connect(*cluster), 0);
        ASSERT_EQ(session.sync(4, window, 1), 0);
        sinceMs = nowMs();
    }
    void TearDown() override {
        firstReply->open();
        for (auto &gate : gates) gate->open();
    }
    // Produces and notes what the wire must carry: the key hash picks the
    // partition, else the cursor one further than the last call's.
    void produce(const std::string &key, const std::string &value, uint32_t convert = 0,
                 const std::string &wireValue = "") {
        uint32_t partitions = session.pcb->u32PartitionCount;
        int32_t partition = key.empty() ? static_cast<int32_t>(cursor % partitions)
                                        : static_cast<int32_t>(djb_hash(key.data(), key.size()) % partitions);
        cursor = static_cast<uint32_t>(partition) + 1;
        EXPECT_EQ(session.produce(key, value, convert), 0) << key << "/" << value.size();
        sent.push_back({partition, key.empty() ? Text{} : Text{key},
                        value.empty() ? Text{} : Text{wireValue.empty() ? value : wireValue}});
    }
    std::vector<Sent> sentTo(int32_t partition) const {
        std::vector<Sent> records;
        for (const Sent &s : sent)
            if (s.partition == partition) records.push_back(s);
        return records;
    }
    std::shared_ptr<FakeGate> gate() { return gates.emplace_back(std::make_shared<FakeGate>()); }
    std::vector<Decoded> decoded() { return decodeAll(cluster->produced(0), sinceMs); }
    uint64_t failedCount() const {
        std::vector<LogLine> lines = session.numbered("5007");
        EXPECT_EQ(lines.size(), 1u);
        if (lines.empty()) return 0;
        return std::stoull(lines[0].text);
    }

    std::shared_ptr<FakeGate> firstReply = std::make_shared<FakeGate>();
    std::vector<std::shared_ptr<FakeGate>> gates;
    std::vector<Sent> sent;
    uint32_t cursor = 0;
    int64_t sinceMs = 0;
    std::unique_ptr<FakeCluster> cluster; // outlives the session, which closes first
    ClusterSession session;
};

// Keyed and unkeyed records of every shape collect behind a held reply and
// go out in one request with a batch of several records per partition.
TEST_F(ProduceBatch, CollectedRecordsDecodeToWhatWasSentInCallOrder) {
    ASSERT_NO_FATAL_FAILURE(start(3, 1));
    iconv_close(session.pcb->cdEncode);
    session.pcb->cdEncode = iconv_open("UTF-8", "ISO-8859-15");
    ASSERT_NE(session.pcb->cdEncode, reinterpret_cast<iconv_t>(-1));
    produce("", "first"); // goes out at once, its reply held
    ASSERT_TRUE(cluster->waitForProduce(0, 1, 5000));
    const std::string euro = "\xA4 5", euroUtf8 = "\xE2\x82\xAC 5";
    for (int round = 0; round < 3; ++round) {
        produce("", "plain " + std::to_string(round));
        produce("key1", std::string(300 + round, 'k'));
        produce("user-1001", euro, 1, euroUtf8); // converted
        produce("", euro, 0);                    // as given
        produce("customer-17", "");              // null value
        produce("", std::string(5000 * (round + 1), 'a' + static_cast<char>(round)));
        produce("", "");
    }
    firstReply->open();
    EXPECT_EQ(session.sync(2), 0);
    std::vector<Decoded> batches = decoded();
    ASSERT_EQ(cluster->produced(0).size(), 2u) << "one request for everything collected";
    EXPECT_EQ(recordsOf(batches, 1), sent.size() - 1);
    for (const Decoded &batch : batches)
        if (batch.request == 1) {
            EXPECT_GE(batch.records.size(), 2u) << batch.partition;
        }
    for (int32_t p = 0; p < 3; ++p) {
        SCOPED_TRACE(p);
        expectSame(onWire(batches, p), sentTo(p));
    }
    EXPECT_EQ(session.pcb->ullMsgsProduced, sent.size());
    EXPECT_TRUE(session.numbered("5007").empty());
}

// A reply that refuses two of the three batches of a request fails exactly
// their records; the accepted batch counts as produced; the next synch
// point has nothing to report.
TEST_F(ProduceBatch, PartitionErrorsFailTheRecordsOfTheirBatches) {
    auto held = firstReply;
    Script script = [held](int n, const ProduceRequest &request) {
        return produceAnswer(request,
                             [n](int32_t p) -> int16_t {
                                 return n == 1 && p == 1 ? 87 : n == 1 && p == 2 ? 6 : 0;
                             })
            .heldBy(n == 0 ? held : nullptr);
    };
    ASSERT_NO_FATAL_FAILURE(start(3, 1, script));
    produce("", "first");
    ASSERT_TRUE(cluster->waitForProduce(0, 1, 5000));
    for (int i = 0; i < 10; ++i) produce("", "m" + std::to_string(i)); // partitions 1 2 0 1 ...
    firstReply->open();
    EXPECT_EQ(session.sync(2), 7510);
    std::vector<Decoded> batches = decoded();
    ASSERT_EQ(cluster->produced(0).size(), 2u);
    uint64_t refused = 0, accepted = 0;
    for (const Decoded &batch : batches)
        (batch.request == 1 && batch.partition != 0 ? refused : accepted) += batch.records.size();
    EXPECT_EQ(refused, 7u);
    EXPECT_EQ(failedCount(), refused);
    EXPECT_EQ(session.numbered("5007")[0].text,
              "7 produced messages failed since the last synch point, the first with error 7510");
    EXPECT_EQ(session.numbered("7510").size(), 2u) << "each refused batch is logged";
    EXPECT_EQ(session.pcb->ullMsgsProduced, accepted);
    EXPECT_EQ(session.sync(2), 0);
    EXPECT_EQ(session.numbered("5007").size(), 1u);
}

// The connection ends with two requests of several records awaiting their
// replies and more records collected: one 5005 per request, and the synch
// point fails every record of both. (The first reply comes late rather
// than held: the fake has to read the second request meanwhile.)
TEST_F(ProduceBatch, LostConnectionFailsEveryRecordOfItsRequests) {
    auto closing = gate();
    Script script = [closing](int n, const ProduceRequest &request) {
        FakeAction ok = produceAnswer(request, [](int32_t) { return int16_t{0}; });
        if (n == 0) return ok.delayed(300);
        if (n == 1) return FakeAction::noReply();
        if (n == 2) return FakeAction::close().heldBy(closing);
        return ok;
    };
    ASSERT_NO_FATAL_FAILURE(start(3, 2, script));
    produce("", "a");
    produce("", "b"); // the window has room for a second request
    ASSERT_TRUE(cluster->waitForProduce(0, 2, 5000));
    for (int i = 0; i < 5; ++i) produce("", "c" + std::to_string(i));
    // Busy, the library looks for replies every 16 small records; the
    // first reply lets what was collected go out as the third request.
    for (int i = 0; i < 400 && !cluster->waitForProduce(0, 3, 5); ++i)
        produce("", "d" + std::to_string(i));
    ASSERT_TRUE(cluster->waitForProduce(0, 3, 5000));
    for (int i = 0; i < 4; ++i) produce("", "late" + std::to_string(i)); // collected
    closing->open();
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the close reaches the socket
    EXPECT_EQ(session.sync(2), 5005);
    std::vector<Decoded> batches = decoded();
    uint64_t lost = recordsOf(batches, 1) + recordsOf(batches, 2);
    EXPECT_GE(recordsOf(batches, 2), 5u) << "the lost request held the collected records";
    EXPECT_EQ(session.numbered("5005").size(), 2u) << "one warning per lost request";
    EXPECT_EQ(failedCount(), lost);
    // The records collected when the connection ended go out once, on a
    // new connection, and are acknowledged; the lost ones are not resent.
    EXPECT_EQ(cluster->broker(0).connectionsAccepted(), 3);
    EXPECT_EQ(session.pcb->ullMsgsProduced, sent.size() - lost);
    for (int32_t p = 0; p < 3; ++p) expectSame(onWire(batches, p), sentTo(p));
    EXPECT_EQ(session.sync(2), 0);
}

// 10,000 records close a batch; the 10,001st waits for a later request.
// A record that does not fit waits for room in the window, so the held
// reply is let go just before it.
TEST_F(ProduceBatch, TenThousandRecordsCloseABatch) {
    ASSERT_NO_FATAL_FAILURE(start(1, 1));
    produce("", "first");
    ASSERT_TRUE(cluster->waitForProduce(0, 1, 5000));
    int32_t failed = 0;
    session.record([&] {
        for (int32_t i = 0; i < kMaxRecords; ++i) {
            std::string value = "r" + std::to_string(i);
            failed += BQXPROD(session.handle, "", 0, value.data(), static_cast<uint32_t>(value.size()), 0) != 0;
            sent.push_back({0, {}, value});
        }
    });
    ASSERT_EQ(failed, 0);
    EXPECT_EQ(cluster->produced(0).size(), 1u) << "a full batch is no reason to send";
    firstReply->open();
    produce("", "one more");
    EXPECT_EQ(session.sync(2), 0);
    std::vector<Decoded> batches = decoded();
    ASSERT_EQ(batches.size(), 3u);
    EXPECT_EQ(batches[1].records.size(), static_cast<size_t>(kMaxRecords));
    EXPECT_EQ(batches[2].records.size(), 1u);
    EXPECT_EQ(batches[2].request, 2u) << "in a later request";
    expectSame(onWire(batches, 0), sent);
}

// A batch closes before it would pass 1 MiB; a record bigger than that
// travels alone in its batch.
TEST_F(ProduceBatch, OneMebibyteClosesABatchAndABiggerRecordTravelsAlone) {
    ASSERT_NO_FATAL_FAILURE(start(1, 1));
    produce("", "first");
    ASSERT_TRUE(cluster->waitForProduce(0, 1, 5000));
    for (int i = 0; i < 10; ++i) produce("", std::string(100 * 1024, 'a' + static_cast<char>(i)));
    firstReply->open(); // the next record waits for room, as above
    produce("", std::string(100 * 1024, 'k'));
    produce("big", std::string(kMiB + kMiB / 2, 'B'));
    produce("", "small");
    EXPECT_EQ(session.sync(2), 0);
    std::vector<Decoded> batches = decoded();
    std::vector<size_t> counts;
    for (const Decoded &batch : batches) {
        counts.push_back(batch.records.size());
        if (batch.records.size() > 1) {
            EXPECT_LE(kBatchLogOverhead + static_cast<uint32_t>(batch.head.i32BatchLength), kMiB);
        }
    }
    EXPECT_EQ(counts, (std::vector<size_t>{1, 10, 1, 1, 1}));
    expectSame(onWire(batches, 0), sent);
}

// Switching to mode 0 sends the collected records before the mode-0 ones,
// which then go one per request; per partition the wire keeps call order.
TEST_F(ProduceBatch, SwitchToModeZeroSendsTheCollectedRecordsFirst) {
    ASSERT_NO_FATAL_FAILURE(start(3, 1));
    produce("", "first");
    ASSERT_TRUE(cluster->waitForProduce(0, 1, 5000));
    for (int i = 0; i < 6; ++i) produce(i % 2 ? "key1" : "", "collected" + std::to_string(i));
    firstReply->open();
    EXPECT_EQ(session.sync(0, 100, 1), 0);
    EXPECT_TRUE(cluster->waitForProduce(0, 2, 2000)) << "the switch sent nothing";
    size_t collected = sent.size();
    for (int i = 0; i < 4; ++i) produce(i % 2 ? "key1" : "", "single" + std::to_string(i));
    EXPECT_EQ(session.sync(2), 0);
    std::vector<Decoded> batches = decoded();
    EXPECT_EQ(recordsOf(batches, 1), collected - 1);
    EXPECT_EQ(cluster->produced(0).size(), 2u + (sent.size() - collected));
    std::vector<ProduceRequest> requests = cluster->produced(0);
    for (size_t r = 0; r < requests.size(); ++r)
        EXPECT_EQ(requests[r].acks, r < 2 ? -1 : 1) << r;
    for (const Decoded &batch : batches)
        if (batch.request >= 2) {
            EXPECT_EQ(batch.records.size(), 1u);
        }
    for (int32_t p = 0; p < 3; ++p) expectSame(onWire(batches, p), sentTo(p));
}

// A topic that takes batches of at most 64 KiB, as a broker with
// max.message.bytes=65536 answers: MESSAGE_TOO_LARGE for a larger batch,
// of which nothing is stored; its refusals come 20 ms late, so that the
// calls go on while one is in flight. Records collect behind a held first
// reply into batches far above the limit, and more follow once it is let
// go (or the synch point lets it go). Every record is stored once and in call order but a lone
// record above the limit, which fails alone (7545, counted in 5007). A second run, whose first
// reply comes 300 ms late, collects batches to the limit learnt meanwhile and is refused nothing.
TEST(ProduceBatchLimit, RefusedBatchesAreSentAgainSmallerInOrder) {
    constexpr uint32_t kLimit = 65536;
    const std::vector<size_t> plain(40, 9000);
    std::vector<size_t> withBig(21, 9000);
    withBig[10] = 70000;
    struct Case {
        const char *name;
        int32_t partitions;
        uint32_t window;
        std::vector<size_t> sizes; // per run
        size_t openAt;             // the held reply is let go before this record
        size_t failedPerRun;
        const char *compression = "none"; // with values that hardly compress
        bool idempotent = false;
    } cases[] = {
        {"one partition, window 1", 1, 1, plain, plain.size(), 0},
        {"three partitions, window 5", 3, 5, plain, plain.size() / 2, 0},
        {"a lone record above the limit", 2, 1, withBig, withBig.size() / 2, 1},
        {"lz4, three partitions, window 5", 3, 5, plain, plain.size() / 2, 0, "lz4"},
        {"zstd, a lone record above the limit", 2, 1, withBig, withBig.size() / 2, 1, "zstd"},
        {"snappy, idempotent, window 5", 3, 5, plain, plain.size() / 2, 0, "snappy", true},
        {"gzip, idempotent, a lone record", 2, 1, withBig, withBig.size() / 2, 1, "gzip", true},
    };
    auto refused = [](const ProduceRequest::Partition &p) {
        return p.recordsEnd - p.recordsPos > kLimit;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int16_t codec = 0;
        while (codec <= kCodecZstd && strcmp(deflate_codec_name(codec), c.compression) != 0)
            ++codec;
        ASSERT_LE(codec, kCodecZstd) << "no codec named " << c.compression;
        if (codec != kCodecNone && !deflate_built_with(codec))
            continue; // the library was built without it
        FakeCluster cluster(kTopic, 1, std::vector<int32_t>(c.partitions, 1));
        if (c.idempotent)
            cluster.offerApiVersions(idempotentApiRanges());
        auto held = std::make_shared<FakeGate>();
        auto holdAt = std::make_shared<std::atomic<int>>(0);
        auto count = std::make_shared<std::atomic<int>>(0);
        cluster.onProduce([=](size_t, const ProduceRequest &request) {
            bool anyRefused = false;
            FakeAction answer = produceAnswer(request, [&](int32_t partition) -> int16_t {
                for (const ProduceRequest::Partition &p : request.partitions)
                    if (p.partition == partition && refused(p)) {
                        anyRefused = true;
                        return 10;
                    }
                return 0;
            });
            int n = (*count)++;
            if (n == holdAt->load())
                return n == 0 ? answer.heldBy(held) : answer.delayed(300);
            return anyRefused ? answer.delayed(20) : answer;
        });
        ClusterSession session;
        session.settings = {{"compression.type", c.compression}};
        struct OpenAtEnd {
            std::shared_ptr<FakeGate> gate;
            ~OpenAtEnd() { gate->open(); }
        } openAtEnd{held}; // before the session closes
        ASSERT_EQ(session.connect(cluster), 0);
        ASSERT_EQ(session.sync(4, c.window, 1), 0);
        int64_t since = nowMs();
        std::vector<Sent> sent;
        auto produce = [&](size_t size, char fill) {
            int32_t partition =
                static_cast<int32_t>(sent.size() % static_cast<size_t>(c.partitions));
            std::string value =
                strcmp(c.compression, "none") ? noise(size, sent.size()) : std::string(size, fill);
            EXPECT_EQ(session.produce("", value), 0);
            sent.push_back({partition, {}, value});
        };
        size_t firstOfRun2 = 0;
        for (int run = 0; run < 2; ++run) {
            if (run == 1) {
                firstOfRun2 = cluster.produced(0).size();
                holdAt->store(static_cast<int>(firstOfRun2));
            }
            produce(10, 'f'); // goes out, its reply held or late
            ASSERT_TRUE(cluster.waitForProduce(0, static_cast<int>(firstOfRun2) + 1, 5000));
            for (size_t i = 0; i < c.sizes.size(); ++i) {
                if (i == c.openAt)
                    held->open();
                produce(c.sizes[i], static_cast<char>('a' + i % 26));
            }
            held->open();
            EXPECT_EQ(session.sync(2), c.failedPerRun ? 7510 : 0);
            EXPECT_EQ(session.pcb->ullMsgsProduced, sent.size() - (run + 1) * c.failedPerRun)
                << "the synch point returned before every record was stored";
            EXPECT_EQ(session.numbered("7545").size(), c.failedPerRun);
            if (c.failedPerRun) {
                EXPECT_EQ(session.numbered("7545")[0].text.rfind("A record of 70000 bytes", 0), 0u);
            }
            EXPECT_EQ(session.numbered("5007").size(), c.failedPerRun ? 1u : 0u);
            if (c.failedPerRun) {
                EXPECT_EQ(session.numbered("5007")[0].text.rfind(
                              std::to_string(c.failedPerRun) + " produced", 0),
                          0u);
            }
            session.log.clear();
        }
        std::vector<ProduceRequest> requests = cluster.produced(0);
        std::vector<Decoded> stored,
            all = decodeAll(requests, since, codec, c.idempotent ? kFakeProducerId : -1);
        for (const Decoded &batch : all) {
            const ProduceRequest::Partition *p = nullptr;
            for (const ProduceRequest::Partition &q : requests[batch.request].partitions)
                if (q.partition == batch.partition)
                    p = &q;
            ASSERT_NE(p, nullptr);
            if (!refused(*p))
                stored.push_back(batch);
            else
                EXPECT_TRUE(batch.records.size() > 1 || batch.records[0].value->size() > kLimit);
            if (batch.request >= firstOfRun2) {
                EXPECT_FALSE(refused(*p) && batch.records.size() > 1)
                    << "run 2 batch above the limit learnt";
            }
        }
        if (codec != kCodecNone)
            placeUnkeyed(stored, c.partitions, &sent);
        size_t stillFine = 0;
        for (int32_t p = 0; p < c.partitions; ++p) {
            std::vector<Sent> expected;
            for (const Sent &s : sent)
                if (s.partition == p && s.value->size() <= kLimit)
                    expected.push_back(s);
            stillFine += expected.size();
            expectSame(onWire(stored, p), expected);
        }
        EXPECT_EQ(session.pcb->ullMsgsProduced, stillFine);
        EXPECT_GT(all.size(), stored.size()) << "no batch was refused";
    }
}

// A text record as applications send them: JSON-like, different each time.
std::string jsonRecord(size_t i) {
    std::string text = "{\"id\":" + std::to_string(i) + ",\"user\":\"user-" +
                       std::to_string(i * 7919 % 1000) + "\",\"items\":[";
    while (text.size() < 900)
        text += "{\"sku\":\"A" + std::to_string(text.size() * 31 % 977) +
                "\",\"qty\":" + std::to_string(text.size() % 9) + "},";
    return text + "{}]}";
}

// A cluster of one broker leading two partitions, its first Produce reply
// held back until `held` opens, and a mode-4 session with `settings`.
struct CompressedRun {
    CompressedRun(bool idempotent, std::vector<std::pair<std::string, std::string>> settings)
        : cluster(kTopic, 1, {1, 1}) {
        if (idempotent)
            cluster.offerApiVersions(idempotentApiRanges());
        else
            settings.push_back({"enable.idempotence", "false"});
        auto count = std::make_shared<std::atomic<int>>(0);
        auto gate = held;
        cluster.onProduce([count, gate](size_t, const ProduceRequest &request) {
            FakeAction ok = produceAnswer(request, [](int32_t) { return int16_t{0}; });
            return (*count)++ == 0 ? ok.heldBy(gate) : ok;
        });
        session.settings = std::move(settings);
        connected = session.connect(cluster) == 0 && session.sync(4, 5, 1) == 0;
        sinceMs = nowMs();
    }
    ~CompressedRun() { held->open(); }
    void produce(const std::string &key, const std::string &value) {
        // The key hash picks the partition, else the cursor one further
        // than the last call's.
        int32_t partition = key.empty()
                                ? static_cast<int32_t>(cursor % 2)
                                : static_cast<int32_t>(djb_hash(key.data(), key.size()) % 2);
        cursor = static_cast<uint32_t>(partition) + 1;
        EXPECT_EQ(session.produce(key, value), 0);
        sent.push_back(
            {partition, key.empty() ? Text{} : Text{key}, value.empty() ? Text{} : Text{value}});
    }
    std::vector<Sent> sentTo(int32_t partition) const {
        std::vector<Sent> records;
        for (const Sent &s : sent)
            if (s.partition == partition)
                records.push_back(s);
        return records;
    }
    std::shared_ptr<FakeGate> held = std::make_shared<FakeGate>();
    FakeCluster cluster;
    ClusterSession session;
    bool connected = false;
    int64_t sinceMs = 0;
    uint32_t cursor = 0;
    std::vector<Sent> sent;
};

// Each codec, with and without idempotence (sealed batches): the batches
// name the codec in their attributes and inflate, with the consumer's own
// decoder, to exactly the records sent, in order, several to a batch.
// Text goes out in a fraction of its size; gzip at level 0 only stores,
// so the level reaches the codec.
TEST(ProduceCompressed, EachCodecsBatchesReadBackToTheRecordsSent) {
    struct Case {
        const char *type, *level;
        int16_t codec;
        bool idempotent, smaller;
    } cases[] = {
        {"gzip", "-1", kCodecGzip, false, true},     {"gzip", "0", kCodecGzip, true, false},
        {"snappy", "-1", kCodecSnappy, false, true}, {"snappy", "-1", kCodecSnappy, true, true},
        {"lz4", "-1", kCodecLz4, false, true},       {"lz4", "12", kCodecLz4, true, true},
        {"zstd", "-1", kCodecZstd, false, true},     {"zstd", "19", kCodecZstd, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.type) + " level " + c.level +
                     (c.idempotent ? " idempotent" : ""));
        if (!deflate_built_with(c.codec))
            continue; // the library was built without it
        CompressedRun run(c.idempotent,
                          {{"compression.type", c.type}, {"compression.level", c.level}});
        ASSERT_TRUE(run.connected);
        run.produce("", "first"); // goes out at once, its reply held
        ASSERT_TRUE(run.cluster.waitForProduce(0, 1, 5000));
        size_t text = 0;
        for (size_t i = 0; i < 300; ++i) {
            std::string value = i % 50 == 7 ? std::string() : jsonRecord(i);
            text += value.size();
            run.produce(i % 3 ? "" : "user-" + std::to_string(i % 11), value);
        }
        run.produce("blob", std::string(300 * 1024, 'z')); // several 32 and 64 KiB blocks
        run.held->open();
        EXPECT_EQ(run.session.sync(2), 0);
        std::vector<ProduceRequest> requests = run.cluster.produced(0);
        std::vector<Decoded> batches =
            decodeAll(requests, run.sinceMs, c.codec, c.idempotent ? kFakeProducerId : -1);
        placeUnkeyed(batches, 2, &run.sent);
        for (int32_t p = 0; p < 2; ++p) {
            SCOPED_TRACE(p);
            expectSame(onWire(batches, p), run.sentTo(p));
        }
        size_t wire = 0, most = 0;
        for (const ProduceRequest &request : requests)
            for (const ProduceRequest::Partition &p : request.partitions)
                wire += p.recordsEnd - p.recordsPos;
        for (const Decoded &batch : batches)
            most = std::max(most, batch.records.size());
        EXPECT_GE(most, 100u) << "records share batches";
        text += 300 * 1024;
        if (c.smaller) {
            EXPECT_LT(wire, text / 4);
        } else {
            EXPECT_GT(wire, text);
        }
        EXPECT_EQ(run.session.pcb->ullMsgsProduced, run.sent.size());
    }
}

// A compressing session shapes its batches while the broker is busy:
// unkeyed records fill one partition's batch at a time, and a broker with a
// reply outstanding gets a further request only for a full batch.
// A broker that has answered before the next call gets every record at
// once, the partitions in turn.
TEST(ProduceCompressed, ABusyBrokerGetsLargeBatchesOnePartitionAtATime) {
    if (!deflate_built_with(kCodecLz4))
        GTEST_SKIP() << "the library was built without lz4";
    CompressedRun idle(false, {{"compression.type", "lz4"}});
    ASSERT_TRUE(idle.connected);
    idle.held->open();
    for (size_t i = 0; i < 4; ++i) {
        idle.produce("", jsonRecord(i));
        EXPECT_EQ(idle.session.sync(2), 0);
    }
    std::vector<ProduceRequest> requests = idle.cluster.produced(0);
    ASSERT_EQ(requests.size(), 4u);
    for (size_t r = 0; r < requests.size(); ++r) {
        ASSERT_EQ(requests[r].partitions.size(), 1u);
        EXPECT_EQ(requests[r].partitions[0].partition, static_cast<int32_t>(r % 2)) << r;
    }

    CompressedRun busy(false, {{"compression.type", "lz4"}});
    ASSERT_TRUE(busy.connected);
    busy.produce("", "first"); // goes out at once, its reply held
    ASSERT_TRUE(busy.cluster.waitForProduce(0, 1, 5000));
    // Partition 0 holds back behind its first batch (the first of the topic
    // is a probe of its size limit); partition 1 may send.
    for (size_t i = 0; i < 1400; ++i)
        busy.produce("", jsonRecord(i)); // about 1.3 MiB
    uint32_t outstanding = 0; // the fake broker reads the next request after its held reply
    for (uint32_t b = 0; b < busy.session.pcb->u32BrokerCount; ++b)
        outstanding += busy.session.pcb->pBrokerList[b].u32PendingCount;
    EXPECT_EQ(outstanding, 2u) << "the first, and one full batch";
    busy.held->open();
    EXPECT_EQ(busy.session.sync(2), 0);
    requests = busy.cluster.produced(0);
    EXPECT_EQ(requests.size(), 3u) << "the first, a full one, the rest at the synch point";
    std::vector<Decoded> batches = decodeAll(requests, busy.sinceMs, kCodecLz4, -1);
    placeUnkeyed(batches, 2, &busy.sent);
    for (int32_t p = 0; p < 2; ++p)
        expectSame(onWire(batches, p), busy.sentTo(p));
    for (const Decoded &batch : batches) {
        EXPECT_EQ(requests[batch.request].partitions.size(), 1u) << batch.request;
        size_t bytes = 0;
        for (const Sent &record : batch.records)
            bytes += record.value ? record.value->size() : 0;
        if (batch.request == 1) {
            EXPECT_GE(bytes, 1000000u) << "a full batch";
        }
    }
}

// A codec that fails as a batch goes out (played by a library without it,
// after BQXCONF accepted it): the batch's records fail with 7549 at the
// synch point and nothing of them goes out, compressed or not; the
// session goes on once the codec works again.
TEST(ProduceCompressed, ACodecThatFailsFailsItsBatchAndSendsNothingOfIt) {
    if (!deflate_built_with(kCodecLz4))
        GTEST_SKIP() << "the library was built without lz4";
    for (bool idempotent : {false, true}) {
        SCOPED_TRACE(idempotent ? "idempotent" : "not idempotent");
        CompressedRun run(idempotent, {{"compression.type", "lz4"}});
        ASSERT_TRUE(run.connected);
        run.held->open();
        gpfnDeflateAvailable = [](int16_t codec) { return codec != kCodecLz4; };
        for (int i = 0; i < 20; ++i)
            run.produce(i % 2 ? "k" : "", jsonRecord(i));
        int32_t rc = run.session.sync(2);
        gpfnDeflateAvailable = deflate_built_with;
        EXPECT_EQ(rc, 7549);
        EXPECT_EQ(run.session.pcb->ullMsgsProduced, 0u);
        std::vector<LogLine> lines = run.session.numbered("7549");
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines[0].text.find("with lz4 failed"), std::string::npos) << lines[0].text;
        EXPECT_NE(run.session.numbered("5007")[0].text.find("20 produced messages failed"),
                  std::string::npos);
        EXPECT_TRUE(run.cluster.produced(0).empty());
        run.sent.clear();
        run.sinceMs = nowMs();
        run.produce("", "after");
        EXPECT_EQ(run.session.sync(2), 0);
        std::vector<Decoded> batches = decodeAll(run.cluster.produced(0), run.sinceMs, kCodecLz4,
                                                 idempotent ? kFakeProducerId : -1);
        ASSERT_EQ(batches.size(), 1u);
        expectSame(batches[0].records, run.sent);
    }
}

} // namespace
