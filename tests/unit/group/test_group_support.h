// Shared pieces of the group membership tests: a session with two Metadata
// brokers, a connected bootstrap entry and a connected coordinator slot
// (socket pairs), the global lock held as every caller holds it, reply
// builders for the group APIs and a reader for request bytes.
#ifndef BQX_TESTS_UNIT_TEST_GROUP_SUPPORT_H
#define BQX_TESTS_UNIT_TEST_GROUP_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "log/messages.h"
#include "protocol/consumer.h"
#include "support/log_capture.h"
#include "support/protocol_support.h"

namespace bqxtest {

constexpr size_t kGroupHeaderBytes = 17; // size, key, version, correlation id, "BqX"
constexpr uint32_t kBootstrap = 2;
// Reads the fields of a request back, big-endian.
struct RequestReader {
    const ByteVec &b;
    size_t pos = kGroupHeaderBytes;
    int64_t be(int width) {
        uint64_t v = 0;
        for (int i = 0; i < width; ++i) v = (v << 8) | b.at(pos++);
        if (width < 8 && (v >> (8 * width - 1)) & 1) v |= ~uint64_t{0} << (8 * width);
        return static_cast<int64_t>(v);
    }
    std::string str() {
        int64_t n = be(2);
        if (n < 0) return "<null>";
        std::string s(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + n));
        pos += static_cast<size_t>(n);
        return s;
    }
    int16_t apiKey() const { return static_cast<int16_t>((b.at(4) << 8) | b.at(5)); }
    int16_t apiVersion() const { return static_cast<int16_t>((b.at(6) << 8) | b.at(7)); }
};

inline ByteVec findCoordinatorReply(int32_t correlId, int16_t error, int32_t nodeId,
                                    const std::string &host, int32_t port) {
    WireBytes w;
    w.i32(0).i16(error).i16(-1).i32(nodeId).str(host).i32(port);
    return w.reply(correlId);
}

struct JoinMember {
    std::string id;
    std::string metadata;
};

// A JoinGroup reply; an empty leader or member id is sent as the null text.
inline ByteVec joinGroupReply(int32_t correlId, int16_t error, int32_t generation,
                              const std::string &leader, const std::string &member,
                              const std::vector<JoinMember> &members) {
    WireBytes w;
    w.i32(0).i16(error).i32(generation).str("range");
    if (leader.empty()) w.i16(-1); else w.str(leader);
    if (member.empty()) w.i16(-1); else w.str(member);
    w.i32(static_cast<int64_t>(members.size()));
    for (const JoinMember &m : members)
        w.str(m.id).i16(-1).i32(static_cast<int64_t>(m.metadata.size())).raw(m.metadata);
    return w.reply(correlId);
}

// The assignment bytes a member receives: version 1, one topic, the ids and
// `userData` (the trailing user data length is always written).
inline ByteVec assignmentBytes(const std::string &topic, const std::vector<int32_t> &ids,
                               const std::string &userData = "") {
    WireBytes w;
    w.i16(1).i32(1).str(topic).i32(static_cast<int64_t>(ids.size()));
    for (int32_t id : ids) w.i32(id);
    w.i32(static_cast<int64_t>(userData.size())).raw(userData);
    return w.bytes;
}

inline ByteVec syncGroupReply(int32_t correlId, int16_t error, const ByteVec &assignment) {
    WireBytes w;
    w.i32(0).i16(error).i32(static_cast<int64_t>(assignment.size()));
    w.bytes.insert(w.bytes.end(), assignment.begin(), assignment.end());
    return w.reply(correlId);
}

inline ByteVec leaveGroupReply(int32_t correlId, int16_t error) {
    WireBytes w;
    w.i8(0).i32(0).i16(error).uvarint(1).i8(0);
    return w.reply(correlId);
}

// A session holding the global lock, with brokers 1 and 2, the bootstrap
// entry connected and the coordinator slot filled from broker 2 and
// connected; group "grp", topic "orders".
class GroupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(s.pcb, nullptr);
        savedWait = gi32ReplyWaitSeconds;
        gi32ReplyWaitSeconds = 1;
        s.brokers({1, 2}, {false, false});
        s.pcb->pBrokerList[1].i32Port = 9093;
        s.connect(kBootstrap);
        s.connect(kCoordinator);
        s.pcb->pBrokerList[kCoordinator].i32BrokerID = -2;
        s.pcb->pBrokerList[kCoordinator].i32Port = 9093;
        s.pcb->pszGroupID = strdup("grp");
        s.pcb->u32ConsumerLoadBalancing = 1;
        s.topic("orders");
        kafka_lock("TEST");
    }
    void TearDown() override {
        kafka_unlock("TEST");
        gi32ReplyWaitSeconds = savedWait;
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
    static bool logged(const std::vector<LogLine> &log, const std::string &number,
                       const std::string &text = "") {
        for (const LogLine &line : log)
            if (line.number == number && line.text.find(text) != std::string::npos) return true;
        return false;
    }

    TableSession s;
    int32_t savedWait = 0;
};

} // namespace bqxtest

#endif
