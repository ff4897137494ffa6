// The group membership tests' fixture: the fake cluster's hand-built
// session with two Metadata brokers, a connected bootstrap entry and a
// connected coordinator slot (socket pairs), the global lock held as every
// caller holds it. Reply builders and the request reader are shared ones
// (support/protocol_support.h).
#ifndef BQX_TESTS_UNIT_TEST_GROUP_SUPPORT_H
#define BQX_TESTS_UNIT_TEST_GROUP_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "log/messages.h"
#include "protocol/consumer.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"

namespace bqxtest {

// A session holding the global lock, with brokers 1 and 2, the bootstrap
// entry connected and the coordinator slot filled from broker 2 and
// connected; group "grp", topic "orders".
class GroupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        gi32ReplyWaitSeconds = 1; // the session restores it
        s.brokers({1, 2}, {false, false});
        s.pcb->pBrokerList[1].i32Port = 9093;
        s.connect(kBootstrap);
        s.connect(kCoordinator);
        s.pcb->pBrokerList[kCoordinator].i32BrokerID = -2;
        s.pcb->pBrokerList[kCoordinator].i32Port = 9093;
        s.pcb->pszGroupID = strdup("grp");
        s.pcb->u32ConsumerLoadBalancing = 1;
        s.topic("orders");
        s.holdLock();
    }
    void TearDown() override {
        // The session's close would leave the group: nothing to leave here.
        free(s.pcb->pszMemberID);
        s.pcb->pszMemberID = nullptr;
    }
    void member(const std::string &id) {
        free(s.pcb->pszMemberID);
        s.pcb->pszMemberID = strdup(id.c_str());
    }
    // The API keys of every request the entry received, in order.
    std::vector<int> requestKeys(uint32_t index) {
        std::vector<int> keys;
        for (ByteVec r = s.takeRequest(index); !r.empty(); r = s.takeRequest(index))
            keys.push_back(RequestReader{r}.apiKey());
        return keys;
    }

    TableSession s;
};

} // namespace bqxtest

#endif
