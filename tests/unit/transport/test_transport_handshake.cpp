// The handshake of a new connection decides by its own replies: an error
// of another broker's reply dispatched during its wait leaves it alone, and
// its own failure closes it with a warning for every request dropped. A
// broker that refuses PLAIN and offers SCRAM is authenticated with SCRAM.
#include <openssl/evp.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "auth/sasl_scram.h"
#include "log/messages.h"
#include "support/protocol_support.h"
#include "support/scram_vectors.h"
#include "test_transport_fixture.h"

using namespace bqxtest;

extern pthread_mutex_t gMutex; // the global lock (lib/api/session.cpp)

namespace {

class HandshakeTest : public TransportTest {};

TEST_F(HandshakeTest, OtherBrokersErrorDuringTheWaitKeepsTheNewConnection) {
    gi32ReplyWaitSeconds = 5;
    FakeBroker a, b;
    s.table(3, a.port());
    s.setHost(1, "127.0.0.1", b.port());
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
    // A pipelined request on broker A whose reply carries an error arrives
    // while B's ApiVersions waits for its (later) reply.
    a.script(FakeAction::reply(apiVersionsBody(35)).delayed(100));
    b.script(FakeAction::reply(apiVersionsBody()).delayed(600));
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 1); });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(s.entry(1).i32Socket, -1);
    EXPECT_EQ(s.entry(1).u32ApiVersionsKnown, 1u);
    EXPECT_EQ(s.entry(1).pPendingHead, nullptr);
    EXPECT_EQ(numbersOf(lines), std::vector<std::string>{"7510"}); // A's error, logged once
}

TEST_F(HandshakeTest, FailedApiVersionsWarnsForRequestsQueuedByAnotherThread) {
    gi32ReplyWaitSeconds = 5;
    FakeBroker broker;
    s.table(2, broker.port());
    broker.script(FakeAction::reply(apiVersionsBody(35)).delayed(500));
    // While the handshake waits (the lock released), another thread queues
    // a request on the new connection, as the heartbeat thread may.
    std::thread other([&] {
        broker.waitForRequests(1, 5000);
        kafka_lock("OTHER");
        Bytes bytes = s.request(0, 12, 4);
        kafka_sendqueue(s.pcb, 0, bytes.data(), static_cast<uint32_t>(bytes.size()), SEND_NOWAIT);
        kafka_unlock("OTHER");
    });
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
    other.join();
    EXPECT_EQ(rc, 7510);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"7510", "5005"}));
    EXPECT_NE(lines[1].text.find("12/HeartBeat"), std::string::npos) << lines[1].text;
}

std::string mechanismOf(const FakeRequest &request) { return RequestReader{request.raw}.str(); }

// auth_bytes of a SaslAuthenticate request, behind the header's tag byte.
std::string authBytesOf(const FakeRequest &request) {
    RequestReader in{request.raw};
    in.uvarint();
    return in.compact();
}

struct ScramConnect {
    const char *name;
    friend void PrintTo(const ScramConnect &c, std::ostream *out) { *out << c.name; }
    std::vector<std::string> offered;
    std::string user, password, named, serverFirst, clientFinal;
    Bytes lastReply; // the answer to client-final
    int32_t rc;
    std::vector<std::string> logged;
    size_t requests;
};

// One connection a row.
// clang-format off
const ScramConnect kScramConnects[] = {
    {"Sha512WhenBothAreOffered", {"SCRAM-SHA-256", "SCRAM-SHA-512"}, "bqx=user,1", "bqx-pass",
     "SCRAM-SHA-512", kFirst512, kFinal512, saslAuthenticateBody(0, "", kVerifier512), 0, {}, 6},
    {"Sha256WhenOnlyItIsOffered", {"SCRAM-SHA-256"}, "user", "pencil", "SCRAM-SHA-256", kFirst256,
     kFinal256, saslAuthenticateBody(0, "", kVerifier256), 0, {}, 6},
    {"WrongServerSignature", {"SCRAM-SHA-256"}, "user", "pencil", "SCRAM-SHA-256", kFirst256,
     kFinal256, saslAuthenticateBody(0, "", kVerifier512), 7536, {"7536"}, 6},
    {"WrongPassword", {"SCRAM-SHA-256"}, "user", "pencil", "SCRAM-SHA-256", kFirst256, kFinal256,
     saslAuthenticateBody(58, "Authentication failed: invalid credentials", ""), 7510, {"7510"}, 6},
    {"NothingUsableOffered", {"GSSAPI"}, "user", "pencil", "", "", "", {}, 7510, {"7510"}, 2},
};
// clang-format on

class ScramHandshake : public HandshakeTest, public testing::WithParamInterface<ScramConnect> {
  protected:
    void TearDown() override {
        gpfnScramNonce = savedNonce_;
        HandshakeTest::TearDown();
    }
    int (*savedNonce_)(char *, size_t) = gpfnScramNonce;
};

TEST_P(ScramHandshake, RefusedPlainIsFollowedByScram) {
    const ScramConnect &c = GetParam();
    gpfnScramNonce = scramFixedNonce;
    gi32ReplyWaitSeconds = 5;
    FakeBroker broker;
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(saslHandshakeBody(33, c.offered)));
    broker.script(FakeAction::reply(apiVersionsBody()));
    broker.script(FakeAction::reply(saslHandshakeBody(0, c.offered)));
    broker.script(FakeAction::reply(saslAuthenticateBody(0, "", c.serverFirst)));
    broker.script(FakeAction::reply(c.lastReply));
    s.table(2, broker.port());
    s.pcb->pszSaslUser = strdup(c.user.c_str());
    s.pcb->pszSaslPassword = strdup(c.password.c_str());
    s.pcb->u32SaslEnabled = 1;
    int32_t rc = -1;
    auto lines = captureLog([&] { rc = kafka_connect(s.pcb, 0); });
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(numbersOf(lines), c.logged);
    auto requests = broker.requests();
    ASSERT_EQ(requests.size(), c.requests);
    EXPECT_EQ(mechanismOf(requests[1]), "PLAIN");
    if (c.requests == 2) {
        EXPECT_NE(lines[0].text.find("Enabled: GSSAPI"), std::string::npos) << lines[0].text;
    } else {
        // A broker closes the connection on which it refused PLAIN: SCRAM
        // goes over a new one, which starts with ApiVersions.
        EXPECT_EQ(broker.connectionsAccepted(), 2);
        EXPECT_EQ(requests[2].apiKey, kApiVersionsKey);
        EXPECT_EQ(mechanismOf(requests[3]), c.named);
        std::string bare = c.user == "user" ? "n=user" : "n=bqx=3Duser=2C1";
        EXPECT_EQ(authBytesOf(requests[4]), "n,," + bare + ",r=rOprNGfwEbeRWgbNEkqO");
        EXPECT_EQ(authBytesOf(requests[5]), c.clientFinal);
    }
    EXPECT_EQ(s.entry(0).i32Socket != -1, c.rc == 0); // a failed exchange closes it
    if (c.rc == 0) {
        EXPECT_EQ(s.entry(0).u32SaslStep, 2u);
    }
    // The next connection of the entry starts with PLAIN again.
    captureLines([&] { kafka_clearBroker(s.pcb, 0, 0); });
    EXPECT_EQ(s.entry(0).u32SaslMechanism, kSaslPlain);
    EXPECT_EQ(s.entry(0).pScram, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, ScramHandshake, testing::ValuesIn(kScramConnects),
                         [](const testing::TestParamInfo<ScramConnect> &info) {
                             return std::string(info.param.name);
                         });

// What the salting of the password saw: whether the global lock was free,
// and the close it started meanwhile (once `closeWhileSalting` is set).
struct SaltWatch {
    std::atomic<bool> closeWhileSalting{false};
    int32_t handle = -1;
    bool lockFree = false;
    int32_t closed = -1;
    std::thread closer;
};
SaltWatch *gSaltWatch;

bool saltWhileClosing(const EVP_MD *md, const char *password, uint32_t length, const uint8_t *salt,
                      size_t saltLength, uint32_t iterations, uint8_t *out) {
    if (gSaltWatch->closeWhileSalting.exchange(false)) {
        gSaltWatch->lockFree = pthread_mutex_trylock(&gMutex) == 0;
        if (gSaltWatch->lockFree)
            pthread_mutex_unlock(&gMutex);
        gSaltWatch->closer = std::thread([] { gSaltWatch->closed = BQXCLSE(gSaltWatch->handle); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the close waits for the call
    }
    return PKCS5_PBKDF2_HMAC(password, static_cast<int>(length), salt, static_cast<int>(saltLength),
                             static_cast<int>(iterations), md, EVP_MD_get_size(md), out) == 1;
}

// A broker that refuses PLAIN and authenticates SCRAM-SHA-256 (RFC 7677's
// exchange) on every connection, then leads the one partition of "t".
FakeAction scramBroker(const FakeRequest &r, int port) {
    switch (r.apiKey) {
    case kApiVersionsKey:
        return FakeAction::reply(apiVersionsBody());
    case 17:
        return FakeAction::reply(
            saslHandshakeBody(mechanismOf(r) == "PLAIN" ? 33 : 0, {"SCRAM-SHA-256"}));
    case 36:
        return FakeAction::reply(saslAuthenticateBody(
            0, "", authBytesOf(r).rfind("n,,", 0) == 0 ? kFirst256 : kVerifier256));
    case 3: {
        ByteVec reply = metadataReply(0, {{1, "127.0.0.1", port}}, 0, "t", {{0, 1, {1}, {1}}});
        return FakeAction::reply(Bytes(reply.begin() + 8, reply.end()));
    }
    }
    return FakeAction::noReply();
}

// PBKDF2 runs with the global lock released. A close meanwhile (here while
// BQXPROD connects the leader) waits for the call, which then gives up
// with 7502; nothing is freed under it (ASan).
TEST(ScramSalting, RunsWithoutTheLockAndACloseMeanwhileEndsTheCall) {
    auto savedNonce = gpfnScramNonce;
    auto savedSalt = gpfnScramSalt;
    gpfnScramNonce = scramFixedNonce;
    gpfnScramSalt = saltWhileClosing;
    FakeBroker broker;
    broker.respond([&](const FakeRequest &r) { return scramBroker(r, broker.port()); });
    SaltWatch watch;
    gSaltWatch = &watch;
    std::string bootstrap = "127.0.0.1:" + std::to_string(broker.port());
    int32_t connected = -1, produced = -1;
    captureLines([&] {
        watch.handle = BQXOPEN();
        BQXAUTH(watch.handle, "user", 4, "pencil", 6);
        connected = BQXCONN(watch.handle, bootstrap.data(), int32_t(bootstrap.size()), "t", 1);
        watch.closeWhileSalting = true;
        produced = BQXPROD(watch.handle, nullptr, 0, "value", 5, 0);
        if (watch.closer.joinable())
            watch.closer.join();
    });
    gpfnScramNonce = savedNonce;
    gpfnScramSalt = savedSalt;
    EXPECT_EQ(connected, 0);
    EXPECT_TRUE(watch.lockFree);
    EXPECT_EQ(produced, ERR_HANDLE);
    EXPECT_EQ(watch.closed, 0);
}

} // namespace
