#include "broker/broker_support.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <sstream>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "codec/codec.h"

namespace bqxbroker {

namespace {

std::string run(const std::string &command, int *status) { return shell(command, status); }

std::string script() { return BQX_KAFKA_SCRIPT; }

// Messages with conversion are UTF-8 texts: the session's code page must
// be UTF-8 for them to convert. Set before any session is opened.
const int kUtf8Locale = setenv("LC_ALL", "C.UTF-8", 1);

} // namespace

// Runs a shell command and returns its standard output (binary safe).
std::string shell(const std::string &command, int *status) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *status = -1;
        return out;
    }
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
    int rc = pclose(pipe);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

const std::map<std::string, std::string> &kafkaEnv() {
    static const std::map<std::string, std::string> values = [] {
        std::map<std::string, std::string> parsed;
        int status = 0;
        std::istringstream lines(run(script() + " env", &status));
        for (std::string line; std::getline(lines, line);) {
            size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string value = line.substr(eq + 1);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            parsed[line.substr(0, eq)] = value;
        }
        return parsed;
    }();
    return values;
}

std::string envValue(const std::string &name) {
    auto it = kafkaEnv().find(name);
    return it == kafkaEnv().end() ? "" : it->second;
}

std::string segmentPath(const std::string &topic, int32_t partition) {
    return envValue("KAFKA_DATA_DIR") + "/node1/data/" + topic + "-" + std::to_string(partition) +
           "/00000000000000000000.log";
}

namespace {

// A partition's leader in the metadata may not take records yet: until the
// broker has taken the leadership over, a produce gets NOT_LEADER_OR_FOLLOWER.
// Waits until the leader of every partition answers an offset query, so
// every topic newTopic returns is served.
void waitUntilServed(const std::string &server, const std::string &topic, int partitions) {
    std::string query = "kcat -b " + server;
    for (int p = 0; p < partitions; ++p)
        query += " -Q -t " + topic + ":" + std::to_string(p) + ":-1";
    for (int attempt = 0; attempt < 50; ++attempt) {
        int status = 0;
        std::string out = shell(query + " 2>/dev/null", &status);
        int answered = 0;
        for (size_t at = 0; (at = out.find("] offset ", at)) != std::string::npos; ++at)
            ++answered;
        if (status == 0 && answered == partitions)
            return;
        usleep(200 * 1000);
    }
    ADD_FAILURE() << "the broker does not serve every partition of " << topic;
}

} // namespace

std::string newTopic(const std::string &prefix, int partitions, const std::string &bootstrap,
                     const std::vector<std::string> &configs) {
    static std::atomic<int> counter{0};
    std::string name = "bqx-" + prefix + "-" + std::to_string(getpid()) + "-" +
                       std::to_string(time(nullptr)) + "-" + std::to_string(counter++);
    std::string server = bootstrap.empty() ? envValue("KAFKA_BOOTSTRAP") : bootstrap;
    std::string options;
    for (const std::string &config : configs) options += " --config " + config;
    int status = 0;
    run(script() + " topic " + name + " " + std::to_string(partitions) + " --bootstrap " +
            server + options + " >/dev/null 2>&1",
        &status);
    EXPECT_EQ(status, 0) << "could not create topic " << name;
    if (bootstrap.find(',') != std::string::npos) waitForTopic(bootstrap, name, partitions);
    if (status == 0) waitUntilServed(server, name, partitions);
    return name;
}

// A new topic is known to the controller first; each broker learns about it
// (and about the partitions it leads) a little later. Waits until every
// broker of the list reports all partitions with a leader.
void waitForTopic(const std::string &bootstrapList, const std::string &topic, int partitions) {
    std::istringstream servers(bootstrapList);
    for (std::string server; std::getline(servers, server, ',');) {
        bool ready = false;
        for (int attempt = 0; attempt < 60 && !ready; ++attempt) {
            Session s;
            bqxtest::captureLines([&] { ready = s.connect(server, topic) == 0; });
            PCB *pcb = get_BQXPCB(s.handle);
            ready = ready && pcb->u32PartitionCount == static_cast<uint32_t>(partitions);
            for (uint32_t i = 0; ready && i < pcb->u32PartitionCount; ++i)
                ready = pcb->pPartitionList[i].i32BrokerIdx >= 0 &&
                        pcb->pPartitionList[i].u16PartErrorCode == 0;
            if (!ready) usleep(500 * 1000);
        }
        EXPECT_TRUE(ready) << "topic " << topic << " not ready at " << server;
    }
}

// kcat prints, per message, "partition offset keylength valuelength timestamp\n",
// then the key and value bytes and a newline, so that any bytes survive.
std::vector<Message> readPartition(const std::string &bootstrap, const std::string &topic,
                                   int32_t partition, const std::string &kcatOptions) {
    int status = 0;
    std::string out = run("kcat -q -C -b " + bootstrap + " " + kcatOptions + " -t " + topic + " -p " +
                              std::to_string(partition) +
                              " -o beginning -e -f '%p %o %K %S %T\\n%k%s\\n' 2>/dev/null",
                          &status);
    EXPECT_EQ(status, 0) << "kcat failed for " << topic << "/" << partition;
    std::vector<Message> messages;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t eol = out.find('\n', pos);
        if (eol == std::string::npos) break;
        Message m;
        std::istringstream head(out.substr(pos, eol - pos));
        head >> m.partition >> m.offset >> m.keyLength >> m.valueLength >> m.timestamp;
        pos = eol + 1;
        size_t keyBytes = m.keyLength > 0 ? static_cast<size_t>(m.keyLength) : 0;
        size_t valueBytes = m.valueLength > 0 ? static_cast<size_t>(m.valueLength) : 0;
        if (pos + keyBytes + valueBytes + 1 > out.size()) {
            ADD_FAILURE() << "kcat output ends inside a message";
            break;
        }
        m.key = out.substr(pos, keyBytes);
        m.value = out.substr(pos + keyBytes, valueBytes);
        pos += keyBytes + valueBytes + 1;
        messages.push_back(m);
    }
    return messages;
}

int freePort() { return bqxtest::closedLoopbackPort(); }

Session::Session() { handle = BQXOPEN(); }

Session::~Session() { close(); }

void Session::close() {
    if (handle >= 0) BQXCLSE(handle);
    handle = -1;
}

int32_t Session::connect(const std::string &bootstrap, const std::string &topic) {
    return BQXCONN(handle, bootstrap.data(), static_cast<int32_t>(bootstrap.size()),
                   topic.data(), static_cast<int32_t>(topic.size()));
}

int32_t Session::produce(const std::string &key, const std::string &message, uint32_t convert) {
    return BQXPROD(handle, key.data(), static_cast<uint32_t>(key.size()), message.data(),
                   static_cast<uint32_t>(message.size()), convert);
}

int32_t partitionForKey(const std::string &key, uint32_t partitions) {
    size_t used = key.size() < 31 ? key.size() : 31;
    return static_cast<int32_t>(djb_hash(key.data(), used) % partitions);
}

std::vector<std::string> keysForPartitions(uint32_t partitions) {
    std::vector<std::string> keys(partitions);
    uint32_t found = 0;
    for (int n = 0; found < partitions; ++n) {
        std::string key = "key-" + std::to_string(n);
        std::string &slot = keys[static_cast<size_t>(partitionForKey(key, partitions))];
        if (slot.empty()) {
            slot = key;
            ++found;
        }
    }
    return keys;
}

void kcatProduce(const std::string &bootstrap, const std::string &topic, int32_t partition,
                 const std::vector<std::string> &values, const std::string &header,
                 const std::string &kcatOptions) {
    std::string input;
    for (const std::string &value : values) input += value + "\n";
    char path[] = "/tmp/bqx-kcat-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(fd);
    std::string command = "kcat -q -P -b " + bootstrap + " -t " + topic + " -p " +
                          std::to_string(partition) + (header.empty() ? "" : " -H " + header) +
                          " " + kcatOptions + " -l " + path + " 2>&1";
    int status = 0;
    std::string out = shell(command, &status);
    unlink(path);
    ASSERT_EQ(status, 0) << command << ": " << out;
}

// The tool prints a table: GROUP TOPIC PARTITION CURRENT-OFFSET ...; a
// partition without a committed offset shows "-".
std::map<int32_t, int64_t> committedOffsets(const std::string &bootstrap,
                                            const std::string &group, const std::string &topic) {
    int status = 0;
    std::string out = shell(script() + " run org.apache.kafka.tools.consumer.group.ConsumerGroupCommand"
                                       " --bootstrap-server " + bootstrap + " --describe --group " +
                                group + " 2>/dev/null",
                            &status);
    EXPECT_EQ(status, 0) << "consumer-group tool failed: " << out;
    std::map<int32_t, int64_t> offsets;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string groupName, topicName, partition, current;
        fields >> groupName >> topicName >> partition >> current;
        if (groupName != group || topicName != topic || current == "-" || current.empty())
            continue;
        offsets[std::stoi(partition)] = std::stoll(current);
    }
    return offsets;
}

std::string newGroup(const std::string &prefix) {
    static std::atomic<int> counter{0};
    return "bqx-" + prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr)) +
           "-" + std::to_string(counter++);
}

} // namespace bqxbroker
