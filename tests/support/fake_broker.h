// A scripted stand-in for a Kafka broker on 127.0.0.1: it accepts
// connections, reads size-framed requests, records them and answers each
// with the next scripted action (or the default one).
#ifndef BQX_TESTS_FAKE_BROKER_H
#define BQX_TESTS_FAKE_BROKER_H

#include <stdint.h>

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bqxtest {

using Bytes = std::vector<uint8_t>;

constexpr int16_t kProduceKey = 0;
constexpr int16_t kFetchKey = 1;
constexpr int16_t kListOffsetsKey = 2;
constexpr int16_t kMetadataKey = 3;
constexpr int16_t kInitProducerIdKey = 22;
constexpr int16_t kOffsetCommitKey = 8;
constexpr int16_t kOffsetFetchKey = 9;
constexpr int16_t kFindCoordinatorKey = 10;
constexpr int16_t kJoinGroupKey = 11;
constexpr int16_t kHeartbeatKey = 12;
constexpr int16_t kLeaveGroupKey = 13;
constexpr int16_t kSyncGroupKey = 14;
constexpr int16_t kApiVersionsKey = 18;

// An offered version range: {API key, lowest, highest}.
using ApiRange = std::array<int16_t, 3>;

// One request as the fake received it (size field included in `raw`).
struct FakeRequest {
    int16_t apiKey = 0;
    int16_t apiVersion = 0;
    int32_t correlId = 0;
    Bytes raw;
};

// Holds back the answers that wait on it until the test opens it; after
// ten seconds it opens by itself, so that a test that fails before it
// opens the gate ends instead of hanging in the fake's destructor.
struct FakeGate {
    void open();
    void wait();

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// What the fake does with one request.
struct FakeAction {
    enum class Kind {
        kReply,         // size, correlation id (+ correlDelta), body
        kRawSize,       // only a size field of the given value, nothing behind it
        kHalfThenClose, // the first half of the reply, then the connection ends
        kClose,         // the connection ends, no reply
        kNoReply,       // nothing: the request is never answered
        kUrgentByte,    // one byte of TCP urgent data, nothing else
        kTrickle,       // the reply one byte at a time, gapMs apart
        kStopReading,   // no reply, and nothing more is read from the connection
    };
    Kind kind = Kind::kReply;
    Bytes body;              // reply bytes behind the correlation id
    int32_t correlDelta = 0; // added to the request's correlation id
    int32_t rawSize = 0;     // kRawSize: the size field sent
    int delayMs = 0;         // pause before acting
    int gapMs = 0;           // kTrickle: pause behind each byte
    std::shared_ptr<FakeGate> gate; // waited for before acting (after the delay)

    static FakeAction reply(Bytes body, int32_t correlDelta = 0);
    static FakeAction rawSizeField(int32_t size);
    static FakeAction halfThenClose(Bytes body, int32_t correlDelta = 0);
    static FakeAction close();
    static FakeAction noReply();
    static FakeAction urgentByte();
    static FakeAction trickle(Bytes body, int gapMs);
    static FakeAction stopReading();
    FakeAction delayed(int ms) const;
    // Acts only once `gate` is open. The fake reads nothing meanwhile.
    FakeAction heldBy(std::shared_ptr<FakeGate> gate) const;
};

// Reply bodies (behind the correlation id).
// ApiVersions version 3: error, the offered ranges (none by default), throttle 0, tags.
Bytes apiVersionsBody(int16_t errorCode = 0, const std::vector<ApiRange> &ranges = {});
// SaslHandshake version 1: error, the offered mechanisms.
Bytes saslHandshakeBody(int16_t errorCode, const std::vector<std::string> &mechanisms = {"PLAIN"});

class FakeBroker {
  public:
    FakeBroker();
    ~FakeBroker();
    FakeBroker(const FakeBroker &) = delete;
    FakeBroker &operator=(const FakeBroker &) = delete;

    int port() const { return port_; }
    // Appends an action; each request takes the oldest one left. Without
    // one, ApiVersions (key 18) gets apiVersionsBody() and others nothing.
    void script(const FakeAction &action);
    // Answers every request the script does not by calling `responder`
    // (on the fake's thread, with its lock held: it must not call back).
    void respond(std::function<FakeAction(const FakeRequest &)> responder);
    std::vector<FakeRequest> requests();
    // Waits up to `timeoutMs` until `count` requests have arrived.
    bool waitForRequests(size_t count, int timeoutMs);
    int connectionsAccepted();

  private:
    struct Connection {
        int fd;
        Bytes pending;     // received bytes not yet framed
        bool deaf = false; // kStopReading: never read again
    };

    void run();
    void acceptOne();
    bool readFrom(Connection &connection); // false when the connection ended
    bool handle(Connection &connection, const Bytes &frame);
    bool trickle(int fd, const Bytes &reply, int gapMs); // false when stopped
    FakeAction nextAction(const FakeRequest &request);

    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    int port_ = 0;
    std::vector<Connection> connections_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<FakeAction> script_;
    std::function<FakeAction(const FakeRequest &)> responder_;
    std::vector<FakeRequest> requests_;
    int accepted_ = 0;
    std::thread thread_;
};

} // namespace bqxtest

#endif
