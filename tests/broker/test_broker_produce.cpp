// Messages produced by bqx and read back by kcat, byte for byte, from the
// partition the library chose: with and without key, with and without
// conversion, in synch mode 0 (pipelined) and 1 (each reply awaited).
#include <gtest/gtest.h>

#include "api/pcb.h"
#include "api/session.h"
#include "broker/broker_support.h"
#include "support/log_capture.h"

using namespace bqxbroker;

namespace {

constexpr int kPartitions = 3;

struct Sent {
    std::string key, value;
    int32_t partition;
};

// Produces `messages` (key, value) into a new 3-partition topic in the
// given synch mode and checks every one arrives, in order, in its partition.
class BrokerProduce : public ::testing::TestWithParam<int32_t> {
  protected:
    void produceAndCheck(const std::vector<std::pair<std::string, std::string>> &messages,
                         uint32_t convert) {
        std::string topic = newTopic("prod", kPartitions);
        std::vector<Sent> sent;
        {
            Session s;
            ASSERT_EQ(s.connect(envValue("KAFKA_BOOTSTRAP"), topic), 0);
            ASSERT_EQ(BQXSYNC(s.handle, GetParam(), 100, 1), 0);
            PCB *pcb = get_BQXPCB(s.handle);
            ASSERT_EQ(pcb->u32PartitionCount, static_cast<uint32_t>(kPartitions));
            for (const auto &[key, value] : messages) {
                // Unkeyed messages take the entry at the round-robin cursor.
                uint32_t cursor = pcb->u32PartitionListIdx % kPartitions;
                int32_t partition = key.empty() ? pcb->pPartitionList[cursor].i32Partition
                                                : partitionForKey(key, kPartitions);
                ASSERT_EQ(s.produce(key, value, convert), 0) << value;
                sent.push_back({key.substr(0, 31), value, partition}); // keys keep 31 bytes
            }
            s.close(); // waits for the replies still outstanding
        }
        for (int32_t p = 0; p < kPartitions; ++p) {
            std::vector<Message> got = readPartition(envValue("KAFKA_BOOTSTRAP"), topic, p);
            size_t next = 0;
            for (const Sent &m : sent) {
                if (m.partition != p) continue;
                ASSERT_LT(next, got.size()) << "missing in partition " << p << ": " << m.value;
                const Message &g = got[next++];
                EXPECT_EQ(g.keyLength, m.key.empty() ? -1 : static_cast<int64_t>(m.key.size()));
                EXPECT_EQ(g.key, m.key);
                EXPECT_EQ(g.valueLength,
                          m.value.empty() ? -1 : static_cast<int64_t>(m.value.size()));
                EXPECT_EQ(g.value, m.value);
            }
            EXPECT_EQ(next, got.size()) << "unexpected messages in partition " << p;
        }
    }
};

TEST_P(BrokerProduce, KeyedMessagesLandInTheHashedPartition) {
    produceAndCheck({{"key1", "first for key1"},
                     {"customer-42", std::string("binary \x01\x02\xff\x00 tail", 16)},
                     {"key1", "second for key1"},
                     {"a-key-much-longer-than-thirty-one-bytes-in-all", "long key cut to 31"},
                     {"z", std::string(100000, 'L')}},
                    0);
}

TEST_P(BrokerProduce, UnkeyedMessagesGoRoundThePartitions) {
    produceAndCheck({{"", "u0"}, {"", "u1"}, {"", "u2"}, {"", "u3"}, {"", "u4"}, {"", ""}}, 0);
}

TEST_P(BrokerProduce, ConvertedMessages) {
    produceAndCheck({{"k\xc3\xa9y", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac 1234567890"},
                     {"", "plain ascii"},
                     {"k2", ""}},
                    1);
}

INSTANTIATE_TEST_SUITE_P(SynchMode, BrokerProduce, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int32_t> &info) {
                             return "Mode" + std::to_string(info.param);
                         });

TEST(BrokerProduceErrors, ReplyErrorIsReturnedInSynchMode1) {
    // A value larger than the topic allows: the broker answers
    // MESSAGE_TOO_LARGE (10) and the call reports it.
    std::string topic = newTopic("toolarge", 1);
    Session s;
    ASSERT_EQ(s.connect(envValue("KAFKA_BOOTSTRAP"), topic), 0);
    ASSERT_EQ(BQXSYNC(s.handle, 1, 100, 1), 0);
    int32_t rc = 0;
    auto log = bqxtest::captureLog([&] { rc = s.produce("k", std::string(2 * 1024 * 1024, 'x')); });
    EXPECT_EQ(rc, 7510);
    bool seen = false;
    for (const auto &line : log) seen |= line.text.find("Error from kafka server: 10 ") == 0;
    EXPECT_TRUE(seen);
}

} // namespace
