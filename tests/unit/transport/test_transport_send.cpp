// Sending and queueing requests: the size field, the send window, the
// synchronous modes, send failures, request names and the hiding of SASL
// passwords in request dumps.
#include <algorithm>

#include "test_transport_fixture.h"
#include "transport/transport_internal.h"

namespace bqxtest {
namespace {

class SendTest : public TransportTest {};

// The bytes shown by the info 3 lines of a hex dump, in order.
Bytes dumpedBytes(const std::vector<LogLine> &lines) {
    Bytes bytes;
    for (const LogLine &line : lines) {
        if (line.number != "0003")
            continue;
        // "   HEXDump " then the 55-character hex part "XXXX:  hh hh ...".
        std::string hex = line.text.substr(11, 55).substr(6);
        for (size_t i = 0; i + 1 < hex.size(); ++i)
            if (isxdigit(static_cast<unsigned char>(hex[i])) &&
                isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
                bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
                ++i;
            }
    }
    return bytes;
}

// SaslAuthenticate body: tag byte, auth_bytes length + 1, 0 user 0 password, tag byte.
Bytes saslAuthBody(const std::string &user, const std::string &password) {
    // Built byte by byte: GCC 12's optimiser misjudges a vector's insert of
    // a short string's bytes (-Wstringop-overread, -Warray-bounds).
    std::string auth = std::string(1, '\0') + user + '\0' + password;
    Bytes body = {0, static_cast<uint8_t>(auth.size() + 1)};
    for (char c : auth)
        body.push_back(static_cast<uint8_t>(c));
    body.push_back(0);
    return body;
}

bool contains(const Bytes &haystack, const std::string &needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

TEST_F(SendTest, WritesTheSizeFieldAndTheWholeRequest) {
    s.table(2);
    int peer = s.attach(0);
    Bytes bytes = s.request(0, 3, 4);
    ASSERT_EQ(bytes.size(), 17u);
    ASSERT_EQ(kafka_sendqueue(s.pcb, 0, bytes.data(), 17, SEND_NOWAIT), 0);
    Bytes wire = readAvailable(peer);
    ASSERT_EQ(wire.size(), 17u);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 4), (Bytes{0, 0, 0, 0x0D}));
    EXPECT_EQ(wire, bytes) << "the caller's buffer carries the size field too";
    EXPECT_EQ(s.pcb->ullSends, 1u);
    EXPECT_EQ(s.pcb->ullSndBytes, 17u);
    ASSERT_NE(s.entry(0).pPendingHead, nullptr);
    EXPECT_EQ(s.entry(0).pPendingHead->u32Length, 17u);
    EXPECT_EQ(Bytes(s.entry(0).pPendingHead->abRequest, s.entry(0).pPendingHead->abRequest + 17),
              bytes);
}

TEST_F(SendTest, PendingRecordCarriesTheIdWrittenIntoTheRequest) {
    s.table(2);
    s.attach(0);
    Bytes first = s.request(0, kApiVersionsKey, 3);  // id 1
    Bytes second = s.request(0, kApiVersionsKey, 3); // id 2, built before the first is sent
    ASSERT_EQ(kafka_sendqueue(s.pcb, 0, first.data(), 17, SEND_NOWAIT), 0);
    ASSERT_EQ(kafka_sendqueue(s.pcb, 0, second.data(), 17, SEND_NOWAIT), 0);
    EXPECT_EQ(pendingIds(s.entry(0)), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(s.entry(0).u32PendingCount, 2u);
}

TEST_F(SendTest, WindowPollsWhileThereIsRoomAndWaitsForOneReplyWhenFull) {
    s.table(2);
    int peer = s.attach(0);
    ASSERT_EQ(s.pcb->u32SendWindow, 100u);
    for (int i = 0; i < 98; ++i)
        ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);

    uint64_t polls = s.pcb->ullSelNoWait;
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_WINDOW), 0);
    EXPECT_EQ(s.entry(0).u32PendingCount, 99u);
    EXPECT_EQ(s.pcb->ullSelNoWait, polls + 1) << "one poll, no wait";
    EXPECT_EQ(s.pcb->ullSelWait, 0u);
    EXPECT_EQ(s.pcb->ullSendWinExh, 0u);

    // The 100th fills the window: the send waits for the reply to id 1.
    writeBytes(peer, replyFrame(1, apiVersionsBody()));
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_WINDOW), 0);
    EXPECT_EQ(s.pcb->ullSendWinExh, 1u);
    EXPECT_EQ(s.pcb->ullSelWait, 1u);
    EXPECT_EQ(s.entry(0).u32PendingCount, 99u);
    EXPECT_EQ(s.entry(0).pPendingHead->u32CorrelID, 2u);
    EXPECT_EQ(s.entry(0).pPendingTail->u32CorrelID, 100u);
}

TEST_F(SendTest, WindowWaitErrorIsReturnedAndTheRequestStaysPending) {
    gi32ReplyWaitSeconds = 1;
    s.table(2);
    s.attach(0);
    s.pcb->u32SendWindow = 1;
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = s.queue(0, kApiVersionsKey, SEND_WINDOW); });
    EXPECT_EQ(rc, 7515);
    EXPECT_EQ(numbersOf(lines), std::vector<std::string>{"7515"});
    EXPECT_EQ(pendingIds(s.entry(0)), std::vector<uint32_t>{1});
    EXPECT_EQ(s.pcb->ullSendWinExh, 1u);
}

TEST_F(SendTest, SyncSendsAndSynchronousModeWaitForTheReply) {
    FakeBroker broker;
    s.table(2, broker.port());
    ASSERT_EQ(kafka_connect(s.pcb, 0), 0);

    // A windowed send with room does not wait for a late reply ...
    broker.script(FakeAction::reply(apiVersionsBody()).delayed(200));
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_WINDOW), 0);
    EXPECT_EQ(s.entry(0).u32PendingCount, 1u);
    ASSERT_EQ(kafka_waitReply(s.pcb, WAIT_ALL, 0), 0);
    EXPECT_EQ(s.entry(0).u32PendingCount, 0u);

    // ... but in synchronous mode it does, like SEND_SYNC always does.
    s.pcb->u32Synchronous = 1;
    broker.script(FakeAction::reply(apiVersionsBody()).delayed(200));
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_WINDOW), 0);
    EXPECT_EQ(s.entry(0).u32PendingCount, 0u);

    s.pcb->u32Synchronous = 0;
    broker.script(FakeAction::reply(apiVersionsBody()).delayed(200));
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_SYNC), 0);
    EXPECT_EQ(s.entry(0).u32PendingCount, 0u);
    EXPECT_EQ(broker.requests().size(), 4u);
}

// A broker that ends the connection instead of answering must not let a
// waiting send report success: its request is lost.
TEST_F(SendTest, ConnectionClosedInsteadOfTheAwaitedReplyIsAnError) {
    FakeBroker broker;
    s.table(2, broker.port());
    for (int32_t wait : {SEND_SYNC, SEND_WINDOW}) {
        ASSERT_EQ(kafka_connect(s.pcb, 0), 0);
        s.pcb->u32SendWindow = 1;
        broker.script(FakeAction::close());
        int32_t rc = 0;
        auto lines = captureLog([&] { rc = s.queue(0, kApiVersionsKey, wait); });
        EXPECT_EQ(rc, 7501) << wait;
        ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"5005", "7501"})) << wait;
        EXPECT_EQ(lines[1].text, "Connection closed by Server. Most likely there is authentication "
                                 "required (127.0.0.1:" + std::to_string(broker.port()) + ")");
        EXPECT_EQ(s.entry(0).i32Socket, -1);
    }
}

TEST_F(SendTest, UnconnectedEntryFailsAndQueuesNothing) {
    s.table(2);
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = s.queue(0, kApiVersionsKey, SEND_NOWAIT); });
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].tag, "ApiVersi");
    EXPECT_EQ(lines[0].text,
              "TCPIP Error from send(): Broker 127.0.0.1:9092 9 (Bad file descriptor)");
}

TEST_F(SendTest, FailedSendClosesTheConnectionAndDropsItsPendingRequests) {
    s.table(2);
    int peer = s.attach(0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    ASSERT_EQ(s.queue(0, kApiVersionsKey, SEND_NOWAIT), 0);
    close(peer);
    s.peers[0] = -1; // closed here already
    int32_t rc = 0;
    auto lines = captureLog([&] { rc = s.queue(0, kApiVersionsKey, SEND_NOWAIT); });
    EXPECT_EQ(rc, 7500);
    EXPECT_EQ(s.entry(0).i32Socket, -1);
    EXPECT_EQ(s.entry(0).pPendingHead, nullptr);
    EXPECT_EQ(s.entry(0).pPendingTail, nullptr);
    EXPECT_EQ(s.entry(0).u32PendingCount, 0u);
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"7500", "5005", "5005"}));
    EXPECT_EQ(lines[0].text, "TCPIP Error from send(): Broker 127.0.0.1:9092 32 (Broken pipe)");
    EXPECT_EQ(lines[1].text,
              "No Reply received for 18/ApiVersions, CorrelID 1 from Broker 127.0.0.1:9092");
    EXPECT_EQ(lines[2].text,
              "No Reply received for 18/ApiVersions, CorrelID 2 from Broker 127.0.0.1:9092");
}

TEST_F(SendTest, RequestsTooShortForAHeaderAreRefused) {
    s.table(2);
    int peer = s.attach(0);
    uint8_t tiny[11] = {};
    captureLines([&] { EXPECT_EQ(kafka_sendqueue(s.pcb, 0, tiny, 11, SEND_NOWAIT), 7500); });
    captureLines([&] { EXPECT_EQ(kafka_sendqueue(s.pcb, 0, nullptr, 17, SEND_NOWAIT), 7500); });
    captureLines([&] { EXPECT_EQ(kafka_sendqueue(s.pcb, 5, tiny, 11, SEND_NOWAIT), 7500); });
    EXPECT_TRUE(readAvailable(peer).empty());
    EXPECT_NE(s.entry(0).i32Socket, -1) << "a refused argument does not end the connection";
}

TEST_F(SendTest, NamesOfRequestAndReplyKeys) {
    EXPECT_STREQ(get_KeyName(12), "HeartBeat");
    EXPECT_STREQ(get_KeyName(17), "SaslHandsh");
    EXPECT_STREQ(get_KeyName(4), "--");
    EXPECT_STREQ(get_KeyName(36), "SaslAuth");
    EXPECT_STREQ(get_KeyName(-1), "--");
    EXPECT_STREQ(get_KeyName(65536 + 18), "ApiVersions") << "taken as a 16-bit key";
    EXPECT_STREQ(get_ReplyKeyName(1), "FetchRy");
    EXPECT_STREQ(get_ReplyKeyName(36), "SaslAuRy");
    EXPECT_STREQ(get_ReplyKeyName(4), "--");
}

TEST_F(SendTest, SentSaslRequestDumpHidesThePassword) {
    s.table(2);
    int peer = s.attach(0);
    s.pcb->iDebugLevel = 5;
    Bytes bytes = s.request(0, 36, 2, saslAuthBody("alice", "Secret9pw"));
    auto lines = captureLog([&] {
        ASSERT_EQ(kafka_sendqueue(s.pcb, 0, bytes.data(), uint32_t(bytes.size()), SEND_NOWAIT), 0);
    });
    Bytes expected = bytes;
    size_t password = 17 + 3 + 5 + 1; // header, tag, length, 0, user, 0
    std::fill(expected.begin() + long(password), expected.begin() + long(password + 9), '*');
    EXPECT_EQ(dumpedBytes(lines), expected);
    EXPECT_TRUE(contains(readAvailable(peer), "Secret9pw")) << "the wire keeps the password";

    // The dump of a request dropped with its connection hides it as well.
    lines = captureLog([&] { EXPECT_EQ(kafka_clearBroker(s.pcb, 0, 0), 5005); });
    EXPECT_EQ(dumpedBytes(lines), expected);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].text, "HEXDump for No Reply for this Request len=" +
                                 std::to_string(bytes.size()));
}

TEST_F(SendTest, PasswordMaskFailsSafeOnRequestsItCannotFollow) {
    s.table(2);
    struct Case {
        const char *what;
        Bytes body;
        size_t maskedFrom; // every byte from here to the end is '*'
        size_t maskedTo;
    };
    const Case cases[] = {
        {"length beyond the request", {0, 0x7F, 0, 'a', 0, 'p', 'w'}, 17, 24},
        {"no second zero", {0, 4, 0, 'a', 'b', 'c'}, 17, 23},
        {"varint never ends", {0, 0x80, 0x80}, 17, 20},
        {"empty password", {0, 4, 0, 'u', 0, 0}, 22, 22},
        {"bytes behind auth_bytes stay", {0, 4, 0, 0, 'p', 'w'}, 21, 22},
        {"SCRAM message hidden whole", {0, 5, 'c', '=', 'p', 'w', 0}, 19, 23},
    };
    for (const Case &c : cases) {
        Bytes bytes = s.request(0, 36, 2, c.body);
        Bytes masked = bytes;
        transport_maskSaslPassword(masked.data(), uint32_t(masked.size()));
        Bytes expected = bytes;
        std::fill(expected.begin() + long(c.maskedFrom), expected.begin() + long(c.maskedTo),
                  '*');
        EXPECT_EQ(masked, expected) << c.what;
    }
    // Cut inside the client id: everything behind the correlation id goes.
    Bytes cut = s.request(0, 36, 2);
    cut.resize(15);
    transport_maskSaslPassword(cut.data(), uint32_t(cut.size()));
    EXPECT_EQ(Bytes(cut.begin() + 12, cut.end()), (Bytes{'*', '*', '*'}));
}

} // namespace
} // namespace bqxtest
