// Reading one size-framed reply from a broker's socket.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "api/pcb.h"
#include "log/log.h"
#include "log/messages.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kTag = "WaitReply";
constexpr uint32_t kSizeFieldLength = 4;
constexpr int32_t kMinReplySize = 4;                 // the correlation id
constexpr int32_t kMaxReplySize = 100 * 1024 * 1024; // far above any reply asked for

enum class ReadStatus { kComplete, kNothing, kClosed, kFailed };

// Reads exactly `length` bytes by the deadline (monotonic ms); short reads
// and interruptions go on. Every read is non-blocking, with a wait for
// readiness before it, so that a broker trickling bytes cannot stretch one
// reply beyond the deadline. With `probeFirst`, kNothing tells that nothing
// was there at the first read: the readiness was spurious (or belonged to a
// socket closed and reopened under the same number while the lock was
// released).
ReadStatus readFully(PCB *pcb, int fd, uint8_t *into, uint32_t length, bool probeFirst,
                     int64_t deadline, int *error) {
    uint32_t received = 0;
    bool probing = probeFirst;
    while (received < length) {
        ssize_t n = recv(fd, into + received, length - received, MSG_DONTWAIT);
        pcb->ullRcvs++;
        if (n > 0) {
            received += static_cast<uint32_t>(n);
            pcb->ullRcvBytes += static_cast<uint64_t>(n);
            probing = false;
            continue;
        }
        if (n == 0)
            return ReadStatus::kClosed;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            *error = errno;
            return ReadStatus::kFailed;
        }
        if (probing)
            return ReadStatus::kNothing;
        *error = transport_awaitSocket(fd, POLLIN, deadline);
        if (*error != 0)
            return ReadStatus::kFailed;
    }
    return ReadStatus::kComplete;
}

// The connection ended before a whole reply was in: clear the entry.
ReceivedReply connectionEnded(PCB *pcb, uint32_t brokerIndex, ReadStatus status, int error) {
    BrokerEntry *entry = &pcb->pBrokerList[brokerIndex];
    int32_t result = 0;
    if (status == ReadStatus::kFailed)
        result = transport_logTcpError(pcb, kTag, entry, "recv()", error);
    else if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_REMOTE_CLOSED, pcb, kTag, entry->i32BrokerID, -1, 2,
                   transport_host(entry), entry->i32Port);
    kafka_clearBroker(pcb, brokerIndex, 0);
    return {result, nullptr, 0, true};
}

// A size field that no reply can have, or that cannot be served, leaves
// the stream out of step: the connection is closed.
ReceivedReply refuseSize(PCB *pcb, uint32_t brokerIndex, int32_t size, bool noMemory) {
    BrokerEntry *entry = &pcb->pBrokerList[brokerIndex];
    int32_t result = noMemory ? ERR_MEMORY : ERR_TCPIP;
    if (noMemory)
        bqx_log_vf(ERR_MEMORY, pcb, kTag, entry->i32BrokerID, -1, 1, "Reply Buffer");
    else
        bqx_log_vf(ERR_TCPIP, pcb, kTag, entry->i32BrokerID, -1, 5, "recv()",
                   transport_host(entry), entry->i32Port, static_cast<int>(size),
                   "invalid reply size");
    kafka_clearBroker(pcb, brokerIndex, 0);
    return {result, nullptr, 0, true};
}

} // namespace

ReceivedReply transport_receiveReply(PCB *pcb, uint32_t brokerIndex) {
    int fd = pcb->pBrokerList[brokerIndex].i32Socket;
    uint8_t sizeField[kSizeFieldLength];
    int error = 0;
    // One deadline for the whole reply, from its first byte on.
    int64_t deadline = transport_monotonicMs() + transport_replyWaitMs(pcb);
    ReadStatus status = readFully(pcb, fd, sizeField, kSizeFieldLength, true, deadline, &error);
    if (status == ReadStatus::kNothing)
        return {0, nullptr, 0, false};
    if (status != ReadStatus::kComplete)
        return connectionEnded(pcb, brokerIndex, status, error);

    int32_t size = static_cast<int32_t>(transport_readBe32(sizeField));
    if (size < kMinReplySize || size > kMaxReplySize)
        return refuseSize(pcb, brokerIndex, size, false);
    uint32_t length = static_cast<uint32_t>(size) + kSizeFieldLength;
    uint8_t *buffer = static_cast<uint8_t *>(malloc(length));
    if (!buffer)
        return refuseSize(pcb, brokerIndex, size, true);
    memcpy(buffer, sizeField, kSizeFieldLength);

    status = readFully(pcb, fd, buffer + kSizeFieldLength, static_cast<uint32_t>(size), false,
                       deadline, &error);
    if (status != ReadStatus::kComplete) {
        free(buffer); // a partial reply is never handed to a handler
        return connectionEnded(pcb, brokerIndex, status, error);
    }
    return {0, buffer, length, false};
}
