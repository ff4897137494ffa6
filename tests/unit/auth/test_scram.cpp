// Every server message the SCRAM client must refuse. The known exchanges
// (RFC 7677's, and one for SHA-512) are checked on the wire by the
// handshake tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth/sasl_scram.h"
#include "support/fake_cluster.h"
#include "support/scram_vectors.h"

using namespace bqxtest;

namespace {

const std::string kNonce = kScramNonce;

const uint8_t *bytesOf(const std::string &text) {
    return reinterpret_cast<const uint8_t *>(text.data());
}

// One exchange on broker entry 0 of a session (whose teardown frees it).
class Scram : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        s.brokers({1}, {false});
        gpfnScramNonce = scramFixedNonce;
    }
    void TearDown() override { gpfnScramNonce = savedNonce; }
    ScramState *start(uint32_t mechanism, const std::string &user) {
        ScramState **state = &s.pcb->pBrokerList[0].pScram;
        EXPECT_EQ(scram_start(s.pcb, 1, mechanism, user.data(), uint32_t(user.size()), state), 0);
        if (*state) scram_sent(*state);
        return *state;
    }
    int32_t first(ScramState *state, const std::string &password, const std::string &serverFirst) {
        int32_t rc = 0;
        log = captureLog([&] {
            rc = scram_serverFirst(s.pcb, 1, state, password.data(), uint32_t(password.size()),
                                   bytesOf(serverFirst), uint32_t(serverFirst.size()));
        });
        return rc;
    }
    int32_t final(ScramState *state, const std::string &serverFinal) {
        scram_sent(state);
        return verify(state, serverFinal);
    }
    int32_t verify(ScramState *state, const std::string &serverFinal) {
        int32_t rc = 0;
        log = captureLog([&] {
            rc = scram_serverFinal(s.pcb, 1, state, bytesOf(serverFinal),
                                   uint32_t(serverFinal.size()));
        });
        return rc;
    }
    TableSession s;
    std::vector<LogLine> log;
    int (*savedNonce)(char *, size_t) = gpfnScramNonce;
};

TEST_F(Scram, ServerFirstMessagesThatAreRefused) {
    const std::string salt = ",s=W22ZaJ0SNY7soEsUEjb6gQ==";
    const std::string nonce = "r=" + kNonce + "xyz";
    struct Case {
        std::string message, reason;
    } cases[] = {
        {"r=someoneElse" + salt + ",i=4096", "nonce does not extend ours"},
        {"r=" + kNonce + salt + ",i=4096", "nonce does not extend ours"},
        {"r=" + kNonce + "a b" + salt + ",i=4096", "nonce does not extend ours"},
        {nonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ=,i=4096", "salt is not base64"},
        {nonce + ",s=W22Z*J0SNY7soEsUEjb6gQ==,i=4096", "salt is not base64"},
        {nonce + ",s=,i=4096", "salt is not base64"},
        {nonce + salt + ",i=4095", "iteration count out of range"},
        {nonce + salt + ",i=16385", "iteration count out of range"}, // beyond Kafka's own
        {nonce + salt + ",i=1000001", "iteration count out of range"},
        {nonce + salt + ",i=-4096", "iteration count not a number"},
        {nonce + salt + ",i=4096x", "iteration count not a number"},
        {nonce + salt + ",i=99999999999", "iteration count not a number"},
        {nonce + salt, "no iteration count"},
        {nonce + ",i=4096", "no salt"},
        {salt.substr(1) + ",i=4096", "no nonce"},
        {"m=ext," + nonce + salt + ",i=4096", "mandatory extension"},
        {nonce + std::string("\0y", 2) + salt + ",i=4096", "zero byte"},
        {"", "empty"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        ScramState *state = start(kSaslScramSha256, "user");
        ASSERT_NE(state, nullptr);
        EXPECT_EQ(first(state, "pencil", c.message), 7536);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].text, "Kafka Protocol Error: server-first: " + c.reason);
        EXPECT_EQ(state->u32Stage, kScramFirstSent);
        scram_clear(&s.pcb->pBrokerList[0]);
    }
}

TEST_F(Scram, ServerFinalMessagesThatAreRefused) {
    struct Case {
        std::string message, text;
    } cases[] = {
        {"e=invalid-proof", "SCRAM server error: invalid-proof"},
        {"e=bad\x01text", "SCRAM server error: bad?text"},
        {"v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=", "server-final: server signature does not match"},
        {"v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4", "server-final: server signature does not match"},
        {"v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95A==", "server-final: server signature does not match"},
        {"", "server-final: no verifier"},
        {"x=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=", "server-final: no verifier"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        ScramState *state = start(kSaslScramSha256, "user");
        ASSERT_EQ(first(state, "pencil", kFirst256), 0);
        EXPECT_EQ(final(state, c.message), 7536);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].text, "Kafka Protocol Error: " + c.text);
        EXPECT_NE(state->u32Stage, kScramVerified);
        // The expected signature is gone: a second answer cannot pass either.
        EXPECT_EQ(verify(state, "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="), 7536);
        scram_clear(&s.pcb->pBrokerList[0]);
    }
}

TEST_F(Scram, RepliesOutOfOrderAndOverlongMessagesAreRefused) {
    ScramState *state = start(kSaslScramSha256, "user");
    EXPECT_EQ(final(state, "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="), 7536);
    scram_clear(&s.pcb->pBrokerList[0]);
    // A nonce that would not leave room for the proof in client-final.
    state = start(kSaslScramSha256, "user");
    std::string huge = "r=" + kNonce + std::string(1000, 'n') + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
    EXPECT_EQ(first(state, "pencil", huge), 7514);
    scram_clear(&s.pcb->pBrokerList[0]);
    // A user name whose escaped form does not fit client-first.
    std::string user(400, ',');
    int32_t rc = 0;
    log = captureLog([&] {
        rc = scram_start(s.pcb, 1, kSaslScramSha256, user.data(), uint32_t(user.size()),
                         &s.pcb->pBrokerList[0].pScram);
    });
    EXPECT_EQ(rc, 7514);
    EXPECT_EQ(s.pcb->pBrokerList[0].pScram, nullptr);
}

TEST_F(Scram, SystemNonceIsPrintableFreshAndLongEnough) {
    char a[kScramNonceSize] = "", b[kScramNonceSize] = "";
    ASSERT_EQ(savedNonce(a, sizeof a), 0);
    ASSERT_EQ(savedNonce(b, sizeof b), 0);
    EXPECT_GE(strlen(a), 32u); // 24 random bytes in base64
    EXPECT_STRNE(a, b);
    for (const char *c = a; *c; ++c)
        EXPECT_TRUE(*c > 0x20 && *c < 0x7F && *c != ',') << *c;
}

} // namespace
