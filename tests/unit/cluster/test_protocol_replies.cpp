// Reply handlers of ApiVersions, Metadata, SASL and Produce: what they take
// from well-formed replies, and that a reply which ends early or declares
// more than it holds is refused with 7536 without reading past its end.
#include <gtest/gtest.h>

#include <memory>

#include "auth/sasl_scram.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"

using namespace bqxtest;

namespace {

const std::vector<MetaBroker> kThreeBrokers = {
    {1, "alpha", 9192}, {2, "beta", 9292}, {3, "gamma", 9392}};

class MetadataReply : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        s.brokers({}, {}); // bootstrap and coordinator slot only
        s.connect(0);
        s.pcb->pBrokerList[0].u32LastCorrelID = 7;
        s.topic("orders");
    }
    int32_t handle(const ByteVec &reply) {
        return kafka_meta_reply(s.pcb, 0, reply.data(), static_cast<uint32_t>(reply.size()));
    }
    TableSession s;
};

TEST_F(MetadataReply, BuildsBrokerTableAndPartitionList) {
    int bootstrapSocket = s.pcb->pBrokerList[0].i32Socket;
    s.pcb->u32PartitionListIdx = 2;
    ByteVec reply = metadataReply(1, kThreeBrokers, 0, "orders",
                                  {{0, 1, {1, 2}, {2, 1}},
                                   {1, 3, {3}, {3, 2}},
                                   {2, 99, {99}, {}}});
    EXPECT_EQ(handle(reply), 1);

    ASSERT_EQ(s.pcb->u32BrokerCount, 5u);
    const BrokerEntry *table = s.pcb->pBrokerList;
    EXPECT_STREQ(table[0].pszHost, "alpha");
    EXPECT_EQ(table[0].i32Port, 9192);
    EXPECT_EQ(table[1].i32BrokerID, 2);
    EXPECT_STREQ(table[2].pszHost, "gamma");
    EXPECT_EQ(table[2].i32Socket, -1);
    // The bootstrap entry moved behind the brokers with its connection.
    EXPECT_EQ(table[3].i32Socket, bootstrapSocket);
    EXPECT_EQ(table[3].u32LastCorrelID, 7u);
    EXPECT_STREQ(table[3].pszHost, "127.0.0.1");
    EXPECT_EQ(table[4].pszHost, nullptr);
    EXPECT_EQ(table[4].i32Socket, -1);

    ASSERT_EQ(s.pcb->u32PartitionCount, 3u);
    const PartitionEntry *parts = s.pcb->pPartitionList;
    EXPECT_EQ(parts[0].i32BrokerIdx, 0); // leader is the first broker listed
    EXPECT_EQ(parts[0].i32Isr, 1);       // the last in-sync replica listed
    EXPECT_EQ(parts[1].i32BrokerIdx, 2);
    EXPECT_EQ(parts[1].i32Isr, 2);
    EXPECT_EQ(parts[2].i32Leader, 99);
    EXPECT_EQ(parts[2].i32BrokerIdx, -1); // leader not among the brokers
    EXPECT_EQ(parts[2].i32Isr, -1);       // empty in-sync list
    for (int i = 0; i < 3; ++i) EXPECT_EQ(parts[i].u32Assigned, 1u);
    EXPECT_EQ(s.pcb->u32PartitionListIdx, 0u);
}

TEST_F(MetadataReply, TopicErrorLeavesNoPartitions) {
    std::vector<LogLine> log;
    int32_t rc = 0;
    log = captureLog([&] { rc = handle(metadataReply(1, kThreeBrokers, 3, "orders", {})); });
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(s.pcb->u32PartitionCount, 0u);
    EXPECT_EQ(s.pcb->pPartitionList, nullptr);
    EXPECT_EQ(s.pcb->u32BrokerCount, 5u);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].number, "7510");
    EXPECT_NE(log[0].text.find("3 This server does not host this topic"), std::string::npos);
}

TEST_F(MetadataReply, TruncatedReplyChangesNothing) {
    ByteVec full = metadataReply(1, kThreeBrokers, 0, "orders",
                                 {{0, 1, {1, 2}, {2, 1}}, {1, 2, {2}, {2}}});
    captureLines([&] {
        forEachPrefix(full, 0, [&](const uint8_t *reply, uint32_t length) {
            EXPECT_EQ(kafka_meta_reply(s.pcb, 0, reply, length), 7536);
            EXPECT_EQ(s.pcb->u32BrokerCount, 2u);
            EXPECT_EQ(s.pcb->u32PartitionCount, 0u);
        });
    });
    EXPECT_EQ(s.pcb->i32LastError, 7536);
    EXPECT_NE(std::string(s.pcb->szLastError).find("Metadata"), std::string::npos);
}

TEST_F(MetadataReply, CountsBeyondTheReplyAreRefused) {
    // Broker count, partition count, replica count and isr count in turn
    // claim more elements than the reply holds (or are negative).
    ByteVec good = metadataReply(1, {{1, "a", 1}}, 0, "t", {{0, 1, {1}, {1}}});
    size_t brokerCount = 12, partitionCount = good.size() - 26 - 4, replicaCount =
        good.size() - 12 - 4, isrCount = good.size() - 8;
    for (size_t at : {brokerCount, partitionCount, replicaCount, isrCount}) {
        for (uint32_t claimed : {0x7FFFFFFFu, 0xFFFFFFFFu, 3u}) {
            ByteVec bad = good;
            for (int i = 0; i < 4; ++i) bad[at + i] = static_cast<uint8_t>(claimed >> (24 - 8 * i));
            SCOPED_TRACE("count at " + std::to_string(at) + " = " + std::to_string(claimed));
            captureLines([&] { EXPECT_EQ(handle(bad), 7536); });
            EXPECT_EQ(s.pcb->u32BrokerCount, 2u);
        }
    }
}

TEST(ApiVersionsReply, ErrorCodeIs7510) {
    TableSession s;
    s.brokers({4}, {false});
    ByteVec reply = WireBytes().i16(35).i32(0).reply(1);
    std::vector<LogLine> log;
    log = captureLog([&] {
        EXPECT_EQ(kafka_apiversion_reply(s.pcb, 0, reply.data(), reply.size(), 3), 7510);
    });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].tag, "ApiVerRy");
    EXPECT_EQ(log[0].broker, "04");
    EXPECT_NE(log[0].text.find("35 "), std::string::npos);
}

TEST(ApiVersionsReply, ListsKnownApisOnlyAtLevelSix) {
    TableSession s;
    s.brokers({4}, {false});
    // Produce 0-11, an unknown key 999 and Metadata 0-12, each with a tag byte.
    ByteVec reply = WireBytes()
                        .i16(0)
                        .uvarint(4)
                        .i16(0).i16(0).i16(11).i8(0)
                        .i16(999).i16(0).i16(1).i8(0)
                        .i16(3).i16(0).i16(12).i8(0)
                        .i32(0).i8(0)
                        .reply(1);
    s.pcb->iDebugLevel = 5;
    EXPECT_TRUE(captureLines([&] {
        EXPECT_EQ(kafka_apiversion_reply(s.pcb, 0, reply.data(), reply.size(), 3), 0);
    }).empty());
    s.pcb->iDebugLevel = 6;
    std::vector<LogLine> log = captureLog([&] {
        EXPECT_EQ(kafka_apiversion_reply(s.pcb, 0, reply.data(), reply.size(), 3), 0);
    });
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].text.find("supports Produce"), std::string::npos);
    EXPECT_NE(log[0].text.find(" 0-11"), std::string::npos);
    EXPECT_NE(log[1].text.find("supports Metadata"), std::string::npos);
}

TEST(ApiVersionsReply, TruncatedHeaderIs7536) {
    TableSession s;
    s.brokers({4}, {false});
    s.pcb->iDebugLevel = 6;
    ByteVec full = WireBytes().i16(0).uvarint(2).i16(0).i16(0).i16(11).i8(0).i32(0).i8(0).reply(1);
    captureLines([&] {
        forEachPrefix(full, 0, [&](const uint8_t *reply, uint32_t length) {
            // Up to 11 bytes the header or the count is cut (a count with
            // no element behind it claims more than the reply holds); the
            // entries themselves are only read at debug level 6, as far as
            // they are complete.
            int32_t rc = kafka_apiversion_reply(s.pcb, 0, reply, length, 3);
            EXPECT_EQ(rc, length <= 11 ? 7536 : 0);
        });
    });
}

TEST(SaslHandshakeReply, MechanismRejectedIs7510) {
    TableSession s;
    s.brokers({1}, {false});
    ByteVec reply = WireBytes().i16(33).i32(3).str("GSSAPI").str("OAUTHBEARER").str("X\nY").reply(1);
    std::vector<LogLine> log = captureLog([&] {
        EXPECT_EQ(kafka_saslhandshake_reply(s.pcb, 0, reply.data(), reply.size()), 7510);
    });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].tag, "SaslHand");
    EXPECT_NE(log[0].text.find("33 "), std::string::npos);
    EXPECT_NE(log[0].text.find("Enabled: GSSAPI,OAUTHBEARER,X?Y"), std::string::npos) << log[0].text;
}

TEST(SaslHandshakeReply, RefusedPlainTurnsToTheStrongestScramOffered) {
    struct Case {
        const char *what;
        uint32_t current;           // the mechanism the handshake named
        std::vector<std::string> offered;
        int32_t declared;           // the list's count on the wire
        int32_t rc;
        uint32_t chosen;
    } cases[] = {
        {"both", kSaslPlain, {"SCRAM-SHA-256", "SCRAM-SHA-512"}, 2, 0, kSaslScramSha512},
        {"256 only", kSaslPlain, {"SCRAM-SHA-256"}, 1, 0, kSaslScramSha256},
        {"PLAIN listed", kSaslPlain, {"PLAIN", "SCRAM-SHA-512"}, 2, 7510, kSaslPlain},
        {"nothing usable", kSaslPlain, {"GSSAPI"}, 1, 7510, kSaslPlain},
        {"empty list", kSaslPlain, {}, 0, 7510, kSaslPlain},
        {"count beyond the reply", kSaslPlain, {"SCRAM-SHA-512"}, 1000, 7510, kSaslPlain},
        {"SCRAM refused too", kSaslScramSha512, {"SCRAM-SHA-512"}, 1, 7510, kSaslScramSha512},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TableSession s;
        s.brokers({1}, {false});
        s.pcb->pBrokerList[0].u32SaslMechanism = c.current;
        WireBytes w;
        w.i16(33).i32(c.declared);
        for (const std::string &name : c.offered) w.str(name);
        ByteVec reply = w.reply(1);
        std::vector<LogLine> log = captureLog([&] {
            EXPECT_EQ(kafka_saslhandshake_reply(s.pcb, 0, reply.data(), reply.size()), c.rc);
        });
        EXPECT_EQ(log.size(), c.rc ? 1u : 0u);
        EXPECT_EQ(s.pcb->pBrokerList[0].u32SaslMechanism, c.chosen);
        EXPECT_EQ(s.pcb->pBrokerList[0].u32SaslStep, 0u);
    }
}

TEST(SaslHandshakeReply, GoodReplyAndEveryTruncation) {
    TableSession s;
    s.brokers({1}, {false});
    s.pcb->iDebugLevel = 3;
    ByteVec full = WireBytes().i16(0).i32(2).str("PLAIN").str("SCRAM-SHA-256").reply(1);
    std::vector<LogLine> log = captureLog([&] {
        EXPECT_EQ(kafka_saslhandshake_reply(s.pcb, 0, full.data(), full.size()), 0);
    });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].text.find("#Mechanisms = 2, Supported Mechanisms = PLAIN, err = 0"),
              std::string::npos);
    s.pcb->iDebugLevel = 0;
    // The whole list is read: a cut anywhere in it is refused.
    captureLines([&] {
        forEachPrefix(full, 0, [&](const uint8_t *reply, uint32_t length) {
            EXPECT_EQ(kafka_saslhandshake_reply(s.pcb, 0, reply, length), 7536);
        });
    });
}

TEST(SaslAuthenticateReply, FailedAuthenticationShowsBrokerMessage) {
    TableSession s;
    s.brokers({1}, {false});
    ByteVec reply = replyFrame(
        1, saslAuthenticateBody(58, "Authentication failed: Invalid username or password"));
    std::vector<LogLine> log = captureLog([&] {
        EXPECT_EQ(kafka_saslauthenticate_reply(s.pcb, 0, reply.data(), reply.size()), 7510);
    });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text,
              "Error from kafka server: 58 Authentication failed: Invalid username or password");
    // Without a message of its own the error's text is shown.
    reply = replyFrame(1, saslAuthenticateBody(58, ""));
    log = captureLog([&] { kafka_saslauthenticate_reply(s.pcb, 0, reply.data(), reply.size()); });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "Error from kafka server: 58 SASL Authentication failed.");
}

TEST(SaslAuthenticateReply, SuccessAndEveryTruncation) {
    TableSession s;
    s.brokers({1}, {false});
    ByteVec full = replyFrame(1, saslAuthenticateBody(0, ""));
    EXPECT_EQ(kafka_saslauthenticate_reply(s.pcb, 0, full.data(), full.size()), 0);
    captureLines([&] {
        forEachPrefix(full, 0, [&](const uint8_t *reply, uint32_t length) {
            EXPECT_EQ(kafka_saslauthenticate_reply(s.pcb, 0, reply, length), 7536);
        });
    });
}

TEST(SaslAuthenticateReply, HeaderTagsAreNeverTakenForSuccess) {
    // A header tagged-field count shifts every later field; the error byte
    // then reads 0 although nothing confirms the authentication.
    TableSession s;
    s.brokers({1}, {false});
    ByteVec reply = WireBytes().i8(1).i8(0).i8(0).uvarint(1).uvarint(1).i64(0).i8(0).reply(1);
    captureLines([&] {
        EXPECT_EQ(kafka_saslauthenticate_reply(s.pcb, 0, reply.data(), reply.size()), 7536);
    });
}

class ProduceReply : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        s.brokers({1, 2}, {false, false});
        s.partitions({{0, 1, 0}, {1, 1, 0}});
        s.pcb->u32Synchronous = 1; // the handler's error goes back to the caller
    }
    TableSession s;
};

TEST_F(ProduceReply, GoodReplyIsZeroAndErrorsAre7510) {
    ByteVec good = produceReply(5, "orders", 1, 0);
    EXPECT_EQ(kafka_produce_reply(s.pcb, 0, good.data(), good.size()), 0);
    ByteVec bad = produceReply(5, "orders", 1, 2);
    std::vector<LogLine> log = captureLog([&] {
        EXPECT_EQ(kafka_produce_reply(s.pcb, 0, bad.data(), bad.size()), 7510);
    });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].broker, "01");
    EXPECT_EQ(log[0].partition, "01"); // the partition the reply names
}

TEST_F(ProduceReply, ReportsFirstPartitionOfBrokerOrMinusOne) {
    s.pcb->iDebugLevel = 2;
    ByteVec reply = produceReply(9, "orders", 0, 0);
    std::vector<LogLine> log = captureLog([&] {
        kafka_produce_reply(s.pcb, 0, reply.data(), reply.size());
        kafka_produce_reply(s.pcb, 1, reply.data(), reply.size());
    });
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].text, "Reply CorrID=9 Partition=0 #Responses=1 Error=0 OK");
    EXPECT_EQ(log[1].text, "Reply CorrID=9 Partition=-1 #Responses=1 Error=0 OK");
    EXPECT_EQ(log[1].broker, "02");
}

TEST_F(ProduceReply, UpperHalfOfResponseCountIs7506) {
    ByteVec reply = produceReply(9, "orders", 0, 0);
    reply[9] = 3; // responses count 0x00030001
    std::vector<LogLine> log = captureLog([&] {
        EXPECT_EQ(kafka_produce_reply(s.pcb, 0, reply.data(), reply.size()), 7506);
    });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].number, "7506");
    EXPECT_NE(log[0].text.find("#Responses=1 Error=3"), std::string::npos);
}

TEST_F(ProduceReply, TopicNameLongerThanReplyIs7536) {
    for (int claimed : {0x7FFF, 0xFFFE, 200}) {
        ByteVec reply = produceReply(9, "orders", 0, 0);
        reply[12] = static_cast<uint8_t>(claimed >> 8);
        reply[13] = static_cast<uint8_t>(claimed);
        captureLines([&] {
            EXPECT_EQ(kafka_produce_reply(s.pcb, 0, reply.data(), reply.size()), 7536);
        });
    }
}

TEST_F(ProduceReply, EveryTruncationIs7536UntilTheErrorIsRead) {
    ByteVec full = produceReply(9, "orders", 0, 0);
    size_t needed = 4 + 4 + 4 + 2 + 6 + 4 + 4 + 2 + 8 + 4;
    captureLines([&] {
        forEachPrefix(full, 0, [&](const uint8_t *reply, uint32_t length) {
            EXPECT_EQ(kafka_produce_reply(s.pcb, 0, reply, length), length < needed ? 7536 : 0);
        });
    });
}

// A Produce request (version 7) with one batch per partition, each with the
// given record count (batch header only: the handler reads the counts).
ByteVec batchedRequest(const std::vector<std::pair<int32_t, int32_t>> &partitionRecords) {
    WireBytes w;
    w.i32(0).i16(0).i16(7).i32(5).str("bqx").i16(-1).i16(1).i32(1500).i32(1).str("orders");
    w.i32(static_cast<int64_t>(partitionRecords.size()));
    for (auto [partition, records] : partitionRecords) {
        w.i32(partition).i32(61).i64(0).i32(49).i32(0).i8(2).i32(0).i16(0).i32(records - 1);
        w.i64(0).i64(0).i64(-1).i16(-1).i32(-1).i32(records);
    }
    return w.bytes;
}

// Each partition result settles the records its batch carried; partitions
// the reply leaves out fail with 7536, as does a cut-short reply's rest.
TEST_F(ProduceReply, EveryPartitionSettlesTheRecordsOfItsBatch) {
    s.pcb->u32Synchronous = 0;
    ByteVec request = batchedRequest({{0, 3}, {1, 5}, {2, 7}});
    struct Case {
        const char *name;
        std::vector<std::pair<int32_t, int16_t>> results; // partition, error code
        int cut;                                          // bytes cut off the reply's end
        uint64_t acknowledged, failed;
        int32_t firstError;
    };
    const Case cases[] = {
        {"all acknowledged", {{0, 0}, {1, 0}, {2, 0}}, 0, 15, 0, 0},
        {"one refused", {{0, 0}, {1, 6}, {2, 0}}, 0, 10, 5, 7510},
        {"order of the reply", {{2, 10}, {0, 0}, {1, 0}}, 0, 8, 7, 7510},
        {"partition left out", {{0, 0}, {1, 0}}, 0, 8, 7, 7536},
        {"reply cut short", {{0, 0}, {1, 0}, {2, 0}}, 30, 8, 7, 7536},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        s.pcb->ullMsgsProduced = 0;
        s.pcb->ullProduceFailed = 0;
        s.pcb->i32ProduceFirstError = 0;
        WireBytes w;
        w.i32(1).str("orders").i32(static_cast<int64_t>(c.results.size()));
        for (auto [partition, error] : c.results)
            w.i32(partition).i16(error).i64(42).i64(-1).i64(0);
        w.i32(0);
        ByteVec reply = w.reply(5);
        reply.resize(reply.size() - static_cast<size_t>(c.cut));
        captureLines([&] {
            EXPECT_EQ(kafka_produce_reply_to(s.pcb, 0, reply.data(),
                                             static_cast<uint32_t>(reply.size()), request.data(),
                                             static_cast<uint32_t>(request.size())),
                      0); // pipelined: the failure waits for the synch point
        });
        EXPECT_EQ(s.pcb->ullMsgsProduced, c.acknowledged);
        EXPECT_EQ(s.pcb->ullProduceFailed, c.failed);
        EXPECT_EQ(s.pcb->i32ProduceFirstError, c.firstError);
    }
}

// Texts from a broker reach the log with their control characters replaced:
// a line break cannot forge a line, an escape sequence cannot reach the
// terminal. Each reply kind shows its text at debug level 5.
TEST(BrokerTexts, ControlCharactersNeverReachTheLog) {
    const std::string forgedStamp = "12/09/2026 19:00:00.000";
    const std::string hostile = "x\r\n" + forgedStamp + " BQX0007I Log      -- -- forged\x1b[0m";
    using Handler = int32_t (*)(PCB *, uint32_t, const uint8_t *, uint32_t);
    struct Case {
        const char *name;
        Handler handler;
        ByteVec reply;
    } cases[] = {
        {"SaslAuthenticate error message", kafka_saslauthenticate_reply,
         WireBytes().i8(0).i8(0).i8(58).compact(hostile).uvarint(0).i64(0).i8(0).reply(1)},
        {"SaslHandshake mechanism", kafka_saslhandshake_reply,
         WireBytes().i16(33).i32(1).str(hostile).reply(1)},
        {"FindCoordinator error message", kafka_findcoordinator_reply,
         WireBytes().i32(0).i16(15).str(hostile).i32(1).str("h").i32(9092).reply(1)},
        {"Metadata host name", kafka_meta_reply,
         metadataReply(1, {{1, hostile, 9092}}, 0, "orders", {{0, 1, {1}, {1}}})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TableSession s;
        s.brokers({}, {});
        s.connect(0);
        s.topic("orders");
        s.pcb->iDebugLevel = 5;
        std::vector<std::string> lines = captureLines(
            [&] { c.handler(s.pcb, 0, c.reply.data(), static_cast<uint32_t>(c.reply.size())); });
        bool shown = false;
        for (const std::string &line : lines) {
            shown |= line.find("forged") != std::string::npos;
            EXPECT_NE(line.rfind(forgedStamp, 0), 0u) << line;
            for (char ch : line)
                EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) << line;
        }
        EXPECT_TRUE(shown);
        EXPECT_EQ(std::string(s.pcb->szLastError).find('\n'), std::string::npos);
    }
}

} // namespace
