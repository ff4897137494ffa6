// Small helpers of the broker transport: entry look-up, reads and writes on
// a connection (plain or TLS), error texts, waits and big-endian integers.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "api/pcb.h"
#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "transport/tls.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr int16_t kSaslAuthenticateKey = 36;

} // namespace

void (*gpfnPendingReleased)(const PendingRequest *request) = nullptr;

void transport_freePending(PendingRequest *request) {
    if (!request)
        return;
    // The copy of a SaslAuthenticate request holds the password.
    if (request->u32Length >= kRequestMinLength &&
        transport_readBe16(request->abRequest + 4) == kSaslAuthenticateKey)
        explicit_bzero(request->abRequest, request->u32Length);
    if (gpfnPendingReleased)
        gpfnPendingReleased(request);
    free(request);
}

namespace {

SocketIo plainResult(ssize_t n, short events) {
    if (n >= 0)
        return {n, 0, 0, nullptr};
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return {0, events, 0, nullptr};
    return {-1, 0, errno, nullptr};
}

} // namespace

SocketIo transport_read(BrokerEntry *entry, uint8_t *into, uint32_t length) {
    if (entry->pTls)
        return tls_read(entry->pTls, into, length);
    return plainResult(recv(entry->i32Socket, into, length, MSG_DONTWAIT), POLLIN);
}

SocketIo transport_write(BrokerEntry *entry, const uint8_t *bytes, uint32_t length) {
    if (entry->pTls)
        return tls_write(entry->pTls, bytes, length);
    // MSG_NOSIGNAL: a closed peer gives EPIPE, never SIGPIPE.
    SocketIo io = plainResult(send(entry->i32Socket, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT),
                              POLLOUT);
    if (io.bytes == 0 && io.waitFor == 0)
        return {-1, 0, EPIPE, nullptr}; // a write of nothing never happens: the peer is gone
    return io;
}

bool transport_hasBuffered(const BrokerEntry *entry) {
    return entry->pTls && entry->i32Socket != -1 && tls_hasBuffered(entry->pTls);
}

void transport_closeSocket(BrokerEntry *entry, bool orderly) {
    // A reply cut short by the close is never handed to a handler.
    transport_reply_release(transport_takePartialReply(entry));
    tls_free(entry->pTls, orderly);
    entry->pTls = nullptr;
    if (entry->i32Socket != -1)
        close(entry->i32Socket);
    entry->i32Socket = -1;
}

int32_t transport_logIoError(PCB *pcb, const char *tag, const BrokerEntry *entry,
                             const char *callName, const SocketIo &io) {
    if (!io.reason)
        return transport_logTcpError(pcb, tag, entry, callName, io.error);
    bqx_log_vf(ERR_TCPIP, pcb, tag, entry ? entry->i32BrokerID : -1, -1, 5, callName,
               transport_host(entry), entry ? entry->i32Port : 0, io.error, io.reason);
    return ERR_TCPIP;
}

long kafka_readAvailable(PCB *pcb, uint32_t brokerIndex, uint8_t *into, uint32_t length) {
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    if (!entry || entry->i32Socket == -1)
        return -1;
    SocketIo io = transport_read(entry, into, length);
    if (io.bytes > 0)
        return io.bytes;
    return io.waitFor != 0 ? 0 : -1;
}

int transport_awaitUnlocked(PCB *pcb, const char *tag, int fd, short events, int64_t deadline,
                            int32_t *given) {
    for (;;) {
        int64_t remaining = deadline - transport_monotonicMs();
        if (remaining <= 0)
            return ETIMEDOUT;
        *given = bqx_check_taken(pcb, tag);
        if (*given != 0)
            return ECANCELED;
        pollfd ready[2] = {{fd, events, 0}, {bqx_wake_fd(pcb), POLLIN, 0}};
        bqx_release(tag);
        int rc = poll(ready, 2, remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining));
        int error = errno;
        *given = bqx_retake(pcb, tag, rc > 0 && (ready[1].revents & POLLIN));
        if (*given != 0)
            return ECANCELED;
        if (rc < 0 && error == EINTR)
            continue;
        if (rc < 0)
            return error;
        if (rc > 0 && ready[0].revents)
            return 0; // ready, or an error or hang-up that the next call reports
        // only woken, or a spurious return: the wait goes on
    }
}

BrokerEntry *transport_entry(PCB *pcb, uint32_t brokerIndex) {
    if (!pcb || !pcb->pBrokerList || brokerIndex >= pcb->u32BrokerCount)
        return nullptr;
    return &pcb->pBrokerList[brokerIndex];
}

const char *transport_host(const BrokerEntry *entry) {
    return entry && entry->pszHost ? entry->pszHost : "";
}

const char *transport_errorText(int error, char *buffer, size_t size) {
    // The GNU strerror_r returns a pointer that may or may not be `buffer`;
    // unlike strerror it is safe while other threads ask for texts too.
    return strerror_r(error, buffer, size);
}

int32_t transport_logTcpError(PCB *pcb, const char *tag, const BrokerEntry *entry,
                              const char *callName, int error) {
    char buffer[kErrorTextSize];
    const char *text = transport_errorText(error, buffer, sizeof buffer);
    bqx_log_vf(ERR_TCPIP, pcb, tag, entry ? entry->i32BrokerID : -1, -1, 5, callName,
               transport_host(entry), entry ? entry->i32Port : 0, error, text);
    return ERR_TCPIP;
}

int32_t transport_badIndex(PCB *pcb, const char *tag, const char *callName,
                           uint32_t brokerIndex) {
    bqx_log_vf(ERR_TCPIP, pcb, tag, -1, -1, 5, callName, "(no entry)",
               static_cast<int>(brokerIndex), EINVAL, "broker index out of range");
    return ERR_TCPIP;
}

int64_t transport_monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int transport_replyWaitMs(const PCB *pcb) {
    int32_t seconds = gi32ReplyWaitSeconds < 1 ? 1 : gi32ReplyWaitSeconds;
    if (pcb && pcb->i32ReplyWaitSeconds > seconds)
        seconds = pcb->i32ReplyWaitSeconds;
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

int transport_awaitSocket(int fd, short events, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - transport_monotonicMs();
        if (left <= 0)
            return ETIMEDOUT;
        pollfd ready = {fd, events, 0};
        int rc = poll(&ready, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (rc > 0)
            return 0; // ready, or an error or hang-up that the next call reports
        if (rc < 0 && errno != EINTR)
            return errno;
    }
}

uint32_t transport_readBe32(const uint8_t *bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

int16_t transport_readBe16(const uint8_t *bytes) {
    return static_cast<int16_t>((static_cast<uint16_t>(bytes[0]) << 8) | bytes[1]);
}

void transport_writeBe32(uint8_t *bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}
