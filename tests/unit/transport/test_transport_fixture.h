// Common ground of the transport tests: the shared hand-built session of
// the fake cluster, its test body holding the global lock as every caller
// of the transport does, and socket helpers.
#ifndef BQX_TESTS_TEST_TRANSPORT_FIXTURE_H
#define BQX_TESTS_TEST_TRANSPORT_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "support/fake_cluster.h"

namespace bqxtest {

inline std::vector<uint32_t> pendingIds(const BrokerEntry &entry) {
    std::vector<uint32_t> ids;
    for (const PendingRequest *p = entry.pPendingHead; p; p = p->pNext)
        ids.push_back(p->u32CorrelID);
    return ids;
}

inline void writeBytes(int fd, const Bytes &bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads what is there (up to 64 KiB) without blocking.
inline Bytes readAvailable(int fd) {
    Bytes bytes(65536);
    ssize_t n = recv(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(s.handle, 0);
        s.holdLock();
    }

    TableSession s;
};

} // namespace bqxtest

#endif
