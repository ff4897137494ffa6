// Settings by name and the bootstrap list against the real broker: keys
// produced with partitioner=murmur2 share their partitions with those of
// Kafka's console producer, a new group with auto.offset.reset=latest
// starts at the end, a list whose first server is down connects, and the
// log file of BQX_LOG keeps every line of a process killed with SIGKILL.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>

#include "bqx.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;

namespace {

std::string bootstrap() { return envValue("KAFKA_BOOTSTRAP"); }

int32_t conf(int32_t handle, const std::string &name, const std::string &value) {
    return BQXCONF(handle, name.data(), static_cast<int32_t>(name.size()), value.data(),
                   static_cast<int32_t>(value.size()));
}

TEST(BrokerConf, Murmur2KeysShareThePartitionsOfTheConsoleProducer) {
    const int partitions = 6;
    std::string topic = newTopic("murmur2", partitions);
    std::vector<std::string> keys;
    for (int i = 0; i < 10; ++i)
        keys.push_back("k" + std::to_string(i));
    keys.push_back("a-key-of-forty-bytes-sent-whole-00000040"); // beyond 31 bytes
    {
        Session s;
        bqxtest::captureLines([&] {
            ASSERT_EQ(conf(s.handle, "partitioner", "murmur2"), 0);
            ASSERT_EQ(s.connect(bootstrap(), topic), 0);
            ASSERT_EQ(BQXSYNC(s.handle, 1, 100, 1), 0);
            for (const std::string &key : keys)
                ASSERT_EQ(s.produce(key, "bqx"), 0);
            s.close();
        });
    }
    std::string lines;
    for (const std::string &key : keys)
        lines += key + ":java\n";
    int status = 0;
    shell("printf '" + lines + "' | " BQX_KAFKA_SCRIPT " console-producer --bootstrap-server " +
              bootstrap() + " --topic " + topic +
              " --property parse.key=true --property key.separator=: 2>&1",
          &status);
    ASSERT_EQ(status, 0);
    std::map<std::string, std::set<int32_t>> partitionsOf;
    size_t read = 0;
    for (int32_t p = 0; p < partitions; ++p)
        for (const Message &m : readPartition(bootstrap(), topic, p)) {
            partitionsOf[m.key].insert(p);
            ++read;
        }
    EXPECT_EQ(read, 2 * keys.size());
    for (const std::string &key : keys) {
        SCOPED_TRACE(key);
        EXPECT_EQ(partitionsOf[key].size(), 1u); // bqx's and Java's record together
    }
}

TEST(BrokerConf, LatestStartsANewGroupAtTheEnd) {
    std::string topic = newTopic("latest", 1);
    std::string group = newGroup("latest");
    Session writer, reader;
    std::vector<char> buffer(1025);
    bqxtest::captureLines([&] {
        ASSERT_EQ(writer.connect(bootstrap(), topic), 0);
        ASSERT_EQ(BQXSYNC(writer.handle, 1, 100, 1), 0);
        ASSERT_EQ(writer.produce("", "old-1"), 0);
        ASSERT_EQ(writer.produce("", "old-2"), 0);
        ASSERT_EQ(conf(reader.handle, "auto.offset.reset", "latest"), 0);
        ASSERT_EQ(reader.connect(bootstrap(), topic), 0);
        uint32_t length = 1024;
        // Joins, starts at the end: nothing to deliver.
        EXPECT_EQ(BQXCONS(reader.handle, group.data(), static_cast<int32_t>(group.size()),
                          buffer.data(), &length, 0, 5),
                  7543);
        ASSERT_EQ(writer.produce("", "new-1"), 0);
        length = 1024;
        ASSERT_EQ(BQXCONS(reader.handle, group.data(), static_cast<int32_t>(group.size()),
                          buffer.data(), &length, 0, 20),
                  0);
        EXPECT_EQ(std::string(buffer.data(), length), "new-1");
        uint32_t keyLength = 0, flags = 0;
        int32_t partition = -1;
        int64_t offset = -1, timestamp = 0;
        ASSERT_EQ(
            BQXINFO(reader.handle, nullptr, &keyLength, &partition, &offset, &timestamp, &flags),
            0);
        EXPECT_EQ(offset, 2);
        EXPECT_EQ(flags, static_cast<uint32_t>(BQX_INFO_KEY_NULL));
    });
}

TEST(BrokerConf, BootstrapListWithItsFirstServerDownConnects) {
    std::string topic = newTopic("bootlist", 2);
    std::string list = "127.0.0.1:" + std::to_string(freePort()) + "," + bootstrap();
    Session s;
    std::vector<bqxtest::LogLine> lines =
        bqxtest::captureLog([&] { EXPECT_EQ(s.connect(list, topic), 0); });
    EXPECT_TRUE(bqxtest::logged(lines, "7500", "Connection refused"));
    bqxtest::captureLines([&] { EXPECT_EQ(s.produce("k", "through the second server"), 0); });
}

// A child process writes its lines to a file and is killed: every line it
// wrote before is in the file, whole.
TEST(BrokerConf, LogFileKeepsEveryLineOfAKilledProcess) {
    char path[] = "/tmp/bqx-broker-log-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    close(fd);
    const int refusals = 50;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::string topic = newTopic("logfile", 1);
    std::string server = bootstrap();
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        setenv("BQX_LOG", (std::string("file:") + path).c_str(), 1);
        int32_t h = BQXOPEN();
        BQXDBUG(h, 2);
        BQXCONN(h, server.data(), static_cast<int32_t>(server.size()), topic.data(),
                static_cast<int32_t>(topic.size()));
        for (int i = 0; i < refusals; ++i)
            conf(h, "no.such.setting", "1");
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::ifstream file(path);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    unlink(path);
    close(ready[0]);
    close(ready[1]);
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n');
    int refused = 0, opened = 0;
    size_t start = 0;
    for (size_t nl; (nl = content.find('\n', start)) != std::string::npos; start = nl + 1) {
        bqxtest::LogLine line = bqxtest::parseLine(content.substr(start, nl - start));
        refused += line.number == "7548";
        opened += line.number == "0007";
    }
    EXPECT_EQ(refused, refusals);
    EXPECT_EQ(opened, 1);
}

} // namespace
