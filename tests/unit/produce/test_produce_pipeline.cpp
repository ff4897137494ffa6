// Pipelined produce against the fake broker: error replies of messages
// whose BQXPROD has long returned reach the next synch point (BQXSYNC) or
// at least the log of the close, every reply is awaited, dropped requests
// are warned about, and only acknowledged messages are counted.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/pcb.h"
#include "bqx.h"
#include "protocol/protocol.h"
#include "support/fake_cluster.h"

using namespace bqxtest;

namespace {

constexpr const char *kTopic = "orders";

// How the fake answers one Produce request.
// The late ones come after 150 ms, and every later reply behind them.
enum class Answer { kOk, kTooLarge, kNotLeader, kBadCount, kNone, kClose, kLate, kLateTooLarge };

FakeAction produceAnswer(Answer answer) {
    bool late = answer == Answer::kLate || answer == Answer::kLateTooLarge;
    if (answer == Answer::kLateTooLarge) answer = Answer::kTooLarge;
    int16_t error = answer == Answer::kTooLarge ? 10 : answer == Answer::kNotLeader ? 6 : 0;
    Bytes body = produceReplyBody(kTopic, {{0, error}});
    if (answer == Answer::kBadCount)
        body[1] = 3; // responses count 0x00030001: the upper half is the reply's error
    if (answer == Answer::kNone)
        return FakeAction::noReply();
    if (answer == Answer::kClose)
        return FakeAction::close();
    FakeAction action = FakeAction::reply(body);
    return late ? action.delayed(150) : action;
}

class ProducePipeline : public ::testing::Test {
  protected:
    void SetUp() override {
        cluster.onProduce([this](size_t, const ProduceRequest &) { return answer(); });
        connect();
    }
    void connect() {
        session = std::make_unique<ClusterSession>(1);
        ASSERT_EQ(session->connect(cluster), 0);
        pcb = session->pcb;
    }

    FakeAction answer() {
        std::lock_guard<std::mutex> lock(answersMutex);
        size_t index = produced++;
        return produceAnswer(index < answers.size() ? answers[index] : Answer::kOk);
    }
    // The answers to the coming Produce requests, counted from the first.
    void script(const std::vector<Answer> &next) {
        std::lock_guard<std::mutex> lock(answersMutex);
        answers = next;
        produced = 0;
    }
    int32_t produce(int i) { return session->produce("", "m" + std::to_string(i)); }
    int32_t sync(int32_t mode, uint32_t window = 100) { return session->sync(mode, window, 1); }
    int32_t close() { return session->close(); }
    std::vector<LogLine> numbered(const std::string &number) const {
        return session->numbered(number);
    }
    uint32_t pending() const { return pcb->pBrokerList[0].u32PendingCount; }
    static std::string countLine(int failed, int first) {
        return std::to_string(failed) +
               " produced messages failed since the last synch point, the first with error " +
               std::to_string(first);
    }

    std::mutex answersMutex; // the fake's thread reads what the test sets
    std::vector<Answer> answers;
    std::atomic<size_t> produced{0};
    PCB *pcb = nullptr;
    FakeCluster cluster{kTopic, 1, {1}};     // its threads end before the members they read go
    std::unique_ptr<ClusterSession> session; // closed before the cluster ends
};

// Synch mode 0: BQXPROD returns 0 for every message it sent, also when a
// full window made it take in error replies of earlier messages; BQXSYNC 2
// waits for every reply and returns the first failure once. Requests lost
// with their connection fail their messages too.
TEST_F(ProducePipeline, FailuresReachTheNextSynchPointOnce) {
    using A = Answer;
    struct Case {
        const char *name;
        uint32_t window;
        std::vector<Answer> answers;
        int32_t first;
        int failed;
        bool lastUnanswered;
    } cases[] = {
        {"window above the run", 100, {A::kOk, A::kTooLarge, A::kOk, A::kNotLeader, A::kOk}, 7510, 2, false},
        {"window exhausted by errors", 2, {A::kLateTooLarge, A::kNotLeader, A::kOk, A::kTooLarge, A::kOk, A::kOk}, 7510, 3, false},
        {"first failure decides", 2, {A::kOk, A::kBadCount, A::kTooLarge, A::kOk}, 7506, 2, false},
        {"failure wins over the time-out", 100, {A::kTooLarge, A::kOk, A::kNone}, 7510, 1, true},
        {"connection lost with requests pending", 100, {A::kNone, A::kNone, A::kClose}, 5005, 3, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        session.reset();
        script(c.answers);
        connect();
        ASSERT_EQ(sync(0, c.window), 0);
        for (size_t i = 0; i < c.answers.size(); ++i) EXPECT_EQ(produce(static_cast<int>(i)), 0) << i;
        EXPECT_EQ(sync(2), c.first);
        size_t sent = c.answers.size();
        EXPECT_EQ(pending(), c.lastUnanswered ? 1u : 0u) << "every reply was awaited";
        EXPECT_EQ(numbered("7510").size() + numbered("7506").size() + numbered("5005").size(),
                  static_cast<size_t>(c.failed)) << "each failure was logged";
        EXPECT_EQ(numbered("7515").size(), c.lastUnanswered ? 1u : 0u);
        ASSERT_EQ(numbered("5007").size(), 1u);
        EXPECT_EQ(numbered("5007")[0].text, countLine(c.failed, c.first));
        EXPECT_EQ(numbered("5007")[0].severity, "W");
        EXPECT_EQ(sync(2), c.lastUnanswered ? 7515 : 0) << "the failure was forgotten";
        EXPECT_EQ(numbered("5007").size(), 1u);
        int acked = static_cast<int>(sent) - c.failed - (c.lastUnanswered ? 1 : 0);
        EXPECT_EQ(pcb->ullMsgsProduced, static_cast<uint64_t>(acked));
    }
}

// The close waits for every reply, error replies included, warns for each
// request it gives up on, logs the failures kept, and counts only the
// acknowledged messages; BQXCLSE still returns 0.
TEST_F(ProducePipeline, CloseAwaitsEveryReplyAndWarnsForTheRest) {
    using A = Answer;
    struct Case {
        const char *name;
        std::vector<Answer> answers;
        int acked;
        std::vector<int> dropped; // correlation ids
        std::string countLine;
    } cases[] = {
        {"replies after an error reply", {A::kLate, A::kTooLarge, A::kOk, A::kOk}, 3, {}, countLine(1, 7510)},
        {"broker stops answering", {A::kLate, A::kNone, A::kNone}, 1, {3, 4}, countLine(2, 5005)},
        {"error reply then silence", {A::kTooLarge, A::kNone}, 0, {3}, countLine(2, 7510)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        session.reset();
        script(c.answers);
        connect();
        ASSERT_EQ(sync(0, 100), 0);
        for (size_t i = 0; i < c.answers.size(); ++i) ASSERT_EQ(produce(static_cast<int>(i)), 0);
        EXPECT_EQ(close(), 0);
        std::vector<LogLine> warned = numbered("5005");
        ASSERT_EQ(warned.size(), c.dropped.size());
        for (size_t i = 0; i < warned.size(); ++i)
            EXPECT_EQ(warned[i].text.rfind("No Reply received for 0/Produce, CorrelID " +
                                               std::to_string(c.dropped[i]) + " ", 0), 0u)
                << warned[i].text;
        ASSERT_EQ(numbered("5007").size(), 1u);
        EXPECT_EQ(numbered("5007")[0].text, c.countLine);
        ASSERT_EQ(numbered("0018").size(), 1u);
        EXPECT_EQ(numbered("0018")[0].text.rfind("Stats: #Msgs produce: " + std::to_string(c.acked) + "  consume: 0", 0), 0u);
    }
}

// Switching to synch mode 1 is a synch point too. A synchronous BQXPROD
// returns its own reply's error; the next synch point does not report that
// message a second time. (A leader error would be sent again: the refusal
// here is one that no other leader would take.)
TEST_F(ProducePipeline, SynchronousFailureIsReportedOnlyByItsCall) {
    script({Answer::kTooLarge, Answer::kOk, Answer::kTooLarge, Answer::kOk});
    ASSERT_EQ(sync(0), 0);
    EXPECT_EQ(produce(0), 0);
    EXPECT_EQ(sync(1), 7510) << "the pipelined failure";
    ASSERT_EQ(numbered("5007").size(), 1u);
    EXPECT_EQ(numbered("5007")[0].text, countLine(1, 7510));
    EXPECT_EQ(produce(1), 0);
    EXPECT_EQ(produce(2), 7510);
    EXPECT_EQ(produce(3), 0);
    EXPECT_EQ(sync(2), 0);
    EXPECT_EQ(numbered("5007").size(), 1u);
    EXPECT_EQ(pcb->ullMsgsProduced, 2u);
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(numbered("5007").size(), 1u);
}

// A Produce request copy counted by the record counts of its batches: the
// request as built today, one with two partitions of several records, and
// every cut-off prefix, which must neither read beyond the copy nor count
// fewer than one message.
TEST(ProduceDropped, CountsTheRecordsOfEveryBatch) {
    auto batch = [](int32_t records) {
        WireBytes b;
        b.i64(0).i32(61 - 12).i32(0).i8(2).i32(0).i16(0).i32(records - 1);
        b.i64(1).i64(1).i64(-1).i16(-1).i32(-1).i32(records);
        return b.bytes;
    };
    auto request = [&](const std::vector<std::vector<int32_t>> &partitions) {
        WireBytes w;
        w.i32(0).i16(0).i16(7).i32(9).str("BqX").i16(-1).i16(1).i32(1500).i32(1).str(kTopic);
        w.i32(static_cast<int64_t>(partitions.size()));
        for (size_t p = 0; p < partitions.size(); ++p) {
            ByteVec records;
            for (int32_t count : partitions[p]) {
                ByteVec one = batch(count);
                records.insert(records.end(), one.begin(), one.end());
            }
            w.i32(static_cast<int64_t>(p)).i32(static_cast<int64_t>(records.size()));
            w.bytes.insert(w.bytes.end(), records.begin(), records.end());
        }
        return w.bytes;
    };
    TableSession s;
    struct Case {
        std::vector<std::vector<int32_t>> partitions;
        uint64_t messages;
    } cases[] = {{{{1}}, 1}, {{{3}, {2}}, 5}, {{{2, 4}}, 6}};
    for (const Case &c : cases) {
        ByteVec bytes = request(c.partitions);
        s.pcb->ullProduceFailed = 0;
        kafka_produce_dropped(s.pcb, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
        EXPECT_EQ(s.pcb->ullProduceFailed, c.messages);
        EXPECT_EQ(s.pcb->i32ProduceFirstError, 5005);
        for (size_t length = 6; length < bytes.size(); ++length) {
            ByteVec cut(bytes.begin(), bytes.begin() + static_cast<long>(length));
            s.pcb->ullProduceFailed = 0;
            kafka_produce_dropped(s.pcb, 0, cut.data(), static_cast<uint32_t>(cut.size()));
            EXPECT_GE(s.pcb->ullProduceFailed, 1u) << length;
            EXPECT_LE(s.pcb->ullProduceFailed, c.messages) << length;
        }
    }
    ByteVec other = request({{1}});
    other[5] = 1; // a Fetch request is no message
    s.pcb->ullProduceFailed = 0;
    kafka_produce_dropped(s.pcb, 0, other.data(), static_cast<uint32_t>(other.size()));
    EXPECT_EQ(s.pcb->ullProduceFailed, 0u);
    kafka_produce_dropped(s.pcb, 0, other.data(), 5);
    EXPECT_EQ(s.pcb->ullProduceFailed, 0u);
    s.pcb->ullProduceFailed = 0;
}

} // namespace
