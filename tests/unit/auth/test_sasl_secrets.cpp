// Credentials leave no trace: the pending copy of a SaslAuthenticate
// request is wiped before it is freed, whichever way it leaves the queue; a
// credential with a zero byte is refused; a failing conversion of the
// credentials logs no hex dump of them.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "auth/sasl_scram.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"
#include "support/scram_vectors.h"
#include "transport/transport_internal.h"

using namespace bqxtest;

namespace {

const std::string kUser = "alice";
const std::string kPassword = "s3cr3t-pw";

std::vector<std::string> gReleased; // bytes of each pending request as it was freed

void recordRelease(const PendingRequest *request) {
    gReleased.emplace_back(reinterpret_cast<const char *>(request->abRequest),
                           request->u32Length);
}

class SaslSecrets : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        captureLines([&] {
            ASSERT_EQ(BQXAUTH(s.handle, kUser.data(), static_cast<int32_t>(kUser.size()),
                              kPassword.data(), static_cast<int32_t>(kPassword.size())),
                      0);
        });
        s.brokers({1}, {true});
        gi32ReplyWaitSeconds = 1; // the session restores it
        gReleased.clear();
        gpfnPendingReleased = recordRelease;
    }
    void TearDown() override { gpfnPendingReleased = nullptr; }
    // Runs the request builder as an entry point does: under the global lock.
    int32_t authenticate(std::vector<LogLine> *log) {
        int32_t rc = 0;
        *log = captureLog([&] {
            kafka_lock("TEST");
            rc = kafka_saslauthenticate(s.pcb, 0);
            kafka_unlock("TEST");
        });
        return rc;
    }
    bool anyLineShows(const std::vector<LogLine> &log, const std::string &text) {
        for (const LogLine &line : log)
            if (line.text.find(text) != std::string::npos) return true;
        return false;
    }
    TableSession s;
};

// A SaslAuthenticate reply (version 2) without error; `correlId` 1 answers
// the first request of the entry.
ByteVec authenticated(int32_t correlId) {
    return WireBytes().i8(0).i16(0).uvarint(0).uvarint(1).i64(0).i8(0).reply(correlId);
}

struct ReleasePath {
    const char *name;
    int32_t correlId; // 1: the reply is dispatched; else the entry is cleared
};

class PendingCopy : public SaslSecrets, public testing::WithParamInterface<ReleasePath> {};

TEST_P(PendingCopy, IsWipedBeforeItIsFreed) {
    s.preReply(0, authenticated(GetParam().correlId));
    std::vector<LogLine> log;
    authenticate(&log);
    ASSERT_EQ(gReleased.size(), 1u);
    EXPECT_EQ(gReleased[0], std::string(gReleased[0].size(), '\0'));
    EXPECT_EQ(s.pcb->pBrokerList[0].pPendingHead, nullptr);
}

INSTANTIATE_TEST_SUITE_P(DispatchedAndDropped, PendingCopy,
                         testing::Values(ReleasePath{"ReplyDispatched", 1},
                                         ReleasePath{"EntryCleared", 7}),
                         [](const testing::TestParamInfo<ReleasePath> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(SaslSecrets, ZeroByteInACredentialIsRefused) {
    struct Case {
        std::string user, password, reason;
    } cases[] = {
        {std::string("bob\0x", 5), "pw", "invalid argument: zero byte in user"},
        {"bob", std::string("pw\0tail", 7), "invalid argument: zero byte in password"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        int32_t rc = 0;
        std::vector<LogLine> log = captureLog([&] {
            rc = BQXAUTH(s.handle, c.user.data(), static_cast<int32_t>(c.user.size()),
                         c.password.data(), static_cast<int32_t>(c.password.size()));
        });
        EXPECT_EQ(rc, ERR_PROTOCOL);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].text, "Kafka Protocol Error: " + c.reason);
        EXPECT_EQ(s.pcb->pszSaslUser, kUser); // the credentials set before stay
        EXPECT_EQ(s.pcb->pszSaslPassword, kPassword);
    }
}

TEST_F(SaslSecrets, FailingConversionLogsNoDumpOfTheCredentials) {
    iconv_close(s.pcb->cdEncode);
    s.pcb->cdEncode = reinterpret_cast<iconv_t>(-1); // every conversion fails with EBADF
    std::vector<LogLine> log;
    int32_t rc = authenticate(&log);
    EXPECT_EQ(rc, ERR_ICONV);
    EXPECT_EQ(numbersOf(log), std::vector<std::string>{"7539"});
    EXPECT_FALSE(anyLineShows(log, kUser));
    EXPECT_FALSE(anyLineShows(log, kPassword.substr(0, 4)));
    EXPECT_TRUE(s.takeRequest(0).empty()); // nothing half-converted is sent
}

// A SaslAuthenticate reply carrying the server's SCRAM message.
ByteVec scramAnswer(int32_t correlId, const std::string &message) {
    return WireBytes().i8(0).i16(0).uvarint(0).compact(message).i64(0).i8(0).reply(correlId);
}

TEST_F(SaslSecrets, ScramLeavesNoPasswordOrProofInLogsDumpsOrPendingCopies) {
    // RFC 7677's exchange, with every request and reply dumped.
    const std::string password = "pencil", proof = "dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
    captureLines([&] { ASSERT_EQ(BQXAUTH(s.handle, "user", 4, password.data(), 6), 0); });
    int (*savedNonce)(char *, size_t) = gpfnScramNonce;
    gpfnScramNonce = scramFixedNonce;
    s.pcb->pBrokerList[0].u32SaslMechanism = kSaslScramSha256;
    s.pcb->iDebugLevel = 5;
    s.preReply(0, scramAnswer(1, kFirst256));
    s.preReply(0, scramAnswer(2, kVerifier256));
    std::vector<LogLine> first, second;
    EXPECT_EQ(authenticate(&first), 0);
    EXPECT_EQ(authenticate(&second), 0);
    gpfnScramNonce = savedNonce;
    EXPECT_EQ(s.pcb->pBrokerList[0].u32SaslStep, 2u);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_FALSE(anyLineShows(first, password));
    // Any 8 characters of the proof would show in a dump line's text column.
    for (size_t i = 0; i + 8 <= proof.size(); ++i)
        EXPECT_FALSE(anyLineShows(first, proof.substr(i, 8))) << proof.substr(i, 8);
    EXPECT_TRUE(anyLineShows(first, "HEXDump")) << "the requests were dumped";
    ASSERT_EQ(gReleased.size(), 2u);
    for (const std::string &copy : gReleased)
        EXPECT_EQ(copy, std::string(copy.size(), '\0'));
    // The state's copy of client-final went with its send.
    EXPECT_EQ(s.pcb->pBrokerList[0].pScram->u32MessageLength, 0u);
    EXPECT_EQ(std::string(s.pcb->pBrokerList[0].pScram->abMessage, kScramMessageSize),
              std::string(kScramMessageSize, '\0'));
}

} // namespace
