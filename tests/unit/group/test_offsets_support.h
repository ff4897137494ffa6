// Shared pieces of the offset and heartbeat tests: a session that is a
// joined group member with a connected coordinator, and expected request
// bytes. Their replies are built by support/protocol_support.h.
#ifndef BQX_TESTS_UNIT_TEST_OFFSETS_SUPPORT_H
#define BQX_TESTS_UNIT_TEST_OFFSETS_SUPPORT_H

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fake_cluster.h"

namespace bqxtest {

// Broker ids 1 and 2, the coordinator entry connected, topic "orders",
// group "grp", member "member-1" of generation 7, joined.
inline void joinedMember(TableSession &s, const std::vector<std::array<int32_t, 3>> &partitions) {
    s.brokers({1, 2}, {false, false});
    s.connect(kCoordinator);
    s.pcb->pBrokerList[kCoordinator].i32BrokerID = -2;
    s.partitions(partitions);
    s.topic("orders");
    s.pcb->pszGroupID = strdup("grp");
    s.pcb->pszMemberID = strdup("member-1");
    s.pcb->i32GenerationID = 7;
    s.pcb->u32GroupJoined = 1;
}

// Runs `body` holding the global lock, as every caller of the library's
// request functions does (reply waits release and take it again).
template <class Body>
void underLock(Body body) {
    kafka_lock("TEST");
    body();
    kafka_unlock("TEST");
}

inline void setText(char *&field, const std::string &text) {
    free(field);
    field = strdup(text.c_str());
}

// The request header as the library writes it, size field included.
inline WireBytes requestHeader(int apiKey, int version, int32_t correlId) {
    WireBytes w;
    w.i32(0).i16(apiKey).i16(version).i32(correlId).str("BqX");
    return w;
}

// Sets the size field of an expected request.
inline ByteVec sized(WireBytes w) {
    uint32_t size = static_cast<uint32_t>(w.bytes.size() - 4);
    for (int i = 0; i < 4; ++i) w.bytes[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
    return w.bytes;
}

} // namespace bqxtest

#endif
