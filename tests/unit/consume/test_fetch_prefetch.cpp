// Fetches that name every partition of a broker, and the next Fetch sent
// while the last reply is still read: each partition's section is read on
// its own, the next Fetch continues behind the buffered batches, and a
// buffer is delivered only from the position its Fetch asked for.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/consumer.h"
#include "support/fetch_reply_builder.h"
#include "support/log_capture.h"
#include "test_fetch_support.h"

using namespace bqxtest;

namespace {

class Prefetch : public FetchTest {
  protected:
    void SetUp() override {
        FetchTest::SetUp();
        s.brokers({1}, {true});
        s.partitions({{0, 1, 0}, {1, 1, 0}, {2, 1, 0}});
        part(0).i64Offset = 100;
        part(1).i64Offset = 200;
        // p2 is assigned but never named: its offset is not known yet.
        part(2).i64RetryAtMs = INT64_MAX;
        broker(0).i32FetchPartitionIdx = -1;
        for (uint32_t i = 0; i < 3; ++i)
            initial[i] = part(i);
    }
    struct Sent {
        ParsedRequest parsed;
        std::vector<int32_t> named;
    };
    // The broker's next Fetch (sent by a round, or already by the reading).
    Sent fetch() {
        captureLines([&] { EXPECT_EQ(kafka_fetch_all(s.pcb), 0); });
        ByteVec raw = s.takeRequest(0);
        return {parseRequest(raw), fetchedPartitions(raw)};
    }
    // The offset the Fetch asks for partition `partition`, -1 if unnamed.
    static int64_t offsetOf(const Sent &sent, int32_t partition) {
        for (uint32_t k = 0; k < sent.named.size(); ++k) {
            if (sent.named[k] != partition)
                continue;
            RequestReader in{sent.parsed.body};
            in.pos = 4 + 4 + 4 + 4 + 1 + 4 + 4 + 4;
            in.str();
            in.pos += 4 + k * 28 + 4 + 4;
            return static_cast<int64_t>(in.be(8));
        }
        return -1;
    }
    PartitionEntry initial[3];
    // Answers the outstanding Fetch with `parts`, as the transport does.
    void answer(uint32_t correlId, const std::vector<TestReply> &parts, bool damageFirst = false) {
        Bytes reply = fetchReplyOf(static_cast<int32_t>(correlId), parts);
        if (damageFirst)
            reply.back() ^= 0x01; // the last record byte: its batch's CRC fails
        EXPECT_EQ(kafka_fetch_reply(s.pcb, 0, reply.data(), static_cast<uint32_t>(reply.size()),
                                    correlId),
                  0);
        completeOldest(broker(0));
    }
    // Every value delivered until nothing is left.
    std::vector<std::string> drain() {
        std::vector<std::string> got;
        captureLines([&] {
            for (int k = 0; k < 20; ++k) {
                char out[64];
                uint32_t length = sizeof out - 1;
                int32_t rc = kafka_checkReplyBuffers(s.pcb, "orders", out, &length);
                if (rc != 0)
                    break;
                got.push_back(std::string(out, length));
            }
        });
        return got;
    }
};

Bytes batch(int64_t base, std::vector<std::string> values) {
    TestBatch t{base, {}};
    for (size_t i = 0; i < values.size(); ++i)
        t.records.push_back({static_cast<int32_t>(i), values[i]});
    return concat({t});
}

// The second Fetch goes out before the first reply is read, and asks for
// p0 behind the batches already buffered; what is read then depends on
// whether the position still is where each buffer continues.
TEST_F(Prefetch, NextFetchContinuesBehindTheBufferAndDeliversEachRecordOnce) {
    struct Case {
        const char *name;
        std::function<void(PartitionEntry &)> between; // on p0 // after both replies arrived
        bool damageFirst;
        std::vector<std::string> delivered;
        int64_t p0After;   // p0's position after reading
        int64_t refetchAt; // where the following Fetch asks for p0
    };
    const Case cases[] = {
        {"in order", [](PartitionEntry &) {}, false, {"x", "a", "b", "c"}, 103, 103},
        {"position reset meanwhile (a rejoin)",
         [](PartitionEntry &p) { p.i64Offset = 101; },
         false,
         {"x"},
         101,
         101},
        {"no longer assigned", [](PartitionEntry &p) { p.u32Assigned = 0; }, false, {"x"}, 100, -1},
        {"first reply damaged: the later one is not delivered past it",
         [](PartitionEntry &) {},
         true,
         {"x"},
         100,
         100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sent first = fetch();
        ASSERT_EQ(first.named, (std::vector<int32_t>{0, 1}));
        // p0 last, so that damage to the reply's last byte hits its batch;
        // a section for p2, which the Fetch did not name, is not kept.
        answer(first.parsed.correlId,
               {{1, batch(200, {"x"})}, {2, batch(0, {"stray"})}, {0, batch(100, {"a", "b"})}},
               c.damageFirst);
        EXPECT_EQ(part(0).i64Offset, 100) << "nothing delivered on arrival";

        Sent second = fetch();
        ASSERT_EQ(second.named, (std::vector<int32_t>{1, 0})) << "p1 first in turn";
        EXPECT_EQ(offsetOf(second, 1), 201);
        EXPECT_EQ(offsetOf(second, 0), 102) << "behind the buffered batch";
        answer(second.parsed.correlId, {{1, {}}, {0, batch(102, {"c"})}});

        c.between(part(0));
        EXPECT_EQ(drain(), c.delivered);
        EXPECT_EQ(part(0).i64Offset, c.p0After);
        Sent next = fetch();
        for (int k = 0; k < 2 && offsetOf(next, 0) != c.refetchAt; ++k) {
            // Sent before the reading found the position moved: not delivered.
            answer(next.parsed.correlId, {{0, batch(offsetOf(next, 0), {"late"})}});
            EXPECT_EQ(drain(), std::vector<std::string>{});
            next = fetch();
        }
        EXPECT_EQ(offsetOf(next, 0), c.refetchAt);

        completeOldest(broker(0));
        kafka_fetch_drop_replies(&broker(0));
        for (uint32_t i = 0; i < 3; ++i)
            part(i) = initial[i];
        broker(0).i32FetchPartitionIdx = -1;
    }
}

// OFFSET_OUT_OF_RANGE answers the Fetch that went out while p0's first
// reply was read (the log start moved past it): what that reply holds is
// delivered, then the position resets to the log start ListOffsets finds,
// and a reply sent for the old position meanwhile is never delivered.
TEST_F(Prefetch, OffsetOutOfRangeOnThePrefetchResetsWithoutStaleRecords) {
    for (bool roundBetween : {false, true}) {
        SCOPED_TRACE(roundBetween ? "a round before the reading" : "read at once");
        Sent first = fetch();
        answer(first.parsed.correlId, {{1, {}}, {0, batch(100, {"a", "b"})}});
        Sent second = fetch();
        ASSERT_EQ(offsetOf(second, 0), 102) << "the prefetch";
        TestReply outOfRange{0};
        outOfRange.partitionError = 1;
        answer(second.parsed.correlId, {{1, {}}, outOfRange});
        // A round before the reading: the error counts as one of p0's two replies.
        EXPECT_TRUE(!roundBetween || fetch().named.empty()) << "p0 holds both: none sent";
        EXPECT_EQ(drain(), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(part(0).i64Offset, -1) << "reset: the log start is looked up";
        if (broker(0).pPendingHead) {
            // Sent by the reading before it met the error: its records are stale.
            ByteVec raw = s.takeRequest(0);
            Sent late{parseRequest(raw), fetchedPartitions(raw)};
            int64_t at = offsetOf(late, 0);
            answer(late.parsed.correlId, {{0, at >= 0 ? batch(at, {"stale"}) : Bytes{}}});
        }
        part(0).i64RetryAtMs = 1; // the back-off has passed
        s.preReply(0, listOffsetsReply(static_cast<int32_t>(broker(0).u32LastCorrelID + 1), 0,
                                       "orders", {{0, 0, 150}}));
        captureLines([&] { EXPECT_EQ(kafka_fetch_all(s.pcb), 0); });
        EXPECT_EQ(parseRequest(s.takeRequest(0)).key, 2);
        ByteVec raw = s.takeRequest(0);
        Sent reset{parseRequest(raw), fetchedPartitions(raw)};
        EXPECT_EQ(offsetOf(reset, 0), 150);
        answer(reset.parsed.correlId, {{0, batch(150, {"n"})}});
        EXPECT_EQ(drain(), std::vector<std::string>{"n"}) << "nothing of the dropped replies";
        EXPECT_EQ(part(0).i64Offset, 151);

        if (broker(0).pPendingHead)
            (void)s.takeRequest(0); // the Fetch that follows "n"
        completeOldest(broker(0));
        kafka_fetch_drop_replies(&broker(0));
        for (uint32_t i = 0; i < 3; ++i)
            part(i) = initial[i];
        broker(0).i32FetchPartitionIdx = -1;
    }
}

} // namespace
