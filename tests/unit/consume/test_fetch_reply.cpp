// Fetch replies handed out one record at a time: offsets, skipped records
// and batches, aborted transactions, damaged replies and what follows each
// (release, next Fetch, commit), truncation and conversion of values.
#include <gtest/gtest.h>
#include <iconv.h>

#include "api/pcb.h"
#include "bqx.h"
#include "consume/fetch_reply.h"
#include "consume/record_batch.h"
#include "protocol/consumer.h"
#include "support/fake_cluster.h"
#include "support/fetch_reply_builder.h"
#include "support/log_capture.h"

using namespace bqxtest;

namespace {

// The calls into the fetch loop and the commit, with the partition's offset
// at the time of a Fetch.
struct Calls {
    std::vector<std::pair<uint32_t, int64_t>> fetches;
    std::vector<std::pair<uint32_t, int16_t>> partitionErrors;
    int commits = 0;
};
Calls gCalls;

int32_t recordFetch(PCB *pcb, const char *, uint32_t index) {
    gCalls.fetches.emplace_back(index, pcb->pPartitionList[index].i64Offset);
    return 0;
}
int32_t recordCommit(PCB *) { return ++gCalls.commits, 0; }
void recordPartitionError(PCB *, uint32_t index, int16_t code) {
    gCalls.partitionErrors.emplace_back(index, code);
}

constexpr uint32_t kCorrel = 77;

class FetchReply : public testing::Test {
  protected:
    void SetUp() override {
        gCalls = {};
        gpfnFetchSend = recordFetch;
        gpfnOffsetCommit = recordCommit;
        gpfnFetchPartitionError = recordPartitionError;
        s.brokers({1}, {true});
        s.partitions({{0, 1, 0}, {3, 1, 0}});
        s.topic("t");
    }
    void TearDown() override {
        gpfnFetchSend = kafka_fetch_send;
        gpfnOffsetCommit = kafka_offsetcommit;
        gpfnFetchPartitionError = kafka_fetch_partition_error;
    }
    PartitionEntry &part(uint32_t i = 0) { return s.pcb->pPartitionList[i]; }
    FetchReplyBuffer *buffered() { return s.pcb->pBrokerList[0].pReplyBuffer; }

    // Buffers `reply` as the answer to a Fetch of entry `index` from its
    // offset, in place of whatever the broker kept.
    void arrive(const Bytes &reply, uint32_t index = 0) {
        BrokerEntry &b = s.pcb->pBrokerList[0];
        kafka_fetch_drop_replies(&b);
        b.u32FetchCorrelID = kCorrel;
        b.i32FetchPartitionIdx = static_cast<int32_t>(index);
        b.i64FetchOffset = part(index).i64Offset;
        ASSERT_EQ(kafka_fetch_reply(s.pcb, 0, reply.data(), static_cast<uint32_t>(reply.size()), kCorrel), 0);
    }
    struct Got {
        int32_t rc;
        std::string value;
    };
    Got next(uint32_t capacity = 4096) {
        std::string out(capacity + 1, '#');
        uint32_t length = capacity;
        int32_t rc = kafka_checkReplyBuffers(s.pcb, "t", out.data(), &length);
        return {rc, rc == 0 ? out.substr(0, length) : ""};
    }
    // Values until nothing is delivered.
    std::vector<std::string> drain() {
        std::vector<std::string> values;
        for (Got g; (g = next()).rc == 0;) values.push_back(g.value);
        return values;
    }

    TableSession s;
};

TestBatch single(int64_t offset, const std::string &value) { return {offset, {{0, value}}}; }

TEST_F(FetchReply, SingleRecordBatchesFromTheCurrentOffset) {
    struct Case {
        int64_t start;
        std::vector<std::string> delivered;
        size_t skipLines;
    } cases[] = {{10, {"m10", "m11", "m12"}, 0}, {11, {"m11", "m12"}, 1}, {-1, {"m10", "m11", "m12"}, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.start);
        gCalls = {};
        part().i64Offset = c.start;
        arrive(fetchReply(kCorrel, {0, concat({single(10, "m10"), single(11, "m11"), single(12, "m12")})}));
        s.pcb->iDebugLevel = 2;
        std::vector<std::string> values;
        auto log = captureLog([&] { values = drain(); });
        s.pcb->iDebugLevel = 0;
        EXPECT_EQ(values, c.delivered);
        size_t skips = 0;
        for (const LogLine &l : log) skips += l.number == "0035";
        EXPECT_EQ(skips, c.skipLines);
        EXPECT_EQ(part().i64Offset, 13);
        EXPECT_EQ(buffered(), nullptr);
        EXPECT_EQ(gCalls.fetches, (std::vector<std::pair<uint32_t, int64_t>>{{0, 13}}));
    }
}

TEST_F(FetchReply, ManyRecordsWithHeadersComeOneByOne) {
    TestBatch batch{100, {{0, "a", "k1", {{"h1", "v"}, {"h2", std::nullopt}}},
                          {1, std::nullopt},
                          {2, "", std::nullopt, {{"x", "yy"}}},
                          {4, "d"}}};
    part().i64Offset = 100;
    arrive(fetchReply(kCorrel, {0, concat({batch, single(105, "e")})}));
    struct Step { std::string value; int64_t offsetAfter; } steps[] = {
        {"a", 101}, {"", 102}, {"", 103}, {"d", 105}, {"e", 106}};
    for (const Step &step : steps) {
        Got g = next();
        ASSERT_EQ(g.rc, 0);
        EXPECT_EQ(g.value, step.value);
        EXPECT_EQ(part().i64Offset, step.offsetAfter);
    }
    EXPECT_EQ(next().rc, -1);
}

// A batch whose records were partly removed by compaction still moves the
// offset past its last offset, so the next Fetch does not return it again.
TEST_F(FetchReply, BatchEndMovesOffsetPastCompactedRecords) {
    part().i64Offset = 20;
    TestBatch batch{20, {{0, "a"}}};
    batch.lastOffsetDelta = 4;
    arrive(fetchReply(kCorrel, {0, concat({batch})}));
    EXPECT_EQ(drain(), std::vector<std::string>{"a"});
    EXPECT_EQ(gCalls.fetches, (std::vector<std::pair<uint32_t, int64_t>>{{0, 25}}));
}

// Damaged replies: nothing more is delivered from them, they are released,
// and the partition is fetched again from its current offset.
TEST_F(FetchReply, DamagedRepliesAreReleasedAndFetchedAgain) {
    Bytes good = encodeBatch(single(5, "ok"));
    Bytes badCrc = encodeBatch(single(6, "x"));
    badCrc.back() ^= 1;
    Bytes shortLength = encodeBatch({6, {}, 0, -1, 0, {0x02, 0, 0, 0, 0, 2, 'x', 0}, 1});
    Bytes countTooHigh = encodeBatch({6, {}, 0, -1, 0, encodeRecord({0, "x"}), 9});
    struct Case {
        const char *name;
        Bytes records;
        int32_t partition;
        uint32_t replyCorrel;
        std::string logged;
        std::vector<std::string> delivered;
    } cases[] = {
        {"crc", badCrc, 0, kCorrel, "7540", {}},
        {"crc of the second batch", good, 0, kCorrel, "7540", {"ok"}},
        {"other partition", good, 3, kCorrel, "7536", {}},
        {"correlation id", good, 0, kCorrel + 1, "7526", {}},
        {"record length", shortLength, 0, kCorrel, "7536", {}},
        {"record count", countTooHigh, 0, kCorrel, "7536", {}},
    };
    cases[1].records.insert(cases[1].records.end(), badCrc.begin(), badCrc.end());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        gCalls = {};
        int64_t start = c.delivered.empty() ? 6 : 5;
        part().i64Offset = start;
        Bytes reply = fetchReply(static_cast<int32_t>(c.replyCorrel), {c.partition, c.records});
        arrive(reply);
        std::vector<std::string> values;
        auto log = captureLog([&] { values = drain(); });
        EXPECT_EQ(values, c.delivered);
        ASSERT_EQ(numbersOf(log), std::vector<std::string>{c.logged});
        EXPECT_EQ(s.pcb->i32LastError, std::stoi(c.logged));
        EXPECT_EQ(buffered(), nullptr);
        EXPECT_EQ(gCalls.fetches, (std::vector<std::pair<uint32_t, int64_t>>{{0, 6}}));
    }
}

TEST_F(FetchReply, CutOffLastBatchEndsTheReply) {
    part().i64Offset = 5;
    Bytes records = concat({single(5, "a"), single(6, "b"), single(7, "c")});
    records.resize(records.size() - 3);
    arrive(fetchReply(kCorrel, {0, records}));
    s.pcb->iDebugLevel = 2;
    std::vector<std::string> values;
    auto log = captureLog([&] { values = drain(); });
    s.pcb->iDebugLevel = 0;
    EXPECT_EQ(values, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(numbersOf(log).back(), "5003");
    EXPECT_EQ(gCalls.fetches, (std::vector<std::pair<uint32_t, int64_t>>{{0, 7}}));
}

// Producer 7's transaction from offset 0 was aborted (marker at 2); its next
// transaction at 4 was committed. Producer 9's transaction at 6 was aborted
// too, its marker not yet in this reply.
TEST_F(FetchReply, AbortedTransactionsAndControlBatchesAreNotDelivered) {
    part().i64Offset = 0;
    std::vector<TestBatch> batches = {
        {0, {{0, "aborted0"}, {1, "aborted1"}}, 0x10, 7},
        controlBatch(2, 7, 0),
        {3, {{0, "committed8"}}, 0x10, 8},
        {4, {{0, "committed7"}}, 0x10, 7},
        controlBatch(5, 7, 1),
        {6, {{0, "aborted9"}}, 0x10, 9},
    };
    arrive(fetchReply(kCorrel, {0, concat(batches), {{7, 0}, {9, 6}}}));
    EXPECT_EQ(drain(), (std::vector<std::string>{"committed8", "committed7"}));
    EXPECT_EQ(gCalls.fetches, (std::vector<std::pair<uint32_t, int64_t>>{{0, 7}}));
}

// A batch whose records cannot be inflated is logged with its codec and
// stepped over; the next batch is still delivered.
TEST_F(FetchReply, UnreadableCompressedBatchIsReportedAndSteppedOver) {
    const char *expected[] = {"(gzip) is corrupt", "(snappy) is corrupt", "(lz4) is corrupt",
                              "(zstd) is corrupt", "(unknown) names an unknown codec",
                              "(unknown) names an unknown codec",
                              "(unknown) names an unknown codec"};
    for (int16_t codec = 1; codec <= 7; ++codec) {
        SCOPED_TRACE(codec);
        part().i64Offset = 30;
        TestBatch compressed{30, {}, codec, -1, 2, Bytes(40, 0xAB), 3};
        arrive(fetchReply(kCorrel, {0, concat({compressed, single(33, "after")})}));
        std::vector<std::string> values;
        auto log = captureLog([&] { values = drain(); });
        EXPECT_EQ(values, std::vector<std::string>{"after"});
        ASSERT_EQ(numbersOf(log), std::vector<std::string>{"7536"});
        EXPECT_EQ(log[0].text, std::string("Kafka Protocol Error: compressed batch ") +
                                   expected[codec - 1]);
        EXPECT_EQ(part().i64Offset, 34);
    }
}

TEST_F(FetchReply, LongValueIsTruncatedAndReportedToBqxgerr) {
    part().i64Offset = 1;
    arrive(fetchReply(kCorrel, {0, concat({single(1, std::string(2000, 'v')), single(2, "next")})}));
    Got g;
    auto log = captureLog([&] { g = next(1024); });
    ASSERT_EQ(g.rc, 0);
    EXPECT_EQ(g.value, std::string(1024, 'v'));
    ASSERT_EQ(numbersOf(log), std::vector<std::string>{"5000"});
    EXPECT_EQ(log[0].text, "Received Message truncated from 2000 to 1024 bytes");
    char text[300];
    int32_t len = sizeof text;
    EXPECT_EQ(BQXGERR(s.handle, text, &len), 5000);
    EXPECT_EQ(std::string(text, static_cast<size_t>(len)), log[0].text);
    EXPECT_EQ(next().value, "next");

    // The zero byte lands at position `capacity` of the caller's buffer.
    part().i64Offset = 1;
    arrive(fetchReply(kCorrel, {0, concat({single(1, std::string(20, 'v'))})}));
    char buffer[12];
    memset(buffer, '#', sizeof buffer);
    uint32_t length = 10;
    captureLines([&] { EXPECT_EQ(kafka_checkReplyBuffers(s.pcb, "t", buffer, &length), 0); });
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(buffer[10], '\0');
    EXPECT_EQ(buffer[11], '#');
}

TEST_F(FetchReply, ValuesAreConvertedKeysAreNot) {
    struct Case {
        const char *codeSet;
        std::string utf8, local;
    } cases[] = {
        {"ISO-8859-15", "1\xE2\x82\xAC\xC3\xA4", "1\xA4\xE4"},
        {"UTF-32LE", "ab", std::string("a\0\0\0b\0\0\0", 8)}, // grows beyond twice its length
    };
    s.pcb->u32Convert = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.codeSet);
        iconv_close(s.pcb->cdDecode);
        s.pcb->cdDecode = iconv_open(c.codeSet, "UTF-8");
        ASSERT_NE(s.pcb->cdDecode, reinterpret_cast<iconv_t>(-1));
        part().i64Offset = 0;
        arrive(fetchReply(kCorrel, {0, concat({{0, {{0, c.utf8, "\xFF\xFE"}}}})}));
        Got g;
        auto log = captureLog([&] { g = next(); });
        EXPECT_EQ(g.rc, 0);
        EXPECT_EQ(g.value, c.local);
        EXPECT_TRUE(log.empty()) << "the unconvertible key is not converted";
    }
}

TEST_F(FetchReply, ReplyForAnOldPositionOrLostPartitionIsNotDelivered) {
    part().i64Offset = 10;
    arrive(fetchReply(kCorrel, {0, concat({single(10, "old")})}));
    part().i64Offset = 4; // the position was reset after the Fetch was sent
    EXPECT_EQ(next().rc, -1);
    EXPECT_EQ(buffered(), nullptr);
    EXPECT_EQ(gCalls.fetches, (std::vector<std::pair<uint32_t, int64_t>>{{0, 4}}));

    gCalls = {};
    arrive(fetchReply(kCorrel, {0, concat({single(4, "revoked")})}));
    part().u32Assigned = 0;
    EXPECT_EQ(next().rc, -1);
    EXPECT_EQ(buffered(), nullptr);
    EXPECT_TRUE(gCalls.fetches.empty());
}

TEST_F(FetchReply, NothingIsDeliveredWhileTheGroupMembershipIsPending) {
    part().i64Offset = 0;
    arrive(fetchReply(kCorrel, {0, concat({single(0, "m")})}));
    s.pcb->pszGroupID = strdup("g");
    EXPECT_EQ(next().rc, -1);
    EXPECT_NE(buffered(), nullptr) << "kept for when the session is a member again";
    s.pcb->u32GroupJoined = 1;
    EXPECT_EQ(next().value, "m");
    free(s.pcb->pszGroupID);
    s.pcb->pszGroupID = nullptr;
}

// An offset reset after retention and a leader not ready are handled by the
// fetch loop: information lines, not errors that BQXGERR would report.
TEST_F(FetchReply, KafkaErrorGoesToTheFetchLoopWithoutAnotherFetch) {
    struct Case {
        int16_t top, partition, reported;
        const char *logged;
    } cases[] = {{0, 1, 1, "0047"}, {7, 0, 7, "7506"}, {0, 6, 6, "0048"}, {5, 0, 5, "0048"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reported);
        gCalls = {};
        s.pcb->i32LastError = 0;
        part().i64Offset = 3;
        TestReply t{0, concat({single(3, "m")})};
        t.error = c.top;
        t.partitionError = c.partition;
        arrive(fetchReply(kCorrel, t));
        Got g;
        auto log = captureLog([&] { g = next(); });
        EXPECT_EQ(g.rc, -1);
        ASSERT_EQ(numbersOf(log), std::vector<std::string>{c.logged});
        EXPECT_EQ(s.pcb->i32LastError, c.logged[0] == '7' ? 7506 : 0);
        EXPECT_EQ(buffered(), nullptr);
        EXPECT_TRUE(gCalls.fetches.empty());
        EXPECT_EQ(gCalls.partitionErrors, (std::vector<std::pair<uint32_t, int16_t>>{{0, c.reported}}));
    }
}

TEST_F(FetchReply, UsedUpReplyCommitsWhatEarlierCallsDelivered) {
    part().i64Offset = 8;
    s.pcb->u32UncommittedMsgs = 2;
    s.pcb->u32CommitDue = 1;
    arrive(fetchReply(kCorrel, {0, {}}));
    EXPECT_EQ(next().rc, -1);
    EXPECT_EQ(gCalls.commits, 1);
    EXPECT_EQ(s.pcb->u32UncommittedMsgs, 0u);
    EXPECT_EQ(s.pcb->u32CommitDue, 0u);
    EXPECT_EQ(gCalls.fetches.size(), 1u);
}

// Two partitions led by one broker: the reply is read only for the entry
// whose Fetch it answers, and only that entry's offset moves.
TEST_F(FetchReply, ReplyBelongsToThePartitionItWasFetchedFor) {
    part(0).i64Offset = 50;
    part(1).i64Offset = 7;
    arrive(fetchReply(kCorrel, {3, concat({single(7, "p3")})}), 1);
    EXPECT_EQ(next().value, "p3");
    EXPECT_EQ(part(1).i64Offset, 8);
    EXPECT_EQ(part(0).i64Offset, 50);
}

TEST_F(FetchReply, CleanupDropsWhatWaitsOnTheConnection) {
    s.preReply(0, Bytes(10, 0x42));
    s.pcb->pBrokerList[0].u32FetchCorrelID = 9;
    EXPECT_EQ(kafka_cleanupReceive(s.pcb, 0), 0);
    EXPECT_EQ(s.pcb->pBrokerList[0].u32FetchCorrelID, 0u);
    uint8_t left;
    EXPECT_EQ(recv(s.pcb->pBrokerList[0].i32Socket, &left, 1, MSG_DONTWAIT), -1);
}

// The record reader on its own: lengths that disagree with the contents
// are refused, never read past.
TEST(RecordRead, LengthsMustMatchTheContents) {
    struct Case {
        const char *name;
        Bytes bytes;
        bool ok;
    } cases[] = {
        {"plain", encodeRecord({0, "abc", "k"}), true},
        {"headers", encodeRecord({1, "v", std::nullopt, {{"h", std::nullopt}, {"i", "j"}}}), true},
        {"length too long", {0x10, 0, 0, 0, 1, 1, 0}, false},
        {"length too short", {0x0A, 0, 0, 0, 1, 4, 'a', 'b', 0}, false},
        {"value beyond record", {0x0C, 0, 0, 0, 1, 0x40, 'a', 0}, false},
        {"negative key length", {0x0C, 0, 0, 0, 3, 1, 0}, false},
        {"header count too high", {0x0C, 0, 0, 0, 1, 1, 0x7E}, false},
        {"varint never ends", {0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RecordView r;
        const char *problem = record_read(c.bytes.data(), 0, static_cast<uint32_t>(c.bytes.size()), &r);
        EXPECT_EQ(problem == nullptr, c.ok) << (problem ? problem : "");
        if (c.ok) {
            EXPECT_EQ(r.u32End, c.bytes.size());
        }
    }
}

} // namespace
