// Sessions over the broker's TLS listeners. Per listener (SSL, SASL_SSL with
// PLAIN, with SCRAM-SHA-512, with SCRAM-SHA-256 only, SSL with a client
// certificate) bqx produces to a new topic, consumes it back with a group
// (so the leader and coordinator connections are TLS too) and another client
// reads it over the same listener: kcat, or Kafka's console consumer where
// kcat cannot do SCRAM. Then the refusals: an untrusted certificate, a host
// name the certificate does not name, a wrong SCRAM password, TLS against a
// plaintext listener and the reverse, and a missing client certificate, each
// with its logged reason and within a bounded time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "bqx.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"

using namespace bqxbroker;
using bqxtest::LogLine;

namespace {

constexpr uint32_t kPartitions = 3;
constexpr int kPerPartition = 12;
constexpr size_t kTotal = kPartitions * kPerPartition;
constexpr uint32_t kCapacity = 256 * 1024;
using Values = std::map<int32_t, std::vector<std::string>>;

// Sets the variables BQXCONN reads for TLS for the test's length.
struct TlsEnv {
    explicit TlsEnv(const std::string &caFile, bool clientCertificate = false)
        : ca("BQX_SSL_CA_FILE", caFile.c_str()),
          cert("BQX_SSL_CERT_FILE",
               clientCertificate ? envValue("KAFKA_SSL_CLIENT_CERT").c_str() : nullptr),
          key("BQX_SSL_KEY_FILE",
              clientCertificate ? envValue("KAFKA_SSL_CLIENT_KEY").c_str() : nullptr) {}
    bqxtest::ScopedEnv ca, cert, key;
};

int32_t authenticate(const Session &s, const std::string &password) {
    std::string user = envValue("KAFKA_SCRAM_USER");
    return BQXAUTH(s.handle, user.data(), static_cast<int32_t>(user.size()), password.data(),
                   static_cast<int32_t>(password.size()));
}

struct Listener {
    const char *name;
    const char *address;  // variable of `scripts/kafka env` holding host:port
    const char *protocol; // prefix of the bootstrap text
    bool sasl;
    bool clientCertificate;
    const char *javaConfig; // SCRAM rows: the console consumer's client configuration
    int32_t mode;           // synch mode of the producing session
};

const Listener kListeners[] = {
    {"Ssl", "KAFKA_SSL_BOOTSTRAP", "SSL://", false, false, nullptr, 4},
    {"SaslSslPlain", "KAFKA_SASL_SSL_BOOTSTRAP", "SASL_SSL://", true, false, nullptr, 0},
    {"ScramSha512", "KAFKA_SCRAM_BOOTSTRAP", "SASL_SSL://", true, false, "KAFKA_SCRAM512_CLIENT_CONFIG", 4},
    {"ScramSha256", "KAFKA_SCRAM256_BOOTSTRAP", "sasl_ssl://", true, false, "KAFKA_SCRAM256_CLIENT_CONFIG", 0},
    {"MutualTls", "KAFKA_MTLS_BOOTSTRAP", "Ssl://", false, true, nullptr, 4},
};

// Values are "P<partition>-<n>-" and a printable filler; one of them is
// 100 kB, longer than a TLS record.
std::string valueFor(uint32_t partition, int n) {
    std::string value = "P" + std::to_string(partition) + "-" + std::to_string(n) + "-";
    size_t length = partition == 1 && n == 5 ? 100000 : 40 + static_cast<size_t>(n) * 7;
    while (value.size() < length) value += static_cast<char>('a' + value.size() % 26);
    return value;
}

int32_t partitionOf(const std::string &value) { return std::atoi(value.c_str() + 1); }

// Connects `s` over the listener (with the SASL user's credentials if it wants them).
bool connected(Session &s, const Listener &l, const std::string &bootstrap, const std::string &topic) {
    int32_t rc = l.sasl ? authenticate(s, envValue("KAFKA_SCRAM_PASSWORD")) : 0;
    EXPECT_EQ(rc, 0);
    rc = s.connect(bootstrap, topic);
    EXPECT_EQ(rc, 0) << bootstrap;
    return rc == 0;
}

Values produceAll(const Listener &l, const std::string &bootstrap, const std::string &topic) {
    Values sent;
    std::vector<std::string> keys = keysForPartitions(kPartitions);
    Session s;
    if (!connected(s, l, bootstrap, topic)) return sent;
    EXPECT_EQ(BQXSYNC(s.handle, l.mode, 5, 1), 0);
    for (int n = 0; n < kPerPartition; ++n)
        for (uint32_t p = 0; p < kPartitions; ++p) {
            EXPECT_EQ(s.produce(keys[p], valueFor(p, n)), 0);
            sent[static_cast<int32_t>(p)].push_back(valueFor(p, n));
        }
    EXPECT_EQ(BQXSYNC(s.handle, 2, 0, 0), 0) << "every message acknowledged";
    return sent;
}

// Consumes every produced message, then expects nothing more within a second.
Values consumeAll(const Listener &l, const std::string &bootstrap, const std::string &topic) {
    Values got;
    Session s;
    if (!connected(s, l, bootstrap, topic)) return got;
    int32_t rc = 0;
    std::string group = newGroup("tls");
    std::vector<char> buffer(kCapacity);
    auto next = [&](int32_t timeout) {
        uint32_t length = kCapacity;
        rc = BQXCONS(s.handle, group.data(), static_cast<int32_t>(group.size()), buffer.data(),
                     &length, 0, timeout);
        if (rc != 0) return;
        std::string value(buffer.data(), length);
        got[partitionOf(value)].push_back(value);
    };
    bqxtest::captureLines([&] {
        for (size_t n = 0; n < kTotal && rc == 0; ++n) next(10);
        EXPECT_EQ(rc, 0);
        next(1);
    });
    EXPECT_EQ(rc, 7543) << "nothing more arrives";
    return got;
}

// kcat's options for the listener: TLS with the test CA, and SASL PLAIN or
// the client certificate where the listener wants them.
std::string kcatOptions(const Listener &l) {
    std::string options = "-X security.protocol=" + std::string(l.sasl ? "SASL_SSL" : "SSL") +
                          " -X ssl.ca.location=" + envValue("KAFKA_SSL_CA_FILE");
    if (l.sasl)
        options += " -X sasl.mechanisms=PLAIN -X sasl.username=" + envValue("KAFKA_SASL_USER") +
                   " -X sasl.password=" + envValue("KAFKA_SASL_PASSWORD");
    if (l.clientCertificate)
        options += " -X ssl.certificate.location=" + envValue("KAFKA_SSL_CLIENT_CERT") +
                   " -X ssl.key.location=" + envValue("KAFKA_SSL_CLIENT_KEY");
    return options;
}

// Kafka's console consumer prints "Partition:<p>\t<key>\t<value>" per
// message (and may print notices on other lines).
Values readWithConsoleConsumer(const Listener &l, const std::string &topic) {
    int status = 0;
    std::string out = shell(std::string(BQX_KAFKA_SCRIPT) + " console-consumer --bootstrap-server " +
                                envValue(l.address) + " --consumer.config " + envValue(l.javaConfig) +
                                " --topic " + topic + " --from-beginning --max-messages " +
                                std::to_string(kTotal) + " --timeout-ms 60000" +
                                " --property print.partition=true --property print.key=true 2>/dev/null",
                            &status);
    EXPECT_EQ(status, 0) << out;
    std::vector<std::string> keys = keysForPartitions(kPartitions);
    Values got;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Partition:", 0) != 0) continue;
        size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos) {
            ADD_FAILURE() << "not a message: " << line.substr(0, 80);
            continue;
        }
        int32_t partition = std::atoi(line.c_str() + 10);
        EXPECT_EQ(line.substr(tab1 + 1, tab2 - tab1 - 1), keys.at(static_cast<size_t>(partition)));
        got[partition].push_back(line.substr(tab2 + 1));
    }
    return got;
}

Values readBack(const Listener &l, const std::string &topic) {
    if (l.javaConfig) return readWithConsoleConsumer(l, topic);
    std::vector<std::string> keys = keysForPartitions(kPartitions);
    Values got;
    for (uint32_t p = 0; p < kPartitions; ++p)
        for (const Message &m : readPartition(envValue(l.address), topic, static_cast<int32_t>(p),
                                              kcatOptions(l))) {
            EXPECT_EQ(m.key, keys[p]);
            got[m.partition].push_back(m.value);
        }
    return got;
}

void PrintTo(const Listener &l, std::ostream *os) { *os << l.name; }

class BrokerTls : public ::testing::TestWithParam<Listener> {};

TEST_P(BrokerTls, ProducedConsumedAndReadBackOverTheListener) {
    const Listener &l = GetParam();
    TlsEnv env(envValue("KAFKA_SSL_CA_FILE"), l.clientCertificate);
    std::string bootstrap = l.protocol + envValue(l.address);
    std::string topic = newTopic(std::string("tls-") + l.name, kPartitions);
    Values sent = produceAll(l, bootstrap, topic);
    if (HasFailure()) return; // nothing to read back
    EXPECT_EQ(consumeAll(l, bootstrap, topic), sent) << "consumed over " << bootstrap;
    EXPECT_EQ(readBack(l, topic), sent) << "read back over " << bootstrap;
}

INSTANTIATE_TEST_SUITE_P(Listeners, BrokerTls, ::testing::ValuesIn(kListeners),
                         [](const ::testing::TestParamInfo<Listener> &info) { return info.param.name; });

// A connection the broker or the client must refuse, and what is logged.
struct Refusal {
    const char *name;
    const char *protocol;
    const char *host;
    const char *portOf; // variable of `scripts/kafka env` whose port is used
    const char *caFile; // variable naming the CA file
    const char *password; // SASL password, nullptr: no SASL
    int32_t rc;
    const char *text;      // in the text of a line logged with the number rc
    const char *brokerLog; // in the broker's log after the attempt, or nullptr
};

const Refusal kRefusals[] = {
    {"UntrustedCertificate", "SSL://", "127.0.0.1", "KAFKA_SSL_BOOTSTRAP", "KAFKA_SSL_OTHER_CA_FILE",
     nullptr, 7500, "certificate verify failed", nullptr},
    {"HostNameNotInCertificate", "SSL://", "localhost", "KAFKA_SSL_BOOTSTRAP", "KAFKA_SSL_CA_FILE",
     nullptr, 7500, "hostname mismatch", nullptr},
    // offered both, the session takes SCRAM-SHA-512; offered SHA-256 alone, that
    {"WrongScramSha512Password", "SASL_SSL://", "127.0.0.1", "KAFKA_SCRAM_BOOTSTRAP",
     "KAFKA_SSL_CA_FILE", "not-the-password", 7510, "58 Authentication failed",
     "invalid credentials with SASL mechanism SCRAM-SHA-512"},
    {"WrongScramSha256Password", "SASL_SSL://", "127.0.0.1", "KAFKA_SCRAM256_BOOTSTRAP",
     "KAFKA_SSL_CA_FILE", "not-the-password", 7510, "58 Authentication failed",
     "invalid credentials with SASL mechanism SCRAM-SHA-256"},
    {"TlsToPlaintextListener", "SSL://", "127.0.0.1", "KAFKA_BOOTSTRAP", "KAFKA_SSL_CA_FILE", nullptr,
     7500, "closed by the broker during the TLS handshake", nullptr},
    {"PlaintextToTlsListener", "", "127.0.0.1", "KAFKA_SSL_BOOTSTRAP", "KAFKA_SSL_CA_FILE", nullptr,
     7500, "the listener expects SSL://", nullptr},
    // the broker's TLS alert ("bad certificate" or "certificate required")
    {"NoClientCertificate", "SSL://", "127.0.0.1", "KAFKA_MTLS_BOOTSTRAP", "KAFKA_SSL_CA_FILE",
     nullptr, 7500, " alert ", nullptr},
};

// The broker's log from `offset` on, once it holds `text` (the broker
// writes it a moment after it answered), else what it holds after 5 s.
std::string brokerLogFrom(std::streamoff offset, const std::string &text) {
    std::string tail;
    for (int attempt = 0; attempt < 50 && tail.find(text) == std::string::npos; ++attempt) {
        if (attempt) usleep(100 * 1000);
        std::ifstream log(envValue("KAFKA_DATA_DIR") + "/node1/server.log");
        log.seekg(offset);
        tail.assign(std::istreambuf_iterator<char>(log), {});
    }
    return tail;
}

std::streamoff brokerLogSize() {
    std::ifstream log(envValue("KAFKA_DATA_DIR") + "/node1/server.log", std::ios::ate);
    return log ? static_cast<std::streamoff>(log.tellg()) : 0;
}

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

class BrokerTlsRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(BrokerTlsRefused, LoggedWithItsReasonWithoutHanging) {
    const Refusal &r = GetParam();
    static const std::string topic = newTopic("tls-refused", 1);
    TlsEnv env(envValue(r.caFile));
    std::string address = envValue(r.portOf);
    std::string bootstrap = r.protocol + std::string(r.host) + address.substr(address.rfind(':'));
    Session s;
    ASSERT_EQ(BQXTIMO(s.handle, 6), 0);
    if (r.password) {
        ASSERT_EQ(authenticate(s, r.password), 0);
    }
    int32_t rc = 0;
    std::streamoff logged = brokerLogSize();
    auto start = std::chrono::steady_clock::now();
    auto log = bqxtest::captureLog([&] { rc = s.connect(bootstrap, topic); });
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(rc, r.rc) << bootstrap;
    EXPECT_LT(seconds, 20.0) << "no hang";
    if (r.brokerLog) {
        EXPECT_NE(brokerLogFrom(logged, r.brokerLog).find(r.brokerLog), std::string::npos)
            << "the broker did not log: " << r.brokerLog;
    }
    bool seen = false;
    std::string lines;
    for (const LogLine &line : log) {
        lines += "\n  " + line.number + " " + line.text;
        seen |= line.number == std::to_string(r.rc) && line.text.find(r.text) != std::string::npos;
        if (r.password) {
            EXPECT_EQ(line.text.find(r.password), std::string::npos) << "password logged";
        }
    }
    EXPECT_TRUE(seen) << "no " << r.rc << " with \"" << r.text << "\" for " << bootstrap << lines;
}

INSTANTIATE_TEST_SUITE_P(Errors, BrokerTlsRefused, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal> &info) { return info.param.name; });

} // namespace
