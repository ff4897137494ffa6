// Idempotent producing against the fake cluster, whose brokers offer
// InitProducerId and keep each partition's log as an idempotent broker
// does, per partition and producer id: a batch is stored only when its
// sequence follows the last stored one of its producer epoch (0 for a new
// id or epoch), a batch already stored is answered
// DUPLICATE_SEQUENCE_NUMBER, any other OUT_OF_ORDER_SEQUENCE_NUMBER. The
// tests script the answer to chosen attempts and check what the log holds:
// every message once, in call order.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/pcb.h"
#include "bqx.h"
#include "codec/deflate.h"
#include "codec/inflate.h"
#include "consume/record_batch.h"
#include "support/fake_cluster.h"

using namespace bqxtest;

namespace {

constexpr const char *kTopic = "ledger";

// One partition's record batch of a Produce request.
struct Attempt {
    int32_t partition = -1;
    int64_t producerId = -1;
    int16_t epoch = -1;
    int32_t sequence = -1;
    int16_t codec = 0;
    std::vector<std::string> values;
    Bytes bytes;
};

Attempt readAttempt(const ProduceRequest &request, const ProduceRequest::Partition &p) {
    Attempt attempt;
    attempt.partition = p.partition;
    attempt.bytes.assign(request.raw.begin() + p.recordsPos, request.raw.begin() + p.recordsEnd);
    RecordBatchHead head{};
    const char *problem = "";
    EXPECT_EQ(record_batch_read(request.raw.data(), p.recordsPos, p.recordsEnd, &head, &problem),
              BatchStatus::kOk)
        << problem;
    attempt.producerId = head.i64ProducerID;
    attempt.epoch = head.i16ProducerEpoch;
    attempt.sequence = head.i32BaseSequence;
    attempt.codec = head.i16Attributes & kBatchCodecMask;
    // A compressed batch's records are read from what they inflate to.
    const uint8_t *bytes = request.raw.data();
    uint32_t position = head.u32RecordsPos, end = head.u32End;
    std::unique_ptr<uint8_t, decltype(&free)> inflated(nullptr, free);
    if (attempt.codec != 0) {
        uint8_t *out = nullptr;
        uint32_t outLen = 0;
        EXPECT_EQ(inflate_records(attempt.codec, bytes + position, end - position,
                                  kMaxInflatedBytes, &out, &outLen),
                  InflateStatus::kOk);
        inflated.reset(out);
        bytes = out, position = 0, end = out ? outLen : 0;
    }
    for (int32_t i = 0; i < head.i32RecordCount; ++i) {
        RecordView record{};
        if (record_read(bytes, position, end, &record) != nullptr)
            break;
        attempt.values.emplace_back(reinterpret_cast<const char *>(record.pValue),
                                    static_cast<size_t>(record.i32ValueLen));
        position = record.u32End;
    }
    return attempt;
}

int32_t after(int32_t sequence, size_t records) {
    int64_t next = int64_t{sequence} + static_cast<int64_t>(records);
    return static_cast<int32_t>(next > INT32_MAX ? next - INT32_MAX - 1 : next);
}

// What the test makes a broker do with one attempt instead of the model's
// answer: store it first or not, then answer `error` or close the connection.
struct Scripted {
    bool store;
    int16_t error;
    bool close = false;
};

struct IdemCluster {
    void start(uint32_t window = 5, const std::vector<ApiRange> &ranges = idempotentApiRanges()) {
        cluster.offerApiVersions(ranges);
        cluster.onProduce([this](size_t, const ProduceRequest &request) {
            std::lock_guard<std::mutex> lock(mutex);
            std::vector<std::pair<int32_t, int16_t>> results;
            bool close = false;
            for (const ProduceRequest::Partition &p : request.partitions) {
                Attempt attempt = readAttempt(request, p);
                attempts.push_back(attempt);
                std::optional<Scripted> scripted;
                if (script)
                    scripted = script(attempt, attempts.size() - 1);
                int16_t error = !scripted || scripted->store ? store(attempt) : 0;
                if (scripted)
                    error = scripted->error, close = close || scripted->close;
                results.push_back({p.partition, error});
            }
            if (close)
                return FakeAction::close();
            FakeAction reply = FakeAction::reply(produceReplyBody(kTopic, results));
            bool late = attempts.size() == (firstDelayMs && lenient ? 1u : 2u);
            return late && firstDelayMs ? reply.delayed(firstDelayMs) : reply;
        });
        ASSERT_EQ(session.connect(cluster), 0);
        int32_t rc = session.sync(mode, window, 1);
        ASSERT_TRUE(rc == 0 || rc == 5004) << rc;
    }

    // The idempotent broker's rule for one attempt.
    int16_t store(const Attempt &a) {
        std::vector<std::string> &stored = log[a.partition];
        if (a.producerId < 0) {
            stored.insert(stored.end(), a.values.begin(), a.values.end());
            return 0;
        }
        State &state = states[a.partition];
        if (a.producerId != state.producerId || a.epoch > state.epoch) {
            if (a.sequence != 0)
                return 45;
            state = State{a.producerId, a.epoch, 0, {}};
        } else if (a.epoch < state.epoch) {
            return 47; // INVALID_PRODUCER_EPOCH
        }
        for (int32_t stored : state.stored)
            if (stored == a.sequence)
                return 46;
        if (a.sequence != state.next && !(lenient && state.stored.empty()))
            return 45;
        stored.insert(stored.end(), a.values.begin(), a.values.end());
        state.stored.push_back(a.sequence);
        if (state.stored.size() > 5)
            state.stored.erase(state.stored.begin()); // the last 5 only
        state.next = after(a.sequence, a.values.size());
        return 0;
    }

    int32_t produce(const std::string &value) { return session.produce("", value); }
    std::vector<std::string> values(int n) {
        std::vector<std::string> out;
        for (int i = 0; i < n; ++i)
            out.push_back("m" + std::to_string(i));
        return out;
    }
    std::vector<Attempt> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return attempts;
    }

    struct State {
        int64_t producerId = -1;
        int16_t epoch = -1;
        int32_t next = 0;
        std::vector<int32_t> stored;
    };
    std::mutex mutex;
    std::map<int32_t, State> states;
    std::map<int32_t, std::vector<std::string>> log;
    std::vector<Attempt> attempts;
    std::function<std::optional<Scripted>(const Attempt &, size_t index)> script;
    int32_t mode = 4;
    int firstDelayMs = 0;
    bool lenient = false; // a partition without the producer's state takes any sequence
    FakeCluster cluster{kTopic, 1, {1}};
    ClusterSession session{1};
};

class ProduceIdem : public ::testing::Test, public IdemCluster {};

// The first attempt of the first batch fails as a row says; the batch goes
// again, byte for byte (compressed as it was), and the log holds every message once, in order. A
// stored batch answered again is DUPLICATE_SEQUENCE_NUMBER: success.
TEST(ProduceIdemRetry, FailedAttemptIsSentAgainUnchangedAndStoredOnce) {
    struct Row {
        const char *name;
        Scripted first;
        bool resent;
    } rows[] = {
        {"lost connection after storing", {true, 0, true}, true},
        {"NOT_LEADER_OR_FOLLOWER", {false, 6}, true},
        {"LEADER_NOT_AVAILABLE", {false, 5}, true},
        {"UNKNOWN_TOPIC_OR_PARTITION", {false, 3}, true},
        {"REQUEST_TIMED_OUT after storing", {true, 7}, true},
        {"NETWORK_EXCEPTION", {false, 13}, true},
        {"NOT_ENOUGH_REPLICAS", {false, 19}, true},
        {"NOT_ENOUGH_REPLICAS_AFTER_APPEND after storing", {true, 20}, true},
        {"DUPLICATE_SEQUENCE_NUMBER", {true, 46}, false},
    };
    // Compressed batches too: the retry sends the compressed bytes again.
    for (int16_t codec : {kCodecNone, kCodecZstd})
        for (int32_t mode : {4, 1})
            for (const Row &row : rows) {
                if (codec != kCodecNone && !deflate_built_with(codec))
                    continue;
                SCOPED_TRACE(std::string(row.name) + " in mode " + std::to_string(mode) + ", " +
                             deflate_codec_name(codec));
                IdemCluster c;
                c.mode = mode;
                c.session.settings = {{"compression.type", deflate_codec_name(codec)}};
                c.script = [&](const Attempt &, size_t index) -> std::optional<Scripted> {
                    if (index == 0)
                        return row.first;
                    return std::nullopt;
                };
                ASSERT_NO_FATAL_FAILURE(c.start());
                for (const std::string &v : c.values(3))
                    EXPECT_EQ(c.produce(v), 0);
                EXPECT_EQ(c.session.sync(2), 0);
                EXPECT_EQ(c.log[0], c.values(3));
                EXPECT_EQ(c.session.pcb->ullMsgsProduced, 3u) << "acknowledged once each";
                std::vector<Attempt> attempts = c.taken();
                ASSERT_GE(attempts.size(), 2u);
                EXPECT_EQ(attempts[0].producerId, kFakeProducerId);
                EXPECT_EQ(attempts[0].sequence, 0);
                EXPECT_EQ(attempts[0].codec, codec);
                bool resent = row.resent;
                size_t again = 1;
                while (again < attempts.size() && attempts[again].sequence != 0)
                    ++again;
                EXPECT_EQ(again < attempts.size(), resent);
                if (again < attempts.size()) {
                    EXPECT_EQ(attempts[again].bytes, attempts[0].bytes);
                }
                EXPECT_EQ(c.session.pcb->ullRetriedRequests > 0, resent);
            }
}

// OUT_OF_ORDER_SEQUENCE_NUMBER for the oldest unsettled batch: the broker
// lost what it had acknowledged; that batch fails with 7547 and the
// partition goes on in the next epoch from sequence 0. UNKNOWN_PRODUCER_ID:
// the same restart, and nothing fails. Past the id's last epoch (32767) the
// partition asks for a new producer id and restarts at sequence 0 in it;
// when that is refused its unsettled messages fail with 7547.
TEST(ProduceIdemRestart, SequenceRefusalsRestartThePartitionInTheNextEpoch) {
    constexpr int64_t kNewId = kFakeProducerId + 1;
    struct Row {
        int16_t error;
        size_t refused; // the attempt answered `error`
        int16_t firstEpoch;
        int16_t newIdError; // the answer to a second InitProducerId
        int32_t synchResult;
        std::vector<std::string> stored;
    } rows[] = {{45, 0, 0, 0, 7547, {"m1", "m2"}},
                {59, 0, 0, 0, 0, {"m0", "m1", "m2"}},
                {59, 1, INT16_MAX, 0, 0, {"m0", "m1", "m2"}},
                {59, 1, INT16_MAX, 53, 7547, {"m0"}}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.error) + " from epoch " + std::to_string(row.firstEpoch));
        IdemCluster c;
        c.script = [&](const Attempt &, size_t index) -> std::optional<Scripted> {
            if (index == row.refused)
                return Scripted{false, row.error};
            return std::nullopt;
        };
        int asked = 0;
        c.cluster.onRequest(kInitProducerIdKey, [&](size_t, const FakeRequest &r) {
            Bytes body = initProducerIdBody(r.apiVersion, 0, kFakeProducerId, row.firstEpoch);
            if (asked++ > 0)
                body = initProducerIdBody(r.apiVersion, row.newIdError,
                                          row.newIdError ? -1 : kNewId, row.newIdError ? -1 : 0);
            return std::optional<FakeAction>(FakeAction::reply(body));
        });
        ASSERT_NO_FATAL_FAILURE(c.start());
        for (const std::string &v : c.values(3))
            EXPECT_EQ(c.produce(v), 0);
        EXPECT_EQ(c.session.sync(2), row.synchResult);
        EXPECT_EQ(c.log[0], row.stored);
        EXPECT_EQ(c.session.numbered("7547").size(), row.synchResult ? 1u : 0u);
        bool renewed = row.firstEpoch == INT16_MAX;
        EXPECT_EQ(c.cluster.count(0, kInitProducerIdKey), renewed ? 2 : 1);
        std::vector<Attempt> attempts = c.taken();
        if (row.newIdError) {
            EXPECT_EQ(attempts.size(), row.refused + 1) << "sent without an id";
            continue;
        }
        ASSERT_GT(attempts.size(), row.refused + 1);
        const Attempt &next = attempts[row.refused + 1];
        EXPECT_EQ(next.producerId, renewed ? kNewId : kFakeProducerId);
        EXPECT_EQ(next.epoch, renewed ? 0 : 1);
        EXPECT_EQ(next.sequence, 0);
        EXPECT_EQ(attempts.back().producerId, next.producerId);
    }
}

// Sequences wrap from 2^31-1 to 0 as the record-batch format defines.
TEST_F(ProduceIdem, SequenceWrapsAroundAfterTheLargestValue) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_EQ(produce("m0"), 0);
    ASSERT_EQ(session.sync(2), 0);
    session.pcb->pProduceBatches[0].i32NextSequence = INT32_MAX - 1;
    {
        std::lock_guard<std::mutex> lock(mutex);
        states[0].next = INT32_MAX - 1;
        states[0].stored.clear(); // as after a long run: sequence 0 is long forgotten
    }
    std::vector<std::string> all = values(8);
    for (size_t i = 1; i < all.size(); ++i)
        EXPECT_EQ(produce(all[i]), 0);
    EXPECT_EQ(session.sync(2), 0);
    EXPECT_EQ(log[0], all);
    std::vector<Attempt> attempts = taken();
    bool wrapped = false;
    for (size_t i = 2; i < attempts.size(); ++i) {
        EXPECT_EQ(attempts[i].sequence,
                  after(attempts[i - 1].sequence, attempts[i - 1].values.size()));
        wrapped = wrapped || attempts[i].sequence < attempts[i - 1].sequence;
    }
    EXPECT_TRUE(wrapped);
}

// Once the partition's first batch is acknowledged, five batches in
// flight, the first of them refused: the four behind it are refused as out
// of order, and all go again in order.
TEST_F(ProduceIdem, FiveInFlightWithTheFirstRefusedKeepTheirOrder) {
    script = [](const Attempt &, size_t index) -> std::optional<Scripted> {
        if (index == 1)
            return Scripted{false, 6};
        return std::nullopt;
    };
    firstDelayMs = 100; // the reply to the second request comes late: four more follow it
    ASSERT_NO_FATAL_FAILURE(start(5));
    std::vector<std::string> all = values(8);
    EXPECT_EQ(produce(all[0]), 0);
    EXPECT_EQ(session.sync(2), 0);
    for (size_t i = 1; i < all.size(); ++i)
        EXPECT_EQ(produce(all[i]), 0);
    EXPECT_EQ(session.sync(2), 0);
    EXPECT_EQ(log[0], all);
    std::vector<Attempt> attempts = taken();
    ASSERT_GE(attempts.size(), 7u);
    for (int32_t i = 1; i <= 5; ++i)
        EXPECT_EQ(attempts[size_t(i)].sequence, i) << "not in flight together";
    EXPECT_EQ(attempts[6].sequence, 1) << "the refused batch goes first";
}

// Before the partition's first batch is acknowledged, a leader may hold no
// state of the producer and accept any sequence: only one batch is in
// flight then, so that a later one cannot be stored ahead of a refused one.
TEST_F(ProduceIdem, FirstBatchOfAPartitionTravelsAlone) {
    script = [](const Attempt &a, size_t) -> std::optional<Scripted> {
        if (a.sequence == 0 && a.values.size() == 1 && a.values[0] == "m0") {
            static int refusals = 0;
            if (refusals++ == 0)
                return Scripted{false, 6};
        }
        return std::nullopt;
    };
    firstDelayMs = 100;
    ASSERT_NO_FATAL_FAILURE(start(5));
    {
        std::lock_guard<std::mutex> lock(mutex);
        // As a new leader without the producer's state: any sequence goes.
        states[0] = State{kFakeProducerId, 0, 0, {}};
        lenient = true;
    }
    std::vector<std::string> all = values(4);
    for (const std::string &v : all)
        EXPECT_EQ(produce(v), 0);
    EXPECT_EQ(session.sync(2), 0);
    EXPECT_EQ(log[0], all);
}

// A broker without InitProducerId, or one that refuses the id: one warning,
// then batches without a producer id, as with idempotence off.
TEST(ProduceIdemRefused, RefusedProducerIdLeavesTheSessionWithoutOne) {
    std::vector<ApiRange> without = consumerApiRanges();
    for (int16_t error : {int16_t{-1}, int16_t{31}, int16_t{53}}) {
        SCOPED_TRACE(error);
        IdemCluster c;
        if (error > 0)
            c.cluster.onRequest(kInitProducerIdKey, [error](size_t, const FakeRequest &r) {
                return std::optional<FakeAction>(
                    FakeAction::reply(initProducerIdBody(r.apiVersion, error, -1, -1)));
            });
        ASSERT_NO_FATAL_FAILURE(c.start(5, error > 0 ? idempotentApiRanges() : without));
        for (const std::string &v : c.values(3))
            EXPECT_EQ(c.produce(v), 0);
        EXPECT_EQ(c.session.sync(2), 0);
        EXPECT_EQ(c.session.numbered("5008").size(), 1u);
        EXPECT_EQ(c.cluster.count(0, kInitProducerIdKey), error > 0 ? 1 : 0) << "asked again";
        EXPECT_EQ(c.log[0], c.values(3));
        for (const Attempt &a : c.taken())
            EXPECT_EQ(a.producerId, -1);
    }
}

// enable.idempotence=false: mode 4 as without a producer id (acks 1, a
// window above 5 kept, no InitProducerId); the next BQXSYNC after it is set
// true again makes the run idempotent.
TEST(ProduceIdemSetting, IdempotenceOffSendsBatchesWithoutAProducerId) {
    IdemCluster c;
    c.session.settings = {{"enable.idempotence", "false"}};
    ASSERT_NO_FATAL_FAILURE(c.start(20));
    EXPECT_EQ(c.session.pcb->u32SendWindow, 20u);
    for (const std::string &v : c.values(3))
        EXPECT_EQ(c.produce(v), 0);
    EXPECT_EQ(c.session.sync(2), 0);
    EXPECT_EQ(c.cluster.count(0, kInitProducerIdKey), 0);
    for (const Attempt &a : c.taken())
        EXPECT_EQ(a.producerId, -1);
    for (const ProduceRequest &r : c.cluster.produced(0))
        EXPECT_EQ(r.acks, 1);
    const char on[] = "true";
    ASSERT_EQ(BQXCONF(c.session.handle, "enable.idempotence", 18, on, 4), 0);
    EXPECT_EQ(c.session.sync(4, 5), 0);
    EXPECT_EQ(c.produce("again"), 0);
    EXPECT_EQ(c.session.sync(2), 0);
    EXPECT_EQ(c.cluster.count(0, kInitProducerIdKey), 1);
    EXPECT_GE(c.taken().back().producerId, 0);
    EXPECT_EQ(c.cluster.produced(0).back().acks, -1);
}

// A leader that refuses every attempt: the messages fail at their delivery
// deadline (7546), in synch mode 1 no later than the call's own wait.
TEST(ProduceIdemDeadline, MessagesFailAtTheirDeadline) {
    struct Row {
        int32_t mode;
        uint32_t deliveryMs;
    } rows[] = {{4, 300}, {1, 120000}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.mode);
        IdemCluster c;
        c.mode = row.mode;
        c.script = [](const Attempt &, size_t) {
            return std::optional<Scripted>(Scripted{false, 6});
        };
        ASSERT_NO_FATAL_FAILURE(c.start());
        c.session.pcb->u32DeliveryTimeoutMs = row.deliveryMs;
        auto began = std::chrono::steady_clock::now();
        int32_t produced = c.produce("m0");
        int32_t synched = c.session.sync(2);
        auto took = std::chrono::steady_clock::now() - began;
        EXPECT_EQ(row.mode == 1 ? produced : synched, 7546);
        EXPECT_LT(took, std::chrono::seconds(3));
        EXPECT_GT(c.taken().size(), 1u) << "never retried";
        EXPECT_TRUE(c.log[0].empty());
    }
}

} // namespace
