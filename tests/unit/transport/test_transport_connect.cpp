// Opening broker connections: success with the ApiVersions handshake,
// refused and unresolvable addresses, the connect time-out, and handshakes
// that fail and must leave no connection behind.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <chrono>

#include "support/loopback.h"
#include "test_transport_fixture.h"

namespace bqxtest {
namespace {

using Clock = std::chrono::steady_clock;


class ConnectTest : public TransportTest {};

TEST_F(ConnectTest, OpensTheConnectionAndRunsApiVersionsFirst) {
    FakeBroker broker;
    s.table(2, broker.port());
    s.pcb->iDebugLevel = 2;
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
    ASSERT_EQ(rc, 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].number, "0001");
    EXPECT_EQ(lines[0].tag, "Connect ");
    EXPECT_EQ(lines[0].text, "Broker 127.0.0.1:" + std::to_string(broker.port()));

    ASSERT_NE(s.entry(0).i32Socket, -1);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(s.entry(0).i32Socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);

    auto requests = broker.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].apiKey, kApiVersionsKey);
    EXPECT_EQ(requests[0].apiVersion, 3);
    EXPECT_EQ(requests[0].correlId, 1);
    EXPECT_EQ(s.entry(1).i32Socket, -1) << "only the asked entry connects";
}

TEST_F(ConnectTest, RefusedConnectionLogsTheSystemText) {
    int port = closedLoopbackPort();
    s.table(2, port);
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].number, "7500");
    EXPECT_EQ(lines[0].tag, "Connect ");
    EXPECT_EQ(lines[0].text, "TCPIP Error from connect(): Broker 127.0.0.1:" +
                                 std::to_string(port) + " 111 (Connection refused)");
    EXPECT_EQ(s.pcb->i32LastError, 7500);
}

TEST_F(ConnectTest, UnresolvableOrMissingHostFailsInTheLookup) {
    s.table(2);
    for (const char *host : {"no-such-broker.invalid", ""}) {
        s.setHost(0, host, 9092);
        int32_t rc = 0;
        auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
        EXPECT_EQ(rc, 7500) << host;
        EXPECT_EQ(s.entry(0).i32Socket, -1);
        ASSERT_EQ(lines.size(), 1u);
        const std::string prefix =
            std::string("TCPIP Error from getaddrinfo(): Broker ") + host + ":9092 ";
        ASSERT_EQ(lines[0].text.rfind(prefix, 0), 0u) << lines[0].text;
        int code = std::stoi(lines[0].text.substr(prefix.size()));
        EXPECT_NE(code, 0);
        EXPECT_NE(lines[0].text.find(std::string("(") + gai_strerror(code) + ")"),
                  std::string::npos)
            << lines[0].text;
    }
}

TEST_F(ConnectTest, PortOutsideTheTcpRangeIsRefusedNotWrapped) {
    FakeBroker broker;
    s.table(2, broker.port() + 65536); // would wrap to the fake's port
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("connect()"), std::string::npos);
    EXPECT_NE(lines[0].text.find("(Invalid argument)"), std::string::npos);
    EXPECT_EQ(broker.connectionsAccepted(), 0);
}

TEST_F(ConnectTest, ConnectGivesUpAfterTheSessionTimeout) {
    // A listener whose accept queue is full drops further connection
    // attempts, so a connect to it does not finish by itself.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr *>(&address), size);
        fillers.push_back(fd);
    }
    s.table(2, ntohs(address.sin_port));
    s.pcb->u32Timeout = 1;
    int32_t rc = 0;
    auto start = Clock::now();
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
    auto elapsed = Clock::now() - start;
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("connect()"), std::string::npos);
    EXPECT_NE(lines[0].text.find(" 110 (Connection timed out)"), std::string::npos)
        << lines[0].text;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    for (int fd : fillers)
        close(fd);
    close(listener);
}

TEST_F(ConnectTest, FailedApiVersionsClosesTheConnection) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody(35)));
    s.table(2, broker.port());
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    ASSERT_EQ(lines.size(), 1u) << "closed quietly: no warning besides the error";
    EXPECT_EQ(lines[0].number, "7510");
}

TEST_F(ConnectTest, UnansweredApiVersionsTimesOutAndLeavesNothingPending) {
    gi32ReplyWaitSeconds = 1;
    FakeBroker broker;
    broker.script(FakeAction::noReply());
    s.table(2, broker.port());
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
    EXPECT_EQ(rc, 7515);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    EXPECT_EQ(s.entry(0).u32PendingCount, 0u);
    // The unanswered ApiVersions is dropped with a warning, as any request is.
    EXPECT_EQ(numbersOf(lines), (std::vector<std::string>{"7515", "5005"}));
}

TEST_F(ConnectTest, RejectedSaslMechanismEndsBeforeCredentialsAreSent) {
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(saslHandshakeBody(33)));
    s.table(2, broker.port());
    s.pcb->pszSaslUser = strdup("alice");
    s.pcb->pszSaslPassword = strdup("wonderland");
    s.pcb->u32SaslEnabled = 1;
    int32_t rc = 0;
    captureLines([&] { rc = kafka_connect(s.pcb, 0); });
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    auto requests = broker.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].apiKey, 18);
    EXPECT_EQ(requests[1].apiKey, 17);
}

TEST_F(ConnectTest, ClearedEntryConnectsAgainAndKeepsCountingCorrelationIds) {
    FakeBroker broker;
    s.table(2, broker.port());
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    captureLines([&] { ASSERT_EQ(kafka_clearBroker(s.pcb, 0, 0), 0); });
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    EXPECT_EQ(broker.connectionsAccepted(), 2);
    // Correlation ids go on across connections of the same entry.
    auto requests = broker.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].correlId, 2);
    EXPECT_EQ(s.entry(0).u32LastCorrelID, 2u);
}

TEST_F(ConnectTest, IndexOutsideTheTableIsRefused) {
    s.table(2);
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 2); });
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(numbersOf(lines), std::vector<std::string>{"7500"});
}

} // namespace
} // namespace bqxtest
