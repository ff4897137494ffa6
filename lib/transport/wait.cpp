// The reply wait: one readiness wait over every connected broker socket,
// then one reply from each ready socket per pass, until the mode is done.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include "api/pcb.h"
#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

int32_t gi32ReplyWaitSeconds = 35;

namespace {

constexpr const char *kTag = "WaitReply";
constexpr int32_t kFirstError = ERR_TCPIP; // results from here on end every wait
// Readiness that means "a reply or the end of the connection can be read";
// recv tells which. Urgent data never belongs to a Kafka reply.
constexpr short kReadable = POLLIN | POLLERR | POLLHUP;
constexpr short kBroken = POLLPRI | POLLNVAL;

bool anyPending(const PCB *pcb) {
    for (uint32_t i = 0; pcb->pBrokerList && i < pcb->u32BrokerCount; ++i)
        if (pcb->pBrokerList[i].pPendingHead)
            return true;
    return false;
}

bool hasPending(PCB *pcb, uint32_t brokerIndex) {
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    return entry && entry->pPendingHead;
}

// One slot per broker entry, in table order, then the session's wake pipe;
// unconnected entries (and a session without a pipe) carry -1, which poll
// skips. poll has no descriptor limit, unlike an fd_set.
pollfd *buildPollSet(const PCB *pcb) {
    uint32_t count = pcb->u32BrokerCount;
    pollfd *fds = static_cast<pollfd *>(malloc((count + 1) * sizeof(pollfd)));
    for (uint32_t i = 0; fds && i < count; ++i)
        fds[i] = {pcb->pBrokerList[i].i32Socket, POLLIN | POLLPRI, 0};
    if (fds)
        fds[count] = {bqx_wake_fd(pcb), POLLIN, 0};
    return fds;
}

// Bytes that a TLS layer has already taken from its socket do not make the
// socket readable: such entries are served without waiting.
bool anyBuffered(const PCB *pcb) {
    for (uint32_t i = 0; pcb->u32Tls && pcb->pBrokerList && i < pcb->u32BrokerCount; ++i)
        if (transport_hasBuffered(&pcb->pBrokerList[i]))
            return true;
    return false;
}

// Marks the entries with buffered TLS bytes readable after the wait (the
// table may have changed meanwhile: only sockets still the same count).
// Returns how many entries became ready by it.
int markBuffered(const PCB *pcb, pollfd *fds, uint32_t count) {
    int marked = 0;
    for (uint32_t i = 0; pcb->u32Tls && i < count && i < pcb->u32BrokerCount; ++i) {
        const BrokerEntry &entry = pcb->pBrokerList[i];
        if (fds[i].fd == -1 || entry.i32Socket != fds[i].fd || !transport_hasBuffered(&entry))
            continue;
        if (!fds[i].revents)
            ++marked;
        fds[i].revents |= POLLIN;
    }
    return marked;
}

// The session's own wait (a JoinGroup that the coordinator may hold for the
// whole rebalance) when longer than the library's, and never beyond the
// session's wait deadline.
int replyWaitMs(const PCB *pcb) {
    int ms = transport_replyWaitMs(pcb);
    if (pcb->i64WaitDeadlineMs == 0)
        return ms;
    int64_t left = pcb->i64WaitDeadlineMs - transport_monotonicMs();
    return left < 0 ? 0 : left < ms ? static_cast<int>(left) : ms;
}

// poll, started again with the time left after a signal interrupted it.
int pollRetrying(pollfd *fds, uint32_t count, int timeoutMs) {
    int64_t deadline = transport_monotonicMs() + timeoutMs;
    for (;;) {
        int rc = poll(fds, count, timeoutMs);
        if (rc >= 0 || errno != EINTR)
            return rc;
        int64_t left = deadline - transport_monotonicMs();
        timeoutMs = left > 0 ? static_cast<int>(left) : 0;
    }
}

// Waits for readiness with the global lock released, so that other
// sessions and the heartbeat thread run meanwhile, at most until
// `silentUntil` (monotonic ms). With `buffered` (a TLS layer holds
// decrypted bytes) it only looks. `count` counts the broker slots; the
// wake slot follows them. Returns poll's result (errno tells a failure), or
// -1 with *given set to 7502 when the session was closed or reconnected by
// another call: the wait then gives up.
int waitReady(PCB *pcb, pollfd *fds, uint32_t count, int32_t mode, bool buffered,
              int64_t silentUntil, int32_t *given) {
    int timeoutMs = 0;
    if (mode == WAIT_POLL) {
        pcb->ullSelNoWait++;
    } else {
        pcb->ullSelWait++;
        int64_t left = silentUntil - transport_monotonicMs();
        timeoutMs = buffered || left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    *given = bqx_check_taken(pcb, kTag);
    if (*given != 0)
        return -1;
    bqx_release(kTag);
    int rc = pollRetrying(fds, count + 1, timeoutMs);
    int error = errno;
    bool woken = rc > 0 && (fds[count].revents & POLLIN);
    *given = bqx_retake(pcb, kTag, woken);
    errno = error;
    return *given != 0 ? -1 : rc;
}

int32_t timedOut(PCB *pcb, uint32_t target) {
    BrokerEntry *entry = transport_entry(pcb, target);
    bqx_log_vf(ERR_TIMEOUT, pcb, kTag, entry ? entry->i32BrokerID : -1, -1, 2,
               transport_host(entry), entry ? entry->i32Port : 0);
    return ERR_TIMEOUT;
}

// A wait that saw nothing ready: 7515 (logged), or 7543 (not logged) when
// it ran to the session's wait deadline (poll's millisecond rounding
// allowed for); the caller owns that deadline.
int32_t nothingReady(PCB *pcb, uint32_t target) {
    constexpr int64_t kRoundingMs = 5;
    if (pcb->i64WaitDeadlineMs != 0 &&
        transport_monotonicMs() + kRoundingMs >= pcb->i64WaitDeadlineMs)
        return ERR_CONSUME_TIMEOUT;
    return timedOut(pcb, target);
}

int32_t connectionBroken(PCB *pcb, uint32_t brokerIndex) {
    BrokerEntry *entry = &pcb->pBrokerList[brokerIndex];
    transport_closeSocket(entry, false);
    bqx_log_vf(ERR_TCPIP, pcb, kTag, entry->i32BrokerID, -1, 5, "select",
               transport_host(entry), entry->i32Port, -1, "Connection closed by remote");
    kafka_clearBroker(pcb, brokerIndex, 0);
    return ERR_TCPIP;
}

// What one walk over the ready sockets did.
struct WalkState {
    bool partialOk; // a polling wait: a reply still arriving is left for later
    int32_t result;
    bool targetAnswered;
    bool served;          // a reply was read or a connection ended: progress
    int64_t receiveStart; // t1: receive time excludes handler time
};

// Reads and dispatches one reply of the entry. True when the walk goes on.
bool serveEntry(PCB *pcb, uint32_t brokerIndex, uint32_t target, WalkState *state) {
    ReceivedReply reply = transport_receiveReply(pcb, brokerIndex, state->partialOk);
    if (!reply.buffer && !reply.cleared)
        return true; // nothing there after all
    state->served = true;
    if (!reply.buffer) {
        state->result = reply.result;
        return false;
    }
    if (pcb->iDebugLevel != 0)
        pcb->ullRcvTime += getTimeStamp() - state->receiveStart;
    pcb->pDispatchedReply = reply.buffer;
    int32_t rc = kafka_processReply(pcb, brokerIndex, reply.buffer, reply.length);
    pcb->pDispatchedReply = nullptr;
    transport_reply_release(reply.buffer);
    if (rc == kBrokerTableReplaced)
        return false; // the table and its sockets are new: start a new pass
    if (brokerIndex == target)
        state->targetAnswered = true;
    if (pcb->iDebugLevel != 0)
        state->receiveStart = getTimeStamp();
    state->result = rc;
    return rc == 0;
}

void walk(PCB *pcb, const pollfd *fds, uint32_t count, uint32_t target, WalkState *state) {
    for (uint32_t i = 0; i < count && i < pcb->u32BrokerCount; ++i) {
        const BrokerEntry &entry = pcb->pBrokerList[i];
        // Skip entries closed, or closed and opened again, while unlocked.
        if (entry.i32Socket == -1 || entry.i32Socket != fds[i].fd)
            continue;
        if (fds[i].revents & kBroken) {
            state->served = true;
            state->result = connectionBroken(pcb, i);
            return;
        }
        if ((fds[i].revents & kReadable) && !serveEntry(pcb, i, target, state))
            return;
    }
}

// One pass: wait for readiness, then serve the ready entries. *ready is
// false when nothing became ready in time.
int32_t pass(PCB *pcb, int32_t mode, uint32_t target, int64_t t0, int64_t silentUntil,
             WalkState *state, bool *ready) {
    uint32_t count = pcb->u32BrokerCount;
    pollfd *fds = buildPollSet(pcb);
    if (!fds) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, "Socket List");
        return ERR_MEMORY;
    }
    int32_t given = 0;
    int rc = waitReady(pcb, fds, count, mode, anyBuffered(pcb), silentUntil, &given);
    int error = errno;
    if (given != 0) {
        free(fds);
        return given;
    }
    if (rc >= 0)
        rc += markBuffered(pcb, fds, count);
    if (pcb->iDebugLevel != 0) {
        state->receiveStart = getTimeStamp();
        pcb->ullWaitTime += state->receiveStart - t0;
    }
    *ready = rc > 0;
    state->partialOk = mode == WAIT_POLL;
    if (rc > 0)
        walk(pcb, fds, count, target, state);
    free(fds);
    if (rc < 0)
        return transport_logTcpError(pcb, kTag, transport_entry(pcb, target), "select", error);
    return state->result;
}

} // namespace

int32_t kafka_waitReply(PCB *pcb, int32_t mode, uint32_t brokerIndex) {
    // WAIT_REPLY and WAIT_ONCE end with exactly one WAIT_POLL pass once
    // their reply came, and return what that pass returned.
    bool lastPass = mode == WAIT_POLL;
    // WAIT_ALL takes in every reply, error replies included: it keeps the
    // first error and goes on while requests are pending. Every error of a
    // walk has used up a reply or closed a connection, so it cannot spin;
    // a wait that saw nothing ready (time-out, failed wait) ends it.
    int32_t firstError = 0;
    WalkState state = {false, 0, false, false, 0};
    // The reply wait runs from the last progress: readiness that brought
    // nothing (bytes of a TLS record not yet complete, a trickling peer)
    // does not extend it.
    int64_t silentUntil = transport_monotonicMs() + replyWaitMs(pcb);
    for (;;) {
        int64_t t0 = pcb->iDebugLevel != 0 ? getTimeStamp() : 0;
        if (!anyPending(pcb))
            return firstError;
        state.result = 0;
        state.served = false;
        bool ready = false;
        int32_t result = pass(pcb, mode, brokerIndex, t0, silentUntil, &state, &ready);
        if (state.served)
            silentUntil = transport_monotonicMs() + replyWaitMs(pcb);
        else if (ready && transport_monotonicMs() >= silentUntil)
            ready = false;
        if (!ready && result == 0)
            result = mode == WAIT_POLL ? 0 : nothingReady(pcb, brokerIndex);
        if (mode == WAIT_ALL && result >= kFirstError) {
            if (firstError == 0)
                firstError = result;
            if (ready)
                continue;
            return firstError;
        }
        if (!ready || result >= kFirstError || lastPass)
            return result;
        // A warning of a handler (the ListOffsets 5002) was logged by the
        // handler; a waiting mode goes on by its own rule.
        if (mode == WAIT_QUEUE && !hasPending(pcb, brokerIndex))
            return 0;
        if ((mode == WAIT_REPLY && state.targetAnswered) || mode == WAIT_ONCE) {
            mode = WAIT_POLL;
            lastPass = true;
        }
    }
}

bool kafka_replyReady(PCB *pcb, uint32_t brokerIndex) {
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    if (!entry || entry->i32Socket == -1)
        return false;
    if (transport_hasBuffered(entry))
        return true;
    pollfd fd = {entry->i32Socket, POLLIN | POLLPRI, 0};
    return poll(&fd, 1, 0) > 0;
}
