// SASL PLAIN against the broker's SASL_PLAINTEXT listener: good credentials
// authenticate every connection (bootstrap and leader) and produce; a wrong
// password is refused with the broker's own message.
#include <gtest/gtest.h>

#include "api/pcb.h"
#include "api/session.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;

namespace {

int32_t authenticate(Session &s, const std::string &user, const std::string &password) {
    return BQXAUTH(s.handle, user.data(), static_cast<int32_t>(user.size()), password.data(),
                   static_cast<int32_t>(password.size()));
}

TEST(BrokerSasl, GoodCredentialsProduce) {
    std::string topic = newTopic("sasl", 2);
    {
        Session s;
        ASSERT_EQ(authenticate(s, envValue("KAFKA_SASL_USER"), envValue("KAFKA_SASL_PASSWORD")), 0);
        ASSERT_EQ(s.connect(envValue("KAFKA_SASL_BOOTSTRAP"), topic), 0);
        // The leader is reached through the listener the metadata came from.
        PCB *pcb = get_BQXPCB(s.handle);
        EXPECT_EQ("127.0.0.1:" + std::to_string(pcb->pBrokerList[0].i32Port),
                  envValue("KAFKA_SASL_BOOTSTRAP"));
        ASSERT_EQ(BQXSYNC(s.handle, 1, 100, 1), 0);
        ASSERT_EQ(s.produce("key1", "authenticated"), 0);
    }
    int32_t partition = partitionForKey("key1", 2);
    std::vector<Message> got = readPartition(envValue("KAFKA_BOOTSTRAP"), topic, partition);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].key, "key1");
    EXPECT_EQ(got[0].value, "authenticated");
}

TEST(BrokerSasl, WrongPasswordIs7510WithBrokerMessage) {
    std::string topic = newTopic("saslbad", 1);
    Session s;
    std::string password = "not-" + envValue("KAFKA_SASL_PASSWORD");
    ASSERT_EQ(authenticate(s, envValue("KAFKA_SASL_USER"), password), 0);
    int32_t rc = 0;
    auto log = bqxtest::captureLog([&] { rc = s.connect(envValue("KAFKA_SASL_BOOTSTRAP"), topic); });
    EXPECT_EQ(rc, 7510);
    bool seen = false;
    for (const auto &line : log) {
        seen |= line.number == "7510" && line.text.find("58 Authentication failed") != std::string::npos;
        EXPECT_EQ(line.text.find(password), std::string::npos) << "password in the log";
    }
    EXPECT_TRUE(seen);
}

TEST(BrokerSasl, SessionWithoutCredentialsIsRefused) {
    // Without credentials the SASL listener answers ApiVersions but drops
    // the connection at the Metadata request: the call must not succeed.
    std::string topic = newTopic("nosasl", 1);
    Session s;
    int32_t rc = 0;
    auto log = bqxtest::captureLog([&] { rc = s.connect(envValue("KAFKA_SASL_BOOTSTRAP"), topic); });
    EXPECT_EQ(rc, 7501);
    EXPECT_EQ(get_BQXPCB(s.handle)->u32PartitionCount, 0u);
}

} // namespace
