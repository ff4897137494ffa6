// BQXCONS: consume one message of the session's topic as a member of a
// consumer group.
//
// The first call for a group makes the session a member (coordinator, join,
// assignment, committed offsets, heartbeat thread); every call then fetches
// and delivers the next message. A delivered message is committed at the
// start of the caller's next call (or at BQXSYNC, close, group change or
// rejoin), never before the call that hands it out has returned, so a
// caller that dies while processing a message gets it again.
#include <stdlib.h>
#include <string.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kTag = "BQXCONS";

int32_t checkArguments(PCB *pcb, const char *group, int32_t groupLen, const char *buffer,
                       const uint32_t *length) {
    if (groupLen <= 0 || !group) {
        bqx_log_vf(ERR_PROTOCOL, pcb, kTag, -1, -1, 1, "invalid argument: group");
        return ERR_PROTOCOL;
    }
    if (!buffer || !length) {
        bqx_log_vf(ERR_PROTOCOL, pcb, kTag, -1, -1, 1, "invalid argument: message buffer");
        return ERR_PROTOCOL;
    }
    return 0;
}

bool sameGroup(const PCB *pcb, const char *group, int32_t groupLen) {
    return strlen(pcb->pszGroupID) == static_cast<size_t>(groupLen) &&
           memcmp(pcb->pszGroupID, group, static_cast<size_t>(groupLen)) == 0;
}

// Forgets the group: membership, flags and the group text. A member id not
// spent by a LeaveGroup stays, so that a later JoinGroup of the same session
// is recognised.
void dropGroup(PCB *pcb) {
    free(pcb->pszGroupID);
    pcb->pszGroupID = nullptr;
    kafka_group_forget(pcb);
}

// Commits what was delivered, then leaves; results are not used.
void leaveGroup(PCB *pcb) {
    if (pcb->u32GroupJoined)
        kafka_offsetcommit(pcb);
    kafka_leavegroup(pcb);
    dropGroup(pcb);
}

int32_t consumeTimedOut(PCB *pcb, int32_t timeoutSeconds) {
    bqx_log_vf(ERR_CONSUME_TIMEOUT, pcb, kTag, -1, -1, 1, timeoutSeconds);
    return ERR_CONSUME_TIMEOUT;
}

// Becomes a member of the group: the coordinator is looked up and the
// session joins, is assigned its partitions and fetches their committed
// offsets. Coordinator errors of a cluster that is still starting are
// retried until the consume timeout. On failure the group is dropped, so
// the next call starts again; a JoinGroup unanswered at the consume timeout
// keeps it (7543), and the next call waits for that JoinGroup's reply.
int32_t joinGroup(PCB *pcb, const char *group, int32_t groupLen, int32_t timeoutSeconds) {
    pcb->pszGroupID = bqx_copy_text(group, static_cast<uint32_t>(groupLen));
    if (!pcb->pszGroupID) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, "Group");
        return ERR_MEMORY;
    }
    pcb->u32GroupJoined = 0;
    pcb->u32CoordinatorLost = 1;
    pcb->u32RejoinNeeded = 1;
    pcb->i64ConsumeDeadlineMs =
        timeoutSeconds > 0 ? transport_monotonicMs() + int64_t{timeoutSeconds} * 1000 : 0;
    int32_t rc = kafka_group_recover(pcb);
    // A JoinGroup still in flight at the deadline is taken up by the next
    // call: the group stays.
    if (rc == 0 || rc == ERR_CONSUME_TIMEOUT) {
        int32_t started = kafka_heartbeat(pcb);
        rc = rc == 0 ? started : consumeTimedOut(pcb, timeoutSeconds);
    }
    pcb->i64ConsumeDeadlineMs = 0;
    if (rc == ERR_CONSUME_TIMEOUT)
        return rc;
    if (rc != 0) {
        if (pcb->u32GroupJoined || pcb->pszMemberID)
            kafka_leavegroup(pcb);
        dropGroup(pcb);
        return rc;
    }
    pcb->u32UncommittedMsgs = 0;
    return 0;
}

// Counts a delivered message and decides whether its commit is owed: after
// every message in synch mode 1, else after a receive window's worth.
void countDelivered(PCB *pcb) {
    pcb->ullMsgsConsumed++;
    pcb->u32UncommittedMsgs++;
    if (pcb->u32Synchronous) {
        pcb->u32CommitDue = 1;
    } else if (pcb->u32UncommittedMsgs >= pcb->u32ReceiveWindow) {
        pcb->u32CommitDue = 1;
        pcb->u32UncommittedMsgs = 0;
    }
}

int32_t consume(PCB *pcb, const char *group, int32_t groupLen, char *buffer, uint32_t *length,
                int32_t convert, int32_t timeoutSeconds) {
    int32_t rc = checkArguments(pcb, group, groupLen, buffer, length);
    if (rc != 0)
        return rc;
    pcb->u32Convert = convert != 0;
    if (!pcb->pBrokerList || pcb->u32BrokerCount < 2 || !pcb->pszTopic) {
        bqx_log_vf(ERR_NO_CLUSTER, pcb, kTag, -1, -1, 1, "...");
        return -1;
    }
    if (pcb->pszGroupID && pcb->u32CommitDue && pcb->u32GroupJoined)
        kafka_offsetcommit(pcb);
    if (pcb->pszGroupID && !sameGroup(pcb, group, groupLen))
        leaveGroup(pcb);
    if (!pcb->pszGroupID) {
        rc = joinGroup(pcb, group, groupLen, timeoutSeconds);
        if (rc != 0)
            return rc;
    }
    rc = kafka_fetch(pcb, pcb->pszTopic, buffer, length, timeoutSeconds);
    if (rc == 0)
        countDelivered(pcb);
    return rc;
}

} // namespace

int32_t BQXCONS(int32_t handle, const char *group, int32_t groupLen, char *buffer,
                uint32_t *bufferLen, int32_t convert, int32_t timeoutSeconds) {
    PCB *pcb = bqx_enter(kTag, handle);
    if (!pcb)
        return ERR_HANDLE;
    // BQXINFO describes this call's message: none until it hands one out.
    pcb->delivered.u32Valid = 0;
    int32_t rc = consume(pcb, group, groupLen, buffer, bufferLen, convert, timeoutSeconds);
    bqx_leave(pcb, kTag);
    return rc;
}
