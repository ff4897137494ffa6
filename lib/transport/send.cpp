// Writing requests to a broker's socket and queueing them as pending.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "api/pcb.h"
#include "log/log.h"
#include "log/messages.h"
#include "transport/tls.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr uint32_t kCorrelIdPos = 8;

const char *requestTag(const uint8_t *request) {
    return get_KeyName(transport_readBe16(request + 4));
}

// Writes all bytes by the deadline (monotonic ms), going on after partial
// writes and interruptions. Every write is non-blocking, with a wait for
// readiness before it, so that a broker that stops reading cannot hold the
// caller (and the global lock) beyond the deadline. A TLS layer may also
// need to read before it can write. Returns 0, or the failure (its error
// ETIMEDOUT when the deadline passed).
SocketIo sendAll(BrokerEntry *entry, const uint8_t *bytes, uint32_t length, int64_t deadline) {
    uint32_t sent = 0;
    while (sent < length) {
        SocketIo io = transport_write(entry, bytes + sent, length - sent);
        if (io.bytes > 0) {
            sent += static_cast<uint32_t>(io.bytes);
            continue;
        }
        if (io.waitFor == 0)
            return io.error != 0 ? io : SocketIo{-1, 0, EPIPE, nullptr};
        int error = transport_awaitSocket(entry->i32Socket, io.waitFor, deadline);
        if (error != 0)
            return {-1, 0, error, nullptr};
    }
    return {static_cast<long>(length), 0, 0, nullptr};
}

// A send failure ends the connection. Its pending requests can no longer
// be answered, so they are dropped with a warning each; left in the queue
// they would never match a reply of a later connection.
int32_t failSend(PCB *pcb, uint32_t brokerIndex, BrokerEntry *entry, const char *tag,
                 const SocketIo &failure) {
    transport_logIoError(pcb, tag, entry, entry->pTls ? "SSL_write()" : "send()", failure);
    transport_closeSocket(entry, false);
    kafka_clearBroker(pcb, brokerIndex, 0);
    return ERR_TCPIP;
}

void linkPending(BrokerEntry *entry, PendingRequest *pending) {
    pending->pNext = nullptr;
    // The id that the header builder wrote into this request; the entry's
    // counter may have moved on since (another request built meanwhile).
    pending->u32CorrelID = transport_readBe32(pending->abRequest + kCorrelIdPos);
    if (entry->pPendingTail)
        entry->pPendingTail->pNext = pending;
    else
        entry->pPendingHead = pending;
    entry->pPendingTail = pending;
    entry->u32PendingCount++;
}

int32_t appendPending(PCB *pcb, BrokerEntry *entry, const uint8_t *request, uint32_t length) {
    PendingRequest *pending = kafka_pending_new(length);
    if (!pending) {
        bqx_log_vf(ERR_MEMORY, pcb, requestTag(request), entry->i32BrokerID, -1, 1, "pPCB");
        return ERR_MEMORY;
    }
    memcpy(pending->abRequest, request, length);
    linkPending(entry, pending);
    return 0;
}

} // namespace

// The caller must not take an orderly close for success.
int32_t transport_checkNotDropped(PCB *pcb, const BrokerEntry *tableBefore, uint32_t brokerIndex,
                                  int32_t rc) {
    if (rc != 0 || pcb->pBrokerList != tableBefore)
        return rc;
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    if (!entry || entry->i32Socket != -1)
        return rc;
    char server[160];
    snprintf(server, sizeof server, "(%.100s:%d)", transport_host(entry), entry->i32Port);
    bqx_log_vf(ERR_AUTH_REQUIRED, pcb, "WaitReply", entry->i32BrokerID, -1, 1, server);
    return ERR_AUTH_REQUIRED;
}

namespace {

// SEND_WINDOW: returns once fewer than the window's requests are pending at
// the broker; with `pollFirst`, replies that have already arrived are taken
// in without waiting.
int32_t waitForWindow(PCB *pcb, uint32_t brokerIndex, bool pollFirst) {
    uint32_t window = pcb->u32SendWindow ? pcb->u32SendWindow : 1;
    bool waited = false;
    for (;;) {
        BrokerEntry *entry = transport_entry(pcb, brokerIndex);
        if (!entry || entry->u32PendingCount < window) {
            if (!waited && pollFirst)
                kafka_waitReply(pcb, WAIT_POLL, brokerIndex);
            return 0;
        }
        const BrokerEntry *tableBefore = pcb->pBrokerList;
        int32_t rc = kafka_waitReply(pcb, WAIT_REPLY, brokerIndex);
        rc = transport_checkNotDropped(pcb, tableBefore, brokerIndex, rc);
        pcb->ullSendWinExh++;
        waited = true;
        if (rc != 0)
            return rc;
    }
}

} // namespace

int32_t kafka_send(PCB *pcb, uint32_t brokerIndex, uint8_t *request, uint32_t length) {
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    if (!entry)
        return transport_badIndex(pcb, "Send", "send()", brokerIndex);
    if (!request || length < kRequestMinLength || length - 4 > INT32_MAX)
        return transport_logTcpError(pcb, "Send", entry, "send()", EINVAL);
    transport_writeBe32(request, length - 4);
    const char *tag = requestTag(request);
    if (pcb->iDebugLevel > 4)
        transport_dumpRequest(pcb, tag, entry->i32BrokerID, "data sent to kafka", request,
                              length, length);
    int64_t start = pcb->iDebugLevel != 0 ? getTimeStamp() : 0;
    pcb->ullSends++;
    pcb->ullSndBytes += length;
    if (entry->i32Socket == -1)
        return failSend(pcb, brokerIndex, entry, tag, SocketIo{-1, 0, EBADF, nullptr});
    // One deadline for the whole request: the reply wait.
    int64_t deadline = transport_monotonicMs() + transport_replyWaitMs(pcb);
    SocketIo io = sendAll(entry, request, length, deadline);
    if (io.bytes < 0)
        return failSend(pcb, brokerIndex, entry, tag, io);
    if (pcb->iDebugLevel > 4)
        bqx_log_vf(INF_REQUEST_SENT, pcb, tag, entry->i32BrokerID, -1, 1,
                   static_cast<int>(transport_readBe32(request + kCorrelIdPos)));
    if (pcb->iDebugLevel != 0)
        pcb->ullSndTime += getTimeStamp() - start;
    return 0;
}

PendingRequest *kafka_pending_new(uint32_t length) {
    PendingRequest *pending =
        static_cast<PendingRequest *>(malloc(sizeof(PendingRequest) + length));
    if (pending) {
        pending->pNext = nullptr;
        pending->u32CorrelID = 0;
        pending->u32Length = length;
    }
    return pending;
}

int32_t kafka_sendpending(PCB *pcb, uint32_t brokerIndex, PendingRequest *pending) {
    int32_t rc = kafka_send(pcb, brokerIndex, pending->abRequest, pending->u32Length);
    if (rc != 0) {
        transport_freePending(pending);
        return rc;
    }
    linkPending(transport_entry(pcb, brokerIndex), pending);
    return 0;
}

int32_t kafka_sendqueue(PCB *pcb, uint32_t brokerIndex, uint8_t *request, uint32_t length,
                        int32_t wait) {
    int32_t rc = kafka_send(pcb, brokerIndex, request, length);
    if (rc != 0)
        return rc;
    rc = appendPending(pcb, transport_entry(pcb, brokerIndex), request, length);
    if (rc != 0 || wait == SEND_NOWAIT)
        return rc;
    if (pcb->u32Synchronous != 0 || wait == SEND_SYNC) {
        const BrokerEntry *tableBefore = pcb->pBrokerList;
        rc = kafka_waitReply(pcb, WAIT_QUEUE, brokerIndex);
        return transport_checkNotDropped(pcb, tableBefore, brokerIndex, rc);
    }
    return waitForWindow(pcb, brokerIndex, true);
}

int32_t kafka_waitWindow(PCB *pcb, uint32_t brokerIndex) {
    return waitForWindow(pcb, brokerIndex, false);
}
