// Group membership against the real broker: a member consuming a topic
// whose partition count grows joins again and consumes the new partitions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;

namespace {

std::string bootstrap() { return envValue("KAFKA_BOOTSTRAP"); }

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
    for (const std::string &line : lines) rejoined |= line.find("BQX0045I") != std::string::npos;
    EXPECT_TRUE(rejoined) << "info 45: the partition count changed";
}

} // namespace
