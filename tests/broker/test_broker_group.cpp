// bqx in one group with another client: a kcat member that owns the only
// partition hands bqx an assignment without topics.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "broker/broker_support.h"
#include "bqx.h"
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
    for (const std::string &line : lines) EXPECT_EQ(line.find("7536"), std::string::npos) << line;
    s.close();
}

} // namespace
