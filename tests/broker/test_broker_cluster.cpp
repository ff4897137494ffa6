// Against the three-broker cluster (scripts/kafka start --cluster): the
// broker table lists every broker, and messages for partitions led by each
// of them arrive, over PLAINTEXT and over SASL.
#include <gtest/gtest.h>

#include <set>

#include "api/pcb.h"
#include "api/session.h"
#include "broker/broker_support.h"

using namespace bqxbroker;

namespace {

constexpr int kPartitions = 6;

void produceToEveryLeader(const std::string &bootstrap, bool sasl) {
    if (envValue("KAFKA_CLUSTER_BOOTSTRAP").empty())
        GTEST_SKIP() << "no cluster running (scripts/kafka start --cluster)";
    std::string topic = newTopic(sasl ? "clsasl" : "cluster", kPartitions,
                                 envValue("KAFKA_CLUSTER_BOOTSTRAP"));
    std::vector<int32_t> partitionOfCall;
    {
        Session s;
        if (sasl) {
            std::string user = envValue("KAFKA_SASL_USER"), pw = envValue("KAFKA_SASL_PASSWORD");
            ASSERT_EQ(BQXAUTH(s.handle, user.data(), static_cast<int32_t>(user.size()), pw.data(),
                              static_cast<int32_t>(pw.size())),
                      0);
        }
        ASSERT_EQ(s.connect(bootstrap, topic), 0);
        PCB *pcb = get_BQXPCB(s.handle);
        ASSERT_EQ(pcb->u32BrokerCount, 5u);
        ASSERT_EQ(pcb->u32PartitionCount, static_cast<uint32_t>(kPartitions));
        std::set<int32_t> leaders;
        for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i) {
            leaders.insert(pcb->pPartitionList[i].i32Leader);
            EXPECT_GE(pcb->pPartitionList[i].i32BrokerIdx, 0);
        }
        EXPECT_EQ(leaders, (std::set<int32_t>{1, 2, 3}));
        ASSERT_EQ(BQXSYNC(s.handle, 1, 100, 1), 0);
        for (int call = 0; call < kPartitions; ++call) {
            partitionOfCall.push_back(pcb->pPartitionList[call].i32Partition);
            ASSERT_EQ(s.produce("", "call " + std::to_string(call)), 0);
        }
        for (uint32_t i = 0; i + 2 < pcb->u32BrokerCount; ++i)
            EXPECT_NE(pcb->pBrokerList[i].i32Socket, -1) << "broker " << i << " never used";
    }
    for (int call = 0; call < kPartitions; ++call) {
        std::vector<Message> got =
            readPartition(envValue("KAFKA_CLUSTER_BOOTSTRAP"), topic, partitionOfCall[call]);
        ASSERT_EQ(got.size(), 1u) << "partition " << partitionOfCall[call];
        EXPECT_EQ(got[0].value, "call " + std::to_string(call));
        EXPECT_EQ(got[0].keyLength, -1);
    }
}

TEST(Cluster, MessagesReachPartitionsOfEveryBroker) {
    std::string first = envValue("KAFKA_CLUSTER_BOOTSTRAP");
    produceToEveryLeader(first.substr(0, first.find(',')), false);
}

TEST(Cluster, SaslAuthenticatesEveryBrokerConnection) {
    std::string first = envValue("KAFKA_CLUSTER_SASL_BOOTSTRAP");
    produceToEveryLeader(first.substr(0, first.find(',')), true);
}

} // namespace
