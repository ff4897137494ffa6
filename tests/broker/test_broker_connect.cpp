// BQXCONN against the real broker: the broker table and partition list it
// builds, and the errors for an unknown topic, a closed port and a host
// that does not resolve.
#include <gtest/gtest.h>

#include "api/pcb.h"
#include "api/session.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;
using bqxtest::captureLog;
using bqxtest::logged;
using bqxtest::LogLine;

namespace {

TEST(BrokerConnect, BuildsTablesFromTheBroker) {
    std::string topic = newTopic("conn", 3);
    Session s;
    ASSERT_EQ(s.connect(envValue("KAFKA_BOOTSTRAP"), topic), 0);
    PCB *pcb = get_BQXPCB(s.handle);
    ASSERT_EQ(pcb->u32BrokerCount, 3u); // node 1, bootstrap, coordinator slot
    EXPECT_EQ(pcb->pBrokerList[0].i32BrokerID, 1);
    EXPECT_STREQ(pcb->pBrokerList[0].pszHost, "127.0.0.1");
    EXPECT_EQ("127.0.0.1:" + std::to_string(pcb->pBrokerList[0].i32Port),
              envValue("KAFKA_BOOTSTRAP"));
    EXPECT_EQ(pcb->pBrokerList[1].i32Socket, -1); // bootstrap connection closed
    ASSERT_EQ(pcb->u32PartitionCount, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(pcb->pPartitionList[i].i32Leader, 1);
        EXPECT_EQ(pcb->pPartitionList[i].i32BrokerIdx, 0);
        EXPECT_EQ(pcb->pPartitionList[i].i32Isr, 1);
    }
}

TEST(BrokerConnect, WithoutPortUses9092) {
    if (envValue("KAFKA_BOOTSTRAP") != "127.0.0.1:9092")
        GTEST_SKIP() << "the broker does not listen on 9092 (KAFKA_PORT_BASE)";
    std::string topic = newTopic("noport", 1);
    Session s;
    EXPECT_EQ(s.connect("127.0.0.1", topic), 0);
    EXPECT_EQ(get_BQXPCB(s.handle)->u32PartitionCount, 1u);
    // Only the first server of a list is used.
    EXPECT_EQ(s.connect("127.0.0.1,127.0.0.1:1", topic), 0);
}

TEST(BrokerConnect, UnknownTopicIs7510) {
    Session s;
    int32_t rc = 0;
    auto log = captureLog([&] {
        rc = s.connect(envValue("KAFKA_BOOTSTRAP"), "bqx-no-such-topic-" + std::to_string(time(nullptr)));
    });
    EXPECT_EQ(rc, 7510);
    EXPECT_TRUE(logged(log, "7510", "Error from kafka server: 3 This server does not host"));
    EXPECT_EQ(get_BQXPCB(s.handle)->u32PartitionCount, 0u);
    // Producing afterwards finds no partition list.
    captureLog([&] { rc = s.produce("", "m"); });
    EXPECT_EQ(rc, 7508);
}

TEST(BrokerConnect, ClosedPortIs7500FromConnect) {
    Session s;
    int32_t rc = 0;
    auto log = captureLog([&] { rc = s.connect("127.0.0.1:" + std::to_string(freePort()), "t"); });
    EXPECT_EQ(rc, 7500);
    EXPECT_TRUE(logged(log, "7500", "TCPIP Error from connect()"));
    EXPECT_TRUE(logged(log, "7500", "Connection refused"));
}

TEST(BrokerConnect, UnresolvableHostIs7500FromGetaddrinfo) {
    // A first label longer than DNS allows fails inside the resolver,
    // without a query leaving the machine.
    std::string host = std::string(64, 'a') + ".invalid";
    Session s;
    int32_t rc = 0;
    auto log = captureLog([&] { rc = s.connect(host + ":9092", "t"); });
    EXPECT_EQ(rc, 7500);
    EXPECT_TRUE(logged(log, "7500", "TCPIP Error from getaddrinfo()"));
}

} // namespace
