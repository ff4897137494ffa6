// Consumer groups against the real broker: bqx in one group with a kcat
// member that owns the only partition (an assignment without topics), and a
// member whose topic grows joins again and consumes the new partitions.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;
using namespace bqxtest;

namespace {

std::string bootstrap() { return envValue("KAFKA_BOOTSTRAP"); }

TEST(BrokerGroup, KcatOwningTheOnlyPartitionLeavesBqxWaitingWithoutRebalances) {
    std::string topic = newTopic("kcatgrp", 1);
    std::string group = newGroup("kcatgrp");
    int status = 0;
    // Its member id sorts before bqx's, so the range assignment gives it the partition.
    shell("timeout 30 kcat -q -b " + bootstrap() + " -X client.id=AAA -G " + group + " " + topic +
              " >/dev/null 2>&1 &",
          &status);
    sleep(6); // kcat has joined
    Session s;
    ASSERT_EQ(s.connect(bootstrap(), topic), 0);
    BQXCLDB(s.handle, 1);
    std::vector<int32_t> results;
    std::vector<std::string> lines = captureLines([&] {
        for (int call = 0; call < 2; ++call) {
            char buffer[64];
            uint32_t length = sizeof buffer - 1;
            results.push_back(BQXCONS(s.handle, group.data(), static_cast<int32_t>(group.size()),
                                      buffer, &length, 0, 5));
        }
    });
    EXPECT_EQ(results, (std::vector<int32_t>{7543, 7543}));
    for (const std::string &line : lines)
        EXPECT_EQ(line.find("7536"), std::string::npos) << line;
    s.close();
}

// Values consumed until `wanted` arrived or a call failed.
std::vector<std::string> consume(int32_t handle, const std::string &group, size_t wanted,
                                 int32_t timeout) {
    std::vector<std::string> values;
    std::vector<char> buffer(1025);
    while (values.size() < wanted) {
        uint32_t length = 1024;
        if (BQXCONS(handle, group.data(), static_cast<int32_t>(group.size()), buffer.data(),
                    &length, 0, timeout) != 0)
            break;
        values.emplace_back(buffer.data(), length);
    }
    return values;
}

TEST(BrokerGroup, PartitionsAddedToTheTopicAreConsumed) {
    std::string topic = newTopic("grow", 1);
    std::string group = newGroup("grow");
    kcatProduce(bootstrap(), topic, 0, {"P0-a0"});
    Session s;
    ASSERT_EQ(s.connect(bootstrap(), topic), 0);
    std::vector<std::string> first, added;
    bqxtest::captureLines([&] { first = consume(s.handle, group, 1, 10); });
    kafka_lock("test");
    get_BQXPCB(s.handle)->u32MetadataMaxAgeMs = 1000;
    kafka_unlock("test");
    int status = 0;
    std::string out = shell(std::string(BQX_KAFKA_SCRIPT) +
                                " run org.apache.kafka.tools.TopicCommand --bootstrap-server " +
                                bootstrap() + " --alter --topic " + topic + " --partitions 2 2>&1",
                            &status);
    ASSERT_EQ(status, 0) << out;
    waitForTopic(bootstrap(), topic, 2);
    kcatProduce(bootstrap(), topic, 1, {"P1-b0", "P1-b1"});
    std::vector<std::string> lines =
        bqxtest::captureLines([&] { added = consume(s.handle, group, 2, 20); });
    EXPECT_EQ(first, std::vector<std::string>{"P0-a0"});
    EXPECT_EQ(added, (std::vector<std::string>{"P1-b0", "P1-b1"}));
    bool rejoined = false;
    for (const std::string &line : lines)
        rejoined |= line.find("BQX0045I") != std::string::npos;
    EXPECT_TRUE(rejoined) << "info 45: the partition count changed";
}

} // namespace
