// BQXCONF: refused names and values leave the session as it was; each
// setting's effect on the wire (the request header's client id, the
// mechanism the SASL handshake names, the offset a new group starts at);
// the bootstrap list.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include "api/session.h"
#include "bqx.h"
#include "codec/deflate.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"

using namespace bqxtest;

namespace {

int32_t conf(int32_t handle, const std::string &name, const std::string &value) {
    return BQXCONF(handle, name.data(), static_cast<int32_t>(name.size()), value.data(),
                   static_cast<int32_t>(value.size()));
}

std::string clientIdOf(const FakeRequest &request) {
    const Bytes &raw = request.raw;
    if (raw.size() < 14)
        return "";
    size_t length = static_cast<size_t>((raw[12] << 8) | raw[13]);
    if (raw.size() < 14 + length)
        return "";
    return std::string(raw.begin() + 14, raw.begin() + 14 + static_cast<long>(length));
}

// The mechanism a SaslHandshake request names.
std::string mechanismOf(const FakeRequest &request) {
    RequestReader in{request.raw};
    return in.bytes(in.be(2));
}

Bytes metadataBody(const std::string &topic, int port) {
    return bodyOf(metadataReply(0, {{1, "127.0.0.1", port}}, 0, topic, {{0, 1, {1}, {1}}}));
}

class Conf : public ::testing::Test {
  protected:
    void SetUp() override {
        captureLines([&] { handle = BQXOPEN(); });
        pcb = get_BQXPCB(handle);
        ASSERT_NE(pcb, nullptr);
    }
    void TearDown() override {
        captureLines([] { BQXTERM(); });
    }
    int32_t conn(const std::string &bootstrap) {
        int32_t rc = 0;
        log = captureLog([&] {
            rc = BQXCONN(handle, bootstrap.data(), static_cast<int32_t>(bootstrap.size()), "orders",
                         6);
        });
        return rc;
    }
    std::string local(const FakeBroker &broker) {
        return "127.0.0.1:" + std::to_string(broker.port());
    }
    int32_t handle = -1;
    PCB *pcb = nullptr;
    std::vector<LogLine> log;
};

TEST_F(Conf, RefusalsNameTheSettingAndChangeNothing) {
    ASSERT_EQ(conf(handle, "client.id", "svc"), 0);
    ASSERT_EQ(conf(handle, "partitioner", "murmur2"), 0);
    struct Case {
        std::string name, value, text;
    } cases[] = {
        {"no.such.setting", "1", "Setting no.such.setting refused: unknown setting"},
        {"Client.Id", "x", "Setting Client.Id refused: unknown setting"},
        {"client.id", "", "Setting client.id refused: 1 to 64 printable ASCII characters"},
        {"client.id", std::string(65, 'c'), "refused: 1 to 64 printable"},
        {"client.id", "a\nb", "refused: 1 to 64 printable"},
        {"client.id", "caf\xc3\xa9", "refused: 1 to 64 printable"},
        {"client.id", std::string("a\0b", 3), "refused: 1 to 64 printable"},
        {"partitioner", "murmur3", "Setting partitioner refused: djb or murmur2"},
        {"auto.offset.reset", "none", "refused: earliest or latest"},
        {"sasl.mechanism", "GSSAPI", "refused: PLAIN, SCRAM-SHA-256 or SCRAM-SHA-512"},
        {"statistics.interval.ms", "-1", "refused: 0 (off) to 2147483647"},
        {"statistics.interval.ms", "2147483648", "refused: 0 (off) to 2147483647"},
        {"metadata.max.age.ms", "10s", "refused: 0 (no refresh by age)"},
        {"ssl.ca.location", "/tmp/a\tb", "refused: a file path"},
        {"delivery.timeout.ms", "0", "refused: 1 to 2147483647 milliseconds"},
        {"enable.idempotence", "yes", "refused: true or false"},
        {"fetch.max.bytes", "1000", "refused: 1024 to 52428800 bytes"},
        {"fetch.max.bytes", "52428801", "refused: 1024 to 52428800 bytes"},
        {"max.partition.fetch.bytes", "0", "refused: 1 to 52428800 bytes"},
        {"compression.type", "brotli", "refused: none, gzip, snappy, lz4 or zstd"},
        {"compression.level", "23", "refused: -1 (the default) or a level"},
        {"compression.level", "-2", "refused: -1 (the default) or a level"},
        // Level 12, set below, is one lz4 takes but gzip does not.
        {"compression.type", "gzip", "refused: level 12: gzip takes 0 to 9, or -1 (6)"},
        {"compression.type", "zstd", "refused: not in this build (CMake option BQX_WITH_ZSTD=ON)"},
    };
    // Played: a library built with every codec but zstd.
    gpfnDeflateAvailable = [](int16_t codec) { return codec != kCodecZstd; };
    ASSERT_EQ(conf(handle, "compression.type", "lz4"), 0);
    ASSERT_EQ(conf(handle, "compression.level", "12"), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name + "=" + c.value);
        int32_t rc = 0;
        log = captureLog([&] { rc = conf(handle, c.name, c.value); });
        EXPECT_EQ(rc, 7548);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].number, "7548");
        EXPECT_NE(log[0].text.find(c.text), std::string::npos) << log[0].text;
        EXPECT_EQ(pcb->i32LastError, 7548);
    }
    gpfnDeflateAvailable = deflate_built_with;
    EXPECT_EQ(pcb->u32CompressionType, static_cast<uint32_t>(kCodecLz4));
    EXPECT_EQ(pcb->u32CompressionLevel, 13u);
    EXPECT_STREQ(pcb->pszClientId, "svc");
    EXPECT_EQ(pcb->u32Partitioner, static_cast<uint32_t>(kPartitionerMurmur2));
    EXPECT_EQ(pcb->u32OffsetResetLatest, 0u);
    EXPECT_EQ(pcb->u32SaslMechanismSet, 0u);
    EXPECT_EQ(pcb->u32StatsIntervalMs, 0u);
    EXPECT_EQ(pcb->u32MetadataMaxAgeMs, 300000u);
    EXPECT_EQ(pcb->apszSslFiles[kSslCaFile], nullptr);
    // Bad pointers are argument errors; a closed handle is 7502.
    EXPECT_EQ(BQXCONF(handle, nullptr, 3, "x", 1), 7536);
    EXPECT_EQ(BQXCONF(handle, "client.id", 9, "x", -1), 7536);
    EXPECT_EQ(BQXCONF(BQX_MAX_SESSIONS, "client.id", 9, "x", 1), 7502);
}

TEST_F(Conf, AcceptedValuesAreStored) {
    struct Case {
        std::string name, value;
        std::function<bool(const PCB *)> stored;
    } cases[] = {
        {"auto.offset.reset", "latest", [](const PCB *p) { return p->u32OffsetResetLatest == 1; }},
        {"auto.offset.reset", "EARLIEST",
         [](const PCB *p) { return p->u32OffsetResetLatest == 0; }},
        {"partitioner", "djb", [](const PCB *p) { return p->u32Partitioner == kPartitionerDjb; }},
        {"sasl.mechanism", "scram-sha-512",
         [](const PCB *p) { return p->u32SaslMechanismSet == 3; }},
        {"statistics.interval.ms", "60000",
         [](const PCB *p) { return p->u32StatsIntervalMs == 60000; }},
        {"metadata.max.age.ms", "0", [](const PCB *p) { return p->u32MetadataMaxAgeMs == 0; }},
        {"delivery.timeout.ms", "5000",
         [](const PCB *p) { return p->u32DeliveryTimeoutMs == 5000; }},
        {"enable.idempotence", "false", [](const PCB *p) { return p->u32Idempotence == 0; }},
        {"fetch.max.bytes", "1048576", [](const PCB *p) { return p->u32FetchMaxBytes == 1048576; }},
        {"max.partition.fetch.bytes", "65536",
         [](const PCB *p) { return p->u32PartitionFetchMaxBytes == 65536; }},
        {"compression.type", "ZSTD", [](const PCB *p) { return p->u32CompressionType == 4; }},
        {"compression.level", "22", [](const PCB *p) { return p->u32CompressionLevel == 23; }},
        {"compression.level", "-1", [](const PCB *p) { return p->u32CompressionLevel == 0; }},
        {"compression.type", "snappy", [](const PCB *p) { return p->u32CompressionType == 2; }},
        {"ssl.key.password", "pw",
         [](const PCB *p) {
             return p->apszSslFiles[kSslKeyPassword] &&
                    strcmp(p->apszSslFiles[kSslKeyPassword], "pw") == 0;
         }},
        {"ssl.key.password", "", [](const PCB *p) { return !p->apszSslFiles[kSslKeyPassword]; }},
    };
    pcb->iDebugLevel = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name + "=" + c.value);
        log = captureLog([&] { EXPECT_EQ(conf(handle, c.name, c.value), 0); });
        EXPECT_TRUE(c.stored(pcb));
        for (const LogLine &line : log)
            EXPECT_EQ(line.text.find("pw"), std::string::npos);
    }
}

TEST_F(Conf, ClientIdGoesInEveryRequestHeader) {
    for (std::string id : {"", "orders-service-7"}) {
        SCOPED_TRACE(id);
        if (!id.empty()) {
            ASSERT_EQ(conf(handle, "client.id", id), 0);
        }
        FakeBroker broker;
        broker.script(FakeAction::reply(apiVersionsBody()));
        broker.script(FakeAction::reply(metadataBody("orders", broker.port())));
        ASSERT_EQ(conn(local(broker)), 0);
        std::vector<FakeRequest> requests = broker.requests();
        ASSERT_EQ(requests.size(), 2u);
        for (const FakeRequest &request : requests)
            EXPECT_EQ(clientIdOf(request), id.empty() ? "BqX" : id);
    }
}

TEST_F(Conf, SaslMechanismSetIsTheOnlyOneOffered) {
    struct Case {
        std::string setting;                 // "" : not set
        std::vector<std::string> offered;    // the broker's list
        std::vector<std::string> handshakes; // mechanisms the client named
        int32_t rc;
    } cases[] = {
        // Not set: PLAIN first, and SCRAM on a new connection when refused.
        {"", {"SCRAM-SHA-256"}, {"PLAIN", "SCRAM-SHA-256"}, 7510},
        // Set: that one only; a broker without it gets no password at all.
        {"SCRAM-SHA-512", {"PLAIN"}, {"SCRAM-SHA-512"}, 7510},
        {"PLAIN", {"SCRAM-SHA-256"}, {"PLAIN"}, 7510},
    };
    ASSERT_EQ(BQXAUTH(handle, "alice", 5, "secret", 6), 0);
    int32_t saved = gi32ReplyWaitSeconds;
    gi32ReplyWaitSeconds = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting);
        if (!c.setting.empty()) {
            ASSERT_EQ(conf(handle, "sasl.mechanism", c.setting), 0);
        }
        FakeBroker broker;
        broker.respond([&](const FakeRequest &request) {
            if (request.apiKey == 18)
                return FakeAction::reply(apiVersionsBody());
            if (request.apiKey == 17)
                return FakeAction::reply(saslHandshakeBody(33, c.offered));
            return FakeAction::noReply();
        });
        EXPECT_EQ(conn(local(broker)), c.rc);
        std::vector<std::string> named;
        for (const FakeRequest &request : broker.requests()) {
            if (request.apiKey == 17)
                named.push_back(mechanismOf(request));
            // No request carries the password.
            std::string raw(request.raw.begin(), request.raw.end());
            EXPECT_EQ(raw.find("secret"), std::string::npos);
        }
        EXPECT_EQ(named, c.handshakes);
    }
    gi32ReplyWaitSeconds = saved;
}

TEST_F(Conf, BootstrapListSkipsServersThatDoNotAnswer) {
    FakeBroker up;
    up.script(FakeAction::reply(apiVersionsBody()));
    up.script(FakeAction::reply(metadataBody("orders", up.port())));
    int closedPort = 0;
    {
        FakeBroker gone; // its port refuses connections once it is gone
        closedPort = gone.port();
    }
    std::string list = "127.0.0.1:" + std::to_string(closedPort) + ",," + local(up);
    ASSERT_EQ(conn(list), 0);
    EXPECT_TRUE(logged(log, "7500")); // the first server's refusal
    EXPECT_EQ(up.requests().size(), 2u);
    EXPECT_EQ(pcb->u32PartitionCount, 1u);
}

TEST_F(Conf, NewGroupStartsWhereAutoOffsetResetSays) {
    struct Case {
        std::string reset;
        std::string first; // the first value consumed
        int64_t offset;    // its offset, as BQXINFO gives it
    } cases[] = {{"earliest", "a", 0}, {"latest", "d", 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reset);
        FakeCluster cluster("orders", 1, {1});
        cluster.offerApiVersions(consumerApiRanges());
        cluster.append(0, {"a", "b", "c"});
        // "d" arrives once the consumer has its start offset.
        bool appended = false;
        cluster.onRequest(1, [&](size_t, const FakeRequest &) -> std::optional<FakeAction> {
            if (!appended)
                cluster.append(0, {"d"});
            appended = true;
            return std::nullopt;
        });
        ClusterSession session;
        session.settings = {{"auto.offset.reset", c.reset}};
        ASSERT_EQ(session.connect(cluster), 0);
        std::vector<std::string> values = session.consume("g-" + c.reset, 1, 5);
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(values[0], c.first);
        uint32_t keyLength = 0, flags = 0;
        int32_t partition = -1;
        int64_t offset = -1, timestamp = 0;
        ASSERT_EQ(
            BQXINFO(session.handle, nullptr, &keyLength, &partition, &offset, &timestamp, &flags),
            0);
        EXPECT_EQ(offset, c.offset);
        if (c.reset != "latest")
            continue;
        // Nothing more: a BQXCONS that returns no message leaves none to describe.
        int32_t rc = 0;
        session.consume("g-" + c.reset, 1, 1, nullptr, &rc);
        EXPECT_EQ(rc, 7543);
        captureLines([&] {
            EXPECT_EQ(BQXINFO(session.handle, nullptr, &keyLength, &partition, &offset, &timestamp,
                              &flags),
                      7522);
        });
    }
}

TEST_F(Conf, StatisticsComeEveryIntervalWithEachPartitionsLag) {
    for (std::string interval : {"0", "1"}) {
        SCOPED_TRACE(interval);
        FakeCluster cluster("orders", 1, {1});
        cluster.offerApiVersions(consumerApiRanges());
        cluster.append(0, {"a", "b", "c"});
        ClusterSession session;
        session.settings = {{"statistics.interval.ms", interval}};
        ASSERT_EQ(session.connect(cluster), 0);
        ASSERT_EQ(session.consume("g", 1, 5).size(), 1u);
        usleep(5000);
        std::vector<LogLine> lines = captureLog([&] { BQXDBUG(session.handle, 0); });
        if (interval == "0") {
            EXPECT_TRUE(lines.empty());
            continue;
        }
        EXPECT_EQ(numbersOf(lines),
                  (std::vector<std::string>{"0018", "0019", "0049", "0022", "0034"}));
        // The fake's Fetch replies give high watermark 99; offset 1 is next.
        EXPECT_TRUE(logged(lines, "0034", "lag partition 0: 98"));
        EXPECT_TRUE(logged(lines, "0018", "consume: 1 "));
    }
}

// Every line is written with write() of its own where BQX_LOG says; a
// file is appended to.
TEST_F(Conf, LogLinesGoWhereBqxLogSays) {
    char path[] = "/tmp/bqx-log-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(write(fd, "kept\n", 5), 5);
    close(fd);
    struct Case {
        std::string setting;
        bool onStdout, inFile;
    } cases[] = {{"none", false, false},
                 {std::string("file:") + path, false, true},
                 {"stdout", true, false}};
    captureLines([] { BQXTERM(); });
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting);
        setenv("BQX_LOG", c.setting.c_str(), 1);
        std::vector<std::string> out = captureLines([&] {
            handle = BQXOPEN(); // the first session reads BQX_LOG
            BQXCONF(handle, "no.such", 7, "x", 1);
            BQXTERM();
        });
        EXPECT_EQ(!out.empty(), c.onStdout);
    }
    unsetenv("BQX_LOG");
    captureLines([&] { handle = BQXOPEN(); });
    pcb = get_BQXPCB(handle);
    FILE *file = fopen(path, "r");
    ASSERT_NE(file, nullptr);
    std::vector<std::string> lines;
    char line[512];
    while (fgets(line, sizeof line, file))
        lines.push_back(line);
    fclose(file);
    unlink(path);
    ASSERT_EQ(lines.size(), 3u); // the line before, 0007 and 7548
    EXPECT_EQ(lines[0], "kept\n");
    EXPECT_EQ(parseLine(lines[1].substr(0, lines[1].size() - 1)).number, "0007");
    EXPECT_EQ(parseLine(lines[2].substr(0, lines[2].size() - 1)).number, "7548");
}

} // namespace
