// BQXCONN and BQXAUTH against a scripted broker on 127.0.0.1: the bootstrap
// text, the requests of the connect sequence (ApiVersions, SASL, Metadata)
// byte for byte, and the refusal of arguments and texts that do not fit.
#include <gtest/gtest.h>

#include "log/messages.h"
#include "protocol/protocol.h"
#include "support/fake_broker.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"

using namespace bqxtest;

namespace {

// A host name that fails to resolve without asking any name server: its
// first label is longer than the 63 bytes a DNS label may have.
const std::string kNoSuchHost = std::string(64, 'a') + ".invalid";

Bytes metadataBody(int16_t topicError, const std::string &topic, int port) {
    return bodyOf(metadataReply(0, {{1, "127.0.0.1", port}, {2, "127.0.0.1", port}}, topicError,
                                topic, {{2, 1, {1}, {1}}, {0, 1, {1}, {1}}, {1, 2, {2}, {2}}}));
}

Bytes behindHeader(const FakeRequest &request) {
    return Bytes(request.raw.begin() + kRequestHeaderBytes, request.raw.end());
}

class Connect : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(s.pcb, nullptr); }
    int32_t conn(const std::string &bootstrap, const std::string &topic) {
        int32_t rc = 0;
        log = captureLog([&] {
            rc = BQXCONN(s.handle, bootstrap.data(), static_cast<int32_t>(bootstrap.size()),
                         topic.data(), static_cast<int32_t>(topic.size()));
        });
        return rc;
    }
    std::string local(const FakeBroker &broker) {
        return "127.0.0.1:" + std::to_string(broker.port());
    }
    TableSession s;
    std::vector<LogLine> log;
};

TEST_F(Connect, BuildsTablesAndClosesBootstrapConnection) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(metadataBody(0, "orders", broker.port())));
    ASSERT_EQ(conn(local(broker), "orders"), 0);

    std::vector<FakeRequest> requests = broker.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].apiKey, 18);
    EXPECT_EQ(behindHeader(requests[0]),
              (WireBytes().i8(0).compact("BqX").compact("1.2").i8(0).bytes));
    EXPECT_EQ(requests[1].apiKey, 3);
    EXPECT_EQ(requests[1].apiVersion, 4);
    EXPECT_EQ(requests[1].correlId, 2);
    EXPECT_EQ(behindHeader(requests[1]), (WireBytes().i32(1).str("orders").i8(0).bytes));

    ASSERT_EQ(s.pcb->u32BrokerCount, 4u);
    const BrokerEntry &bootstrap = s.pcb->pBrokerList[2];
    EXPECT_STREQ(bootstrap.pszHost, "127.0.0.1");
    EXPECT_EQ(bootstrap.i32Port, broker.port());
    EXPECT_EQ(bootstrap.i32Socket, -1);
    EXPECT_EQ(bootstrap.pPendingHead, nullptr);
    EXPECT_EQ(s.pcb->pBrokerList[3].pszHost, nullptr);
    ASSERT_EQ(s.pcb->u32PartitionCount, 3u);
    for (int32_t i = 0; i < 3; ++i) { // listed 2, 0, 1 by the broker: kept in id order
        EXPECT_EQ(s.pcb->pPartitionList[i].i32Partition, i);
        EXPECT_EQ(s.pcb->pPartitionList[i].i32Leader, i == 1 ? 2 : 1);
    }
    EXPECT_STREQ(s.pcb->pszTopic, "orders");
    EXPECT_TRUE(log.empty()) << log[0].text;
}

TEST_F(Connect, SecondConnectStartsAfresh) {
    FakeBroker first;
    first.script(FakeAction::reply(apiVersionsBody()));
    first.script(FakeAction::reply(metadataBody(0, "orders", first.port())));
    ASSERT_EQ(conn(local(first), "orders"), 0);
    s.pcb->iDebugLevel = 3;

    FakeBroker second;
    second.script(FakeAction::reply(apiVersionsBody()));
    second.script(FakeAction::reply(
        bodyOf(metadataReply(0, {{7, "127.0.0.1", 1}}, 0, "audit", {{0, 7, {7}, {7}}}))));
    ASSERT_EQ(conn(local(second), "audit"), 0);
    EXPECT_EQ(s.pcb->u32BrokerCount, 3u);
    EXPECT_EQ(s.pcb->pBrokerList[0].i32BrokerID, 7);
    EXPECT_EQ(s.pcb->u32PartitionCount, 1u);
    EXPECT_STREQ(s.pcb->pszTopic, "audit");
    EXPECT_EQ(s.pcb->iDebugLevel, 3); // settings survive
}

TEST_F(Connect, UnknownTopicIs7510WithoutPartitions) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(metadataBody(3, "nosuch", broker.port())));
    EXPECT_EQ(conn(local(broker), "nosuch"), 7510);
    EXPECT_TRUE(logged(log, "7510", "3 This server does not host this topic"));
    EXPECT_EQ(s.pcb->u32PartitionCount, 0u);
    // A later produce call finds no partition list.
    int32_t rc = 0;
    captureLines([&] { rc = BQXPROD(s.handle, "", 0, "m", 1, 0); });
    EXPECT_EQ(rc, 7508);
}

TEST_F(Connect, BrokerClosingInsteadOfAnsweringIs7501) {
    // A SASL listener asked for metadata without credentials drops the
    // connection: no reply, no partition list, and no success either.
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::close());
    EXPECT_EQ(conn(local(broker), "orders"), 7501);
    EXPECT_TRUE(logged(
        log, "7501", "authentication required (127.0.0.1:" + std::to_string(broker.port()) + ")"));
    EXPECT_EQ(s.pcb->u32PartitionCount, 0u);
}

TEST_F(Connect, TopicMustFitTheMetadataRequest) {
    // 1024 bytes hold the 17-byte header, 7 bytes of other fields and 1000
    // bytes of topic name (room for the longest client id too).
    FakeBroker broker;
    std::string longest(1000, 't');
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(metadataBody(0, longest, broker.port())));
    EXPECT_EQ(conn(local(broker), longest), 0);

    FakeBroker refused;
    EXPECT_EQ(conn(local(refused), longest + "t"), 7514);
    ASSERT_EQ(refused.requests().size(), 1u); // ApiVersions only
    EXPECT_EQ(s.pcb->i32LastError, 7514);
}

TEST_F(Connect, BootstrapTextGivesHostAndPort) {
    struct Case {
        std::string text, host;
        int32_t port;
    } cases[] = {
        {kNoSuchHost, kNoSuchHost, 9092},
        {kNoSuchHost + ":", kNoSuchHost, 0},
        {kNoSuchHost + ":12ab", kNoSuchHost, 12},
        // Every server of a list is tried: the last one is left in the entry.
        {kNoSuchHost + ":1234,b.invalid:5", "b.invalid", 5},
        {kNoSuchHost + ",,b.invalid", "b.invalid", 9092},
        {kNoSuchHost + ":99999999999", kNoSuchHost, INT32_MAX},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(conn(c.text, "orders"), 7500);
        EXPECT_TRUE(logged(log, "7500", "getaddrinfo()"));
        ASSERT_EQ(s.pcb->u32BrokerCount, 2u);
        EXPECT_EQ(s.pcb->pBrokerList[0].pszHost, c.host);
        EXPECT_EQ(s.pcb->pBrokerList[0].i32Port, c.port);
        EXPECT_EQ(s.pcb->pBrokerList[0].i32Socket, -1);
    }
}

TEST_F(Connect, InvalidArgumentsLeaveSessionAlone) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(metadataBody(0, "orders", broker.port())));
    ASSERT_EQ(conn(local(broker), "orders"), 0);
    const BrokerEntry *table = s.pcb->pBrokerList;

    struct Case {
        const char *bootstrap;
        int32_t bootstrapLen;
        const char *topic;
        int32_t topicLen;
        int32_t rc;
        std::string text;
    } cases[] = {
        {"", 0, "t", 1, 7519, "BrokerID -1 (\"\")"},
        {":9092", 5, "t", 1, 7519, "BrokerID -1 (\":9092\")"},
        {",h:1", 4, "t", 1, 7519, "(\",h:1\")"},
        {nullptr, 9, "t", 1, 7519, "(\"\")"},
        {"h:1", -3, "t", 1, 7519, "(\"\")"},
        {"h:1", 3, nullptr, 5, 7536, "invalid argument: null topic with length 5"},
        {"h:1", 3, "t", -1, 7536, "invalid argument: topic length -1"},
        {"h:1", 3, "t", 0, 7536, "invalid argument: empty topic"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        int32_t rc = 0;
        log = captureLog([&] { rc = BQXCONN(s.handle, c.bootstrap, c.bootstrapLen, c.topic, c.topicLen); });
        EXPECT_EQ(rc, c.rc);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].number, std::to_string(c.rc));
        EXPECT_NE(log[0].text.find(c.text), std::string::npos) << log[0].text;
        EXPECT_EQ(s.pcb->i32LastError, c.rc);
        EXPECT_EQ(s.pcb->pBrokerList, table); // the connection made before stays
    }
    int32_t rc = 0;
    log = captureLog([&] { rc = BQXCONN(BQX_MAX_SESSIONS, "h", 1, "t", 1); });
    EXPECT_EQ(rc, 7502);
}

TEST_F(Connect, SaslPlainSendsHandshakeAndCredentials) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(saslHandshakeBody(0)));
    broker.script(FakeAction::reply(saslAuthenticateBody(0, "", "", 3600000)));
    broker.script(FakeAction::reply(metadataBody(0, "orders", broker.port())));
    ASSERT_EQ(BQXAUTH(s.handle, "alice", 5, "s3cr3t", 6), 0);
    s.pcb->iDebugLevel = 5; // hex dumps of every request and reply
    ASSERT_EQ(conn(local(broker), "orders"), 0);

    std::vector<FakeRequest> requests = broker.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].apiKey, 17);
    EXPECT_EQ(behindHeader(requests[1]), (WireBytes().str("PLAIN").bytes));
    EXPECT_EQ(requests[2].apiKey, 36);
    EXPECT_EQ(requests[2].apiVersion, 2);
    Bytes expected = WireBytes().i8(0).uvarint(14).i8(0).raw("alice").i8(0).raw("s3cr3t").i8(0).bytes;
    EXPECT_EQ(behindHeader(requests[2]), expected);
    EXPECT_EQ(requests[3].apiKey, 3);
    for (const LogLine &line : log)
        EXPECT_EQ(line.text.find("s3cr3t"), std::string::npos) << line.text;
}

TEST_F(Connect, EmptyCredentialsStillSendTwoZeroBytes) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(saslHandshakeBody(0)));
    broker.script(
        FakeAction::reply(saslAuthenticateBody(58, "Authentication failed", "", 3600000)));
    ASSERT_EQ(BQXAUTH(s.handle, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(conn(local(broker), "orders"), 7510);
    EXPECT_TRUE(logged(log, "7510", "58 Authentication failed"));
    std::vector<FakeRequest> requests = broker.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(behindHeader(requests[2]), (WireBytes().i8(0).uvarint(3).i8(0).i8(0).i8(0).bytes));
}

TEST_F(Connect, RejectedMechanismSendsNoCredentials) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(saslHandshakeBody(33)));
    ASSERT_EQ(BQXAUTH(s.handle, "alice", 5, "s3cr3t", 6), 0);
    EXPECT_EQ(conn(local(broker), "orders"), 7510);
    EXPECT_TRUE(logged(log, "7510", "33 "));
    EXPECT_EQ(broker.requests().size(), 2u);
}

TEST_F(Connect, CredentialsTooLongForTheRequestAreNotSent) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(saslHandshakeBody(0)));
    std::string user(600, 'u'), password(600, 'p');
    ASSERT_EQ(BQXAUTH(s.handle, user.data(), 600, password.data(), 600), 0);
    EXPECT_EQ(conn(local(broker), "orders"), 7514);
    EXPECT_EQ(broker.requests().size(), 2u);
    for (const LogLine &line : log)
        EXPECT_EQ(line.text.find("pppp"), std::string::npos) << line.text;
}

TEST_F(Connect, AuthReplacesCredentialsAndRefusesBadArguments) {
    ASSERT_EQ(BQXAUTH(s.handle, "first", 5, "one", 3), 0);
    ASSERT_EQ(BQXAUTH(s.handle, "second", 6, "two", 3), 0);
    EXPECT_STREQ(s.pcb->pszSaslUser, "second");
    EXPECT_STREQ(s.pcb->pszSaslPassword, "two");
    EXPECT_EQ(s.pcb->u32SaslEnabled, 1u);
    int32_t rc = 0;
    log = captureLog([&] { rc = BQXAUTH(s.handle, nullptr, 4, "pw", 2); });
    EXPECT_EQ(rc, 7536);
    log = captureLog([&] { rc = BQXAUTH(s.handle, "u", 1, "pw", -2); });
    EXPECT_EQ(rc, 7536);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "Kafka Protocol Error: invalid argument: password length -2");
    EXPECT_STREQ(s.pcb->pszSaslUser, "second"); // unchanged by refused calls
    log = captureLog([&] { rc = BQXAUTH(-1, "u", 1, "p", 1); });
    EXPECT_EQ(rc, 7502);
}

} // namespace
