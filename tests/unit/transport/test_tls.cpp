// TLS connections against a TLS front relaying to a fake broker: the
// handshake and its failures (each logged with OpenSSL's reason, the
// connection closed), mutual TLS, replies that OpenSSL has buffered, and
// the security prefixes of a bootstrap text.
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "log/messages.h"
#include "support/loopback.h"
#include "support/tls_peer.h"
#include "support/protocol_support.h"
#include "test_transport_fixture.h"

using namespace bqxtest;

namespace {

class TlsTest : public TransportTest {
  protected:
    // Makes the session's TLS context as BQXCONN does, from these files.
    int32_t setupTls(const std::string &ca, const std::string &cert = "",
                     const std::string &key = "") {
        ScopedEnv caFile("BQX_SSL_CA_FILE", ca.empty() ? nullptr : ca.c_str());
        ScopedEnv certFile("BQX_SSL_CERT_FILE", cert.empty() ? nullptr : cert.c_str());
        ScopedEnv keyFile("BQX_SSL_KEY_FILE", key.empty() ? nullptr : key.c_str());
        return kafka_tls_setup(s.pcb, 1);
    }

    // Connects entry 0 and returns the text of its 7500 line ("" if none).
    std::string connectFailure(int32_t *rc) {
        std::string text;
        for (const LogLine &line : captureLog([&] { *rc = kafka_connect(s.pcb, 0); }))
            if (line.number == "7500")
                text += line.text;
        return text;
    }
};

// A listener that accepts, reads what comes and closes: what a plaintext
// Kafka listener does with a TLS hello, whose first bytes make no valid size.
struct ClosingListener {
    int port = 0;
    int fd = listenOnLoopback(&port);
    std::thread thread;

    void closeEachConnection() {
        thread = std::thread([this] {
            int client = accept(fd, nullptr, nullptr);
            char bytes[512];
            (void)!read(client, bytes, sizeof bytes);
            close(client);
        });
    }
    ~ClosingListener() {
        shutdown(fd, SHUT_RDWR);
        if (thread.joinable())
            thread.join();
        close(fd);
    }
};

TEST_F(TlsTest, RepliesBufferedByOpensslAreServedWithoutWaitingForTheSocket) {
    gi32ReplyWaitSeconds = 3;
    FakeBroker broker;
    // Both replies reach the client in one TLS record: after the first, the
    // second sits in OpenSSL's buffer and the socket has nothing to read.
    TlsFront front(broker.port(), {.coalesceMs = 150});
    s.table(1, front.port());
    ASSERT_EQ(setupTls(tlsFiles().caFile), 0);
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    ASSERT_NE(s.entry(0).pTls, nullptr);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_waitReply(s.pcb, WAIT_ALL, 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(pendingIds(s.entry(0)).empty());
    EXPECT_TRUE(lines.empty()) << lines[0].text;
    // Counted as plaintext: the session's bytes are the replies' own.
    EXPECT_GT(s.pcb->ullRcvBytes, 0u);
    kafka_clearBroker(s.pcb, 0, 1);
    EXPECT_EQ(s.entry(0).pTls, nullptr);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
}

double threadCpuMs() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A peer that sends 3 bytes of a record header, then a byte of the record
// now and then: OpenSSL holds bytes it cannot decrypt, which is no reply.
// The reply wait and the close's wait (BQXCLSE's) end by the reply deadline
// (1 s), idle meanwhile and not extended by the bytes; the peer closes only
// after 3 s.
TEST_F(TlsTest, PartialRecordEndsEachWaitByItsDeadlineWithoutSpinning) {
    gi32ReplyWaitSeconds = 1;
    constexpr int16_t kMetadataKey = 3;
    FakeBroker broker;
    TlsFront front(broker.port(), {.partialRecordOnKey = kMetadataKey});
    const std::pair<const char *, std::function<int32_t()>> calls[] = {
        {"reply wait", [&] { return kafka_waitReply(s.pcb, WAIT_REPLY, 0); }},
        {"close", [&] { return kafka_disconnect(s.pcb); }},
    };
    for (const auto &[name, call] : calls) {
        SCOPED_TRACE(name);
        s.table(1, front.port());
        ASSERT_EQ(setupTls(tlsFiles().caFile), 0);
        ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
        ASSERT_EQ(s.queue(0, kMetadataKey, SEND_NOWAIT), 0);
        auto start = std::chrono::steady_clock::now();
        double cpuStart = threadCpuMs();
        int32_t rc = 0;
        captureLines([&] { rc = call(); });
        double cpuMs = threadCpuMs() - cpuStart;
        double wallMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        EXPECT_NE(rc, 0);
        EXPECT_LT(wallMs, 2500);
        EXPECT_LT(cpuMs, wallMs / 10) << "wall " << wallMs << " ms";
    }
}

// A broker that asks for a TLS 1.2 renegotiation (while it answers a
// request) is refused: the connection ends instead of a second handshake.
TEST_F(TlsTest, RenegotiationAskedByTheBrokerIsRefused) {
    gi32ReplyWaitSeconds = 2;
    FakeBroker broker;
    TlsFront front(broker.port(), {.renegotiateOnKey = kApiVersionsKey, .tls12Only = true});
    s.table(1, front.port());
    ASSERT_EQ(setupTls(tlsFiles().caFile), 0);
    int32_t rc = 0;
    auto lines = captureLog([&] {
        rc = kafka_connect(s.pcb, 0);
        for (int request = 0; rc == 0 && request < 2; ++request)
            if ((rc = s.queue(0, kApiVersionsKey, SEND_NOWAIT)) == 0)
                rc = kafka_waitReply(s.pcb, WAIT_REPLY, 0);
    });
    EXPECT_NE(rc, 0);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].number, "7500") << lines[0].text;
}

TEST_F(TlsTest, MutualTlsConnectsWithTheClientCertificate) {
    FakeBroker broker;
    TlsFront front(broker.port(), {.requireClientCert = true});
    s.table(1, front.port());
    const TlsFiles &files = tlsFiles();
    ASSERT_EQ(setupTls(files.caFile, files.clientCert, files.clientKey), 0);
    EXPECT_EQ(kafka_connect(s.pcb, 0), 0);
    EXPECT_EQ(s.entry(0).u32ApiVersionsKnown, 1u);
}

struct FailureCase {
    const char *name;
    const char *reason; // part of the 7500 line
};

// Each failure ends in a logged reason and a closed connection, in bounded
// time. A plaintext client on a TLS listener reads a TLS record where a
// reply's size should be: its error says so.
TEST_F(TlsTest, FailuresAreLoggedWithTheirReasonAndCloseTheConnection) {
    gi32ReplyWaitSeconds = 3;
    s.pcb->u32Timeout = 1; // the handshake's time-out
    const TlsFiles &files = tlsFiles();
    FakeBroker broker;
    TlsFront front(broker.port());
    TlsFront mutual(broker.port(), {.requireClientCert = true});
    ClosingListener plain, silent;
    plain.closeEachConnection();
    const std::vector<std::pair<FailureCase, std::function<void()>>> cases = {
        {{"untrusted certificate", "certificate verify failed: unable to get local issuer"},
         [&] { setupTls(files.otherCaFile), s.table(1, front.port()); }},
        {{"host name mismatch", "certificate verify failed: hostname mismatch"},
         [&] {
             setupTls(files.caFile), s.table(1, front.port()),
                 s.setHost(0, "localhost", front.port());
         }},
        {{"plaintext listener", "connection closed by the broker during the TLS handshake"},
         [&] { setupTls(files.caFile), s.table(1, plain.port); }},
        {{"handshake time-out", "TLS handshake timed out after 1 s"},
         [&] { setupTls(files.caFile), s.table(1, silent.port); }},
        {{"no client certificate", "alert certificate required"},
         [&] { setupTls(files.caFile), s.table(1, mutual.port()); }},
        {{"plaintext client on a TLS listener",
          "a TLS record: the listener expects SSL:// or SASL_SSL://"},
         [&] { kafka_tls_setup(s.pcb, 0), s.table(1, front.port()); }},
    };
    for (const auto &[expected, arrange] : cases) {
        SCOPED_TRACE(expected.name);
        arrange();
        int32_t rc = 0;
        std::string text = connectFailure(&rc);
        EXPECT_EQ(rc, 7500);
        EXPECT_NE(text.find(expected.reason), std::string::npos) << text;
        EXPECT_EQ(s.entry(0).i32Socket, -1);
        EXPECT_EQ(s.entry(0).pTls, nullptr);
    }
}

TEST_F(TlsTest, UnusableFilesFailTheSetupNamingTheSetting) {
    const TlsFiles &files = tlsFiles();
    struct Case {
        std::string ca, cert, key;
        const char *setting;
    };
    const Case cases[] = {
        {"/nonexistent/ca.pem", "", "", "BQX_SSL_CA_FILE"},
        {files.caFile, files.clientCert, "", "BQX_SSL_KEY_FILE"},
        {files.caFile, "", files.clientKey, "BQX_SSL_CERT_FILE"},
        {files.caFile, files.clientCert, files.serverKey, "BQX_SSL_KEY_FILE"}, // not its key
        {files.caFile, files.clientKey, files.clientKey, "BQX_SSL_CERT_FILE"}, // no certificate
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting);
        int32_t rc = 0;
        auto lines = captureLog([&] { rc = setupTls(c.ca, c.cert, c.key); });
        EXPECT_EQ(rc, 7500);
        ASSERT_EQ(numbersOf(lines), std::vector<std::string>{"7500"});
        EXPECT_NE(lines[0].text.find(c.setting), std::string::npos) << lines[0].text;
        EXPECT_EQ(s.pcb->pTlsContext, nullptr);
    }
}

// The prefix of the bootstrap text picks plaintext or TLS, or is refused.
TEST(TlsBootstrap, SecurityPrefixesOfTheBootstrapText) {
    int port = closedLoopbackPort();
    struct Case {
        std::string prefix;
        int32_t rc;
        uint32_t tls;
    };
    const Case cases[] = {
        {"", 7500, 0},          {"PLAINTEXT://", 7500, 0}, {"SASL_PLAINTEXT://", 7500, 0},
        {"SSL://", 7500, 1},    {"sasl_ssl://", 7500, 1},  {"HTTP://", 7519, 0},
    };
    int32_t handle = -1;
    captureLines([&] { handle = BQXOPEN(); });
    ASSERT_GE(handle, 0);
    for (const Case &c : cases) {
        std::string text = c.prefix + "127.0.0.1:" + std::to_string(port);
        SCOPED_TRACE(text);
        int32_t rc = 0;
        captureLines([&] {
            rc = BQXCONN(handle, text.c_str(), static_cast<int32_t>(text.size()), "t", 1);
        });
        EXPECT_EQ(rc, c.rc);
        if (c.rc != 7519) {
            EXPECT_EQ(get_BQXPCB(handle)->u32Tls, c.tls);
        }
    }
    for (const char *bare : {"SSL://", "SSL://:9092"}) {
        int32_t rc = 0;
        captureLines([&] { rc = BQXCONN(handle, bare, static_cast<int32_t>(strlen(bare)), "t", 1); });
        EXPECT_EQ(rc, 7519) << bare;
    }
    captureLines([&] { BQXCLSE(handle); });
}

// A close from another thread ends a call that waits inside a TLS
// connection: in the handshake with a leader that never answers it, or for
// a reply. The waiting call gives up with 7502 at once and nothing is freed
// under it (ASan, TSan).
TEST(TlsThreads, CloseEndsCallsWaitingOnTlsConnections) {
    using Clock = std::chrono::steady_clock;
    int32_t savedWait = gi32ReplyWaitSeconds;
    gi32ReplyWaitSeconds = 4; // the close waits this long for the unanswered Produce
    std::atomic<int> leaderPort{0};
    FakeBroker broker;
    broker.respond([&](const FakeRequest &r) {
        if (r.apiKey == 18)
            return FakeAction::reply(apiVersionsBody());
        if (r.apiKey == 3) {
            ByteVec reply = metadataReply(0, {{1, "127.0.0.1", leaderPort}}, 0, "t", {{0, 1, {1}, {1}}});
            return FakeAction::reply(Bytes(reply.begin() + 8, reply.end()));
        }
        return FakeAction::noReply(); // Produce: never answered
    });
    TlsFront front(broker.port());
    ClosingListener silent; // accepts in the kernel, never answers the hello
    ScopedEnv caFile("BQX_SSL_CA_FILE", tlsFiles().caFile.c_str());
    const std::string bootstrap = "SSL://127.0.0.1:" + std::to_string(front.port());
    for (int leader : {silent.port, front.port()}) {
        SCOPED_TRACE(leader == silent.port ? "leader handshake" : "reply");
        leaderPort = leader;
        int32_t handle = -1, connected = -1, waiting = 0;
        Clock::time_point closing, gaveUp;
        auto lines = captureLog([&] {
            handle = BQXOPEN();
            connected = BQXCONN(handle, bootstrap.data(), int32_t(bootstrap.size()), "t", 1);
            BQXSYNC(handle, 1, 0, 0);
            std::thread call([&] {
                waiting = BQXPROD(handle, nullptr, 0, "value", 5, 0);
                gaveUp = Clock::now();
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            closing = Clock::now();
            BQXCLSE(handle);
            call.join();
        });
        EXPECT_EQ(connected, 0);
        EXPECT_EQ(waiting, ERR_HANDLE);
        EXPECT_LT(gaveUp - closing, std::chrono::seconds(3));
        bool gaveUpLogged = false;
        for (const LogLine &line : lines)
            gaveUpLogged |= line.number == "7502";
        EXPECT_TRUE(gaveUpLogged);
    }
    gi32ReplyWaitSeconds = savedWait;
}

} // namespace
