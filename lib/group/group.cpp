// Keeping the group membership: what a Kafka error of a group or offset
// reply means for the session, the rejoin after a rebalance, and the
// recovery at the start of every fetch round.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "api/pcb.h"
#include "api/session.h"
#include "group/assignment.h"
#include "group/group_internal.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kRecoverTag = "GroupRcv";
constexpr int64_t kFirstBackoffMs = 250;
constexpr int64_t kMaxBackoffMs = 5000;
// JoinGroup and SyncGroup rounds a rejoin starts again at once on
// REBALANCE_IN_PROGRESS before it lets the caller back off.
constexpr int kImmediateRestarts = 5;

bool deadlinePassed(const PCB *pcb) {
    return pcb->i64ConsumeDeadlineMs != 0 && transport_monotonicMs() >= pcb->i64ConsumeDeadlineMs;
}

bool rebalancing(const PCB *pcb, int32_t rc) {
    return rc == ERR_KAFKA && pcb->u16LastKafkaError == static_cast<uint16_t>(kRebalanceInProgress);
}

// Failures that a later attempt can get past: the coordinator moved or is
// loading, the group is rebalancing, the membership must be renewed, or the
// connection failed.
bool retriable(const PCB *pcb, int32_t rc) {
    if (rc == ERR_TCPIP || rc == ERR_AUTH_REQUIRED || rc == ERR_TIMEOUT)
        return true;
    if (rc != ERR_KAFKA)
        return false;
    switch (static_cast<int16_t>(pcb->u16LastKafkaError)) {
    case kCoordinatorLoadInProgress:
    case kCoordinatorNotAvailable:
    case kNotCoordinator:
    case kRebalanceInProgress:
    case kIllegalGeneration:
    case kUnknownMemberId:
        return true;
    default:
        return false;
    }
}

// Sleeps up to `ms`, never beyond the consume deadline, with the global
// lock released so that other sessions and the heartbeat thread run.
// Returns 0, or 7502 when the session was closed meanwhile.
int32_t backOff(PCB *pcb, int64_t ms) {
    if (pcb->i64ConsumeDeadlineMs != 0) {
        int64_t left = pcb->i64ConsumeDeadlineMs - transport_monotonicMs();
        ms = left < ms ? left : ms;
    }
    return bqx_pause(pcb, kRecoverTag, ms);
}

// Fetch replies buffered before the rejoin may hold records of partitions
// no longer owned or of old positions; partitions start without back-off.
void dropFetchState(PCB *pcb) {
    for (uint32_t i = 0; pcb->pBrokerList && i < pcb->u32BrokerCount; ++i) {
        kafka_fetch_drop_replies(&pcb->pBrokerList[i]);
    }
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i) {
        // What was prefetched is gone: the next Fetch starts at the position.
        pcb->pPartitionList[i].u32HasFetchNext = 0;
        pcb->pPartitionList[i].u32RequestedCorrel = 0;
        pcb->pPartitionList[i].i64RetryAtMs = 0;
        pcb->pPartitionList[i].u32FetchErrors = 0;
        pcb->pPartitionList[i].u32Fetched = 0;
    }
}

// JoinGroup then SyncGroup, started again at once while the group is
// rebalancing (a few times, and not beyond the deadline).
int32_t joinAndSync(PCB *pcb) {
    int32_t rc = 0;
    for (int round = 0;; ++round) {
        // Best effort: offsets of messages already returned are kept if the
        // commit goes through; its failure never stops the rejoin.
        if (pcb->pszMemberID && kafka_coordinator_connected(pcb) && !kafka_join_pending(pcb))
            kafka_offsetcommit(pcb);
        // The partitions of the generation being left are given up; only
        // the SyncGroup reply of the new one gives partitions again.
        group_revoke_partitions(pcb);
        rc = kafka_joingroup(pcb);
        if (rc == 0)
            rc = kafka_syncgroup(pcb);
        if (!rebalancing(pcb, rc) || round + 1 >= kImmediateRestarts || deadlinePassed(pcb))
            return rc;
    }
}

} // namespace

void kafka_group_forget(PCB *pcb) {
    pcb->u32GroupJoined = 0;
    pcb->u32RejoinNeeded = 0;
    pcb->u32CoordinatorLost = 0;
    pcb->u32CommitDue = 0;
    pcb->u32UncommittedMsgs = 0;
    pcb->u32IsLeader = 0;
    pcb->u32NumMembers = 0;
    group_revoke_partitions(pcb);
}

BrokerEntry *group_coordinator(PCB *pcb) {
    int32_t index = kafka_coordinator_index(pcb);
    return index < 0 ? nullptr : &pcb->pBrokerList[index];
}

bool group_text_fits(PCB *pcb, const char *tag, int32_t broker, const char *text) {
    size_t length = text ? strlen(text) : 0;
    if (length <= kMaxWireTextBytes)
        return true;
    bqx_log_vf(ERR_MARSHALL, pcb, tag, broker, -1, 2,
               static_cast<int>(length > 0x7FFFFFFF ? 0x7FFFFFFF : length + 2),
               static_cast<unsigned>(kMaxWireTextBytes + 2));
    return false;
}

void group_leave_if_member(PCB *pcb) {
    pcb->u32GroupJoined = 0;
    group_revoke_partitions(pcb);
    if (pcb->pszMemberID && kafka_coordinator_connected(pcb))
        kafka_leavegroup(pcb);
}

void kafka_group_error(PCB *pcb, int16_t errorCode) {
    switch (errorCode) {
    case kUnknownMemberId:
        // The coordinator no longer knows this id: join as a new member.
        free(pcb->pszMemberID);
        pcb->pszMemberID = nullptr;
        [[fallthrough]];
    case kRebalanceInProgress:
    case kIllegalGeneration:
    case kFencedInstanceId:
        pcb->u32RejoinNeeded = 1;
        pcb->u32GroupJoined = 0;
        break;
    case kCoordinatorLoadInProgress:
    case kCoordinatorNotAvailable:
    case kNotCoordinator:
        pcb->u32CoordinatorLost = 1;
        pcb->u32RejoinNeeded = 1;
        pcb->u32GroupJoined = 0;
        break;
    default:
        break;
    }
}

int32_t kafka_rejoingroup(PCB *pcb) {
    pcb->u32GroupJoined = 0;
    int32_t rc = joinAndSync(pcb);
    if (rc == ERR_CONSUME_TIMEOUT || rc == ERR_HANDLE) {
        // The JoinGroup is still in flight (or the session was taken over):
        // the next call takes its reply.
        pcb->u32RejoinNeeded = 1;
        return rc;
    }
    if (rc != 0) {
        group_leave_if_member(pcb);
        pcb->u32RejoinNeeded = 1;
        return rc;
    }
    // Joined and synced; an empty assignment is a stable membership too.
    rc = kafka_fetchoffsets(pcb);
    if (rc != 0) {
        // Positions unknown: nothing may be fetched or delivered yet.
        pcb->u32GroupJoined = 0;
        pcb->u32RejoinNeeded = 1;
        return rc;
    }
    pcb->u32UncommittedMsgs = 0;
    pcb->u32CommitDue = 0;
    pcb->u32RejoinNeeded = 0;
    pcb->u32GroupJoined = 1;
    dropFetchState(pcb);
    // The membership stands; a partition that cannot be fetched yet is
    // backed off and retried by the fetch loop, never a reason to join again.
    kafka_fetch_all(pcb);
    return 0;
}

int32_t kafka_group_recover(PCB *pcb) {
    if (!pcb->pszGroupID)
        return 0;
    BrokerEntry *coordinator = group_coordinator(pcb);
    bool connected = coordinator && coordinator->i32Socket != -1;
    if (pcb->u32GroupJoined && connected && !pcb->u32RejoinNeeded && !pcb->u32CoordinatorLost)
        return 0;
    // A member whose coordinator connection is gone, or a slot never filled.
    if ((pcb->u32GroupJoined && !connected) || !coordinator || !coordinator->pszHost)
        pcb->u32CoordinatorLost = 1;
    pcb->u32RejoinNeeded = 1;
    pcb->u32GroupJoined = 0;
    int64_t backoffMs = kFirstBackoffMs;
    for (;;) {
        int32_t rc = 0;
        if (pcb->u32CoordinatorLost) {
            rc = kafka_findcoordinator(pcb, 0);
            if (rc == 0)
                pcb->u32CoordinatorLost = 0;
        }
        if (rc == 0)
            rc = kafka_rejoingroup(pcb);
        // A coordinator that cannot be reached may have gone with its
        // broker: the next attempt asks the cluster where the group is now.
        if (rc == ERR_TCPIP || rc == ERR_AUTH_REQUIRED || rc == ERR_TIMEOUT)
            pcb->u32CoordinatorLost = 1;
        if (rc == 0 || !retriable(pcb, rc) || deadlinePassed(pcb))
            return rc;
        if (backOff(pcb, backoffMs) != 0)
            return ERR_HANDLE;
        if (deadlinePassed(pcb))
            return rc;
        backoffMs = backoffMs * 2 > kMaxBackoffMs ? kMaxBackoffMs : backoffMs * 2;
    }
}
