// Small helpers of the broker transport: entry look-up, error texts and
// big-endian integers.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "api/pcb.h"
#include "log/log.h"
#include "log/messages.h"
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
