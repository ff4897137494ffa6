// Common ground of the transport tests: an open session whose broker table
// the test builds, entries wired to socketpair() peers or to a fake broker,
// and hand-built requests and replies.
#ifndef BQX_TESTS_TEST_TRANSPORT_FIXTURE_H
#define BQX_TESTS_TEST_TRANSPORT_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "support/fake_cluster.h"
#include "support/protocol_support.h"
#include "support/log_capture.h"
#include "transport/transport.h"

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

// A session opened with BQXOPEN; the test body runs with the global lock
// held, as every caller of the transport does.
class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        captureLines([&] { handle_ = BQXOPEN(); });
        ASSERT_GE(handle_, 0);
        kafka_lock("TEST");
        pcb_ = get_BQXPCB(handle_);
        savedWaitSeconds_ = gi32ReplyWaitSeconds;
    }

    void TearDown() override {
        gi32ReplyWaitSeconds = savedWaitSeconds_;
        if (pcb_)
            kafka_clearBrokers(pcb_); // no wait for replies that will not come
        kafka_unlock("TEST");
        captureLines([&] { BQXCLSE(handle_); });
        for (int fd : peers_)
            close(fd);
    }

    // A table of `count` unconnected entries on 127.0.0.1, broker ids 0, 1, ...
    void makeTable(uint32_t count, int port = 9092) {
        kafka_clearBrokers(pcb_);
        pcb_->pBrokerList = static_cast<BrokerEntry *>(calloc(count, sizeof(BrokerEntry)));
        pcb_->u32BrokerCount = count;
        for (uint32_t i = 0; i < count; ++i) {
            BrokerEntry &entry = pcb_->pBrokerList[i];
            entry.pszHost = strdup("127.0.0.1");
            entry.i32Port = port;
            entry.i32BrokerID = static_cast<int32_t>(i);
            entry.i32Socket = -1;
        }
    }

    void setHost(uint32_t index, const char *host, int port) {
        BrokerEntry &entry = pcb_->pBrokerList[index];
        free(entry.pszHost);
        entry.pszHost = host ? strdup(host) : nullptr;
        entry.i32Port = port;
    }

    // Connects entry `index` to one end of a socketpair; returns the other.
    int attachPeer(uint32_t index) {
        int fds[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        pcb_->pBrokerList[index].i32Socket = fds[0];
        peers_.push_back(fds[1]);
        return fds[1];
    }

    // A request for entry `index` as the header builder makes it: the next
    // correlation id of the entry and the client id "BqX".
    Bytes request(uint32_t index, int16_t key, int16_t version, const Bytes &body = {}) {
        uint32_t id = ++pcb_->pBrokerList[index].u32LastCorrelID;
        Bytes out = {0, 0, 0, 0, uint8_t(key >> 8), uint8_t(key), uint8_t(version >> 8),
                     uint8_t(version)};
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(id >> shift));
        out.insert(out.end(), {0, 3, 'B', 'q', 'X'});
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }

    int32_t queue(uint32_t index, int16_t key, int32_t wait, const Bytes &body = {}) {
        Bytes bytes = request(index, key, key == kApiVersionsKey ? 3 : 0, body);
        return kafka_sendqueue(pcb_, index, bytes.data(), static_cast<uint32_t>(bytes.size()),
                               wait);
    }

    BrokerEntry &entry(uint32_t index) { return pcb_->pBrokerList[index]; }

    int32_t handle_ = -1;
    PCB *pcb_ = nullptr;
    int32_t savedWaitSeconds_ = 35;
    std::vector<int> peers_;
};

} // namespace bqxtest

#endif
