// JoinGroup (key 11, version 5): makes the session a member of its group
// with the member-id handshake, and tells the leader who the members are.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "bqx.h"
#include "codec/codec.h"
#include "group/group_internal.h"
#include "group/subscription.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr int32_t kJoinGroupKey = 11;
constexpr int32_t kJoinGroupVersion = 5;
constexpr uint32_t kRequestSize = 1024;
constexpr int32_t kMetadataVersion = 1;
constexpr int32_t kMemberMinBytes = 8; // two empty strings and the metadata length
constexpr int32_t kReplyWaitSlackSeconds = 10;
constexpr const char *kTag = "JoinGroup";
constexpr const char *kReplyTag = "JoinGrRy";

const char *orEmpty(const char *text) { return text ? text : ""; }

// Milliseconds of `seconds` times `factor`, kept within a 32-bit field.
int32_t timeoutMs(uint32_t seconds, int64_t factor) {
    int64_t ms = static_cast<int64_t>(seconds) * factor;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}

// The wait for a JoinGroup reply: the coordinator may hold the request for
// the whole rebalance timeout sent with it.
int32_t joinWaitSeconds(const PCB *pcb) {
    int64_t seconds = static_cast<int64_t>(pcb->u32Timeout) * 3 + kReplyWaitSlackSeconds;
    return seconds > INT32_MAX / 1000 ? INT32_MAX / 1000 : static_cast<int32_t>(seconds);
}

void logText(PCB *pcb, int32_t broker, const char *name, const char *value) {
    bqx_log_vf(INF_FIELD_TEXT, pcb, kReplyTag, broker, -1, 2, name, orEmpty(value));
}

void logNumber(PCB *pcb, int32_t broker, const char *name, long long value) {
    bqx_log_vf(INF_FIELD_NUMBER, pcb, kReplyTag, broker, -1, 2, name, value);
}

void freeMembers(PCB *pcb) {
    for (char *&member : pcb->apszMembers) {
        free(member);
        member = nullptr;
    }
    group_free_subscriptions(pcb);
    pcb->u32NumMembers = 0;
}

// Keeps member `id` with its subscription in slot `slot`; metadata that
// holds no subscription subscribes it to nothing.
void keepMember(PCB *pcb, uint32_t slot, char *id, const uint8_t *metadata, int32_t length) {
    free(pcb->apszMembers[slot]);
    pcb->apszMembers[slot] = id;
    MemberTopics &topics = pcb->aMemberTopics[slot];
    for (uint32_t i = 0; i < topics.u32Count; ++i)
        free(topics.apszTopics[i]);
    free(topics.apszTopics);
    if (length <= 0 ||
        !group_read_subscription(pcb, metadata, static_cast<uint32_t>(length), &topics))
        topics = MemberTopics{};
}

// The fixed part of the reply.
struct JoinReply {
    int16_t errorCode;
    int32_t generation;
    char *protocol;
    char *leader;
    char *member;
    int32_t members;
    int32_t position;
};

// Reads the member list into apszMembers and their subscriptions into
// aMemberTopics. The table keeps kMaxMembers ids:
// later members are read past and get no partitions from this leader (the
// coordinator gives them an empty assignment), except this member itself,
// which always keeps a place.
int32_t readMembers(PCB *pcb, const uint8_t *reply, uint32_t replyLen, JoinReply &r,
                    int32_t broker) {
    freeMembers(pcb);
    int64_t left = static_cast<int64_t>(replyLen) - r.position;
    if (r.members < 0 || static_cast<int64_t>(r.members) * kMemberMinBytes > left)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "JoinGroup reply: member count beyond reply");
    // Logged at every debug level: these members will consume nothing.
    if (r.members > kMaxMembers)
        logNumber(pcb, broker, "Members without partitions", r.members - kMaxMembers);
    uint32_t kept = 0;
    for (int32_t i = 0; i < r.members; ++i) {
        char *id = nullptr, *instance = nullptr;
        int32_t metaLen = 0;
        r.position = kafka_unmarshall_new(pcb, reply, replyLen, r.position, "nsnsi4", &id,
                                          &instance, &metaLen);
        if (r.position >= 0 && pcb->iDebugLevel > 1) {
            logText(pcb, broker, "List MemberID", id);
            logText(pcb, broker, "List Group ID", instance);
            logNumber(pcb, broker, "u32MetaLen", metaLen);
        }
        free(instance);
        // Null metadata (-1) has no bytes to skip.
        int64_t skip = metaLen < 0 ? 0 : metaLen;
        if (r.position < 0 || metaLen < -1 || skip > static_cast<int64_t>(replyLen) - r.position) {
            free(id);
            freeMembers(pcb);
            return kafka_reply_malformed(pcb, kReplyTag, broker, "JoinGroup reply: member list truncated");
        }
        const uint8_t *metadata = reply + r.position;
        r.position += static_cast<int32_t>(skip);
        bool isSelf = id && r.member && strcmp(id, r.member) == 0;
        if (kept < kMaxMembers)
            keepMember(pcb, kept++, id, metadata, metaLen);
        else if (isSelf)
            keepMember(pcb, kMaxMembers - 1, id, metadata, metaLen);
        else
            free(id);
    }
    pcb->u32NumMembers = kept;
    return 0;
}

// What the reply means for this member's role.
int32_t applyRole(PCB *pcb, const uint8_t *reply, uint32_t replyLen, JoinReply &r,
                  int32_t broker) {
    bool leads = r.leader && r.member && strcmp(r.leader, r.member) == 0;
    if (pcb->u32ConsumerLoadBalancing == 0) {
        if (r.errorCode == 0 && r.member && !leads) {
            bqx_log_vf(ERR_CONSUMER_ACTIVE, pcb, kReplyTag, broker, -1, 2,
                       orEmpty(pcb->pszTopic), orEmpty(pcb->pszGroupID));
            return ERR_CONSUMER_ACTIVE;
        }
        // The only consumer of the group: SyncGroup gives it every partition.
        freeMembers(pcb);
        pcb->u32IsLeader = 0;
        return 0;
    }
    // A member that led an earlier generation must not keep assigning.
    pcb->u32IsLeader = leads ? 1 : 0;
    return readMembers(pcb, reply, replyLen, r, broker);
}

} // namespace

int32_t kafka_joingroup_send(PCB *pcb, uint32_t brokerIndex, int32_t wait) {
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    if (!pcb->pszGroupID || !pcb->pszTopic) {
        bqx_log_vf(ERR_NO_COORDINATOR, pcb, kTag, broker, -1, 1, "");
        return -1;
    }
    if (!group_text_fits(pcb, kTag, broker, pcb->pszGroupID) ||
        !group_text_fits(pcb, kTag, broker, pcb->pszMemberID) ||
        !group_text_fits(pcb, kTag, broker, pcb->pszTopic))
        return ERR_MARSHALL;
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, sizeof request,
                                             kJoinGroupKey, kJoinGroupVersion);
    if (position < 1)
        return -1;
    position = kafka_marshall_new(pcb, request, sizeof request, position, "nsi4i4nsnsnsi4nsi4",
                                  pcb->pszGroupID, 1, timeoutMs(pcb->u32Timeout, 1000),
                                  timeoutMs(pcb->u32Timeout, 3000), orEmpty(pcb->pszMemberID), 1,
                                  nullptr, 0, "consumer", 1, 1, "range", 1, 0);
    // The metadata length is patched in once the topic's encoded length is known.
    int32_t metadataLengthAt = position - 4;
    position = kafka_marshall_new(pcb, request, sizeof request, position, "i2i4nsi4i4",
                                  kMetadataVersion, 1, pcb->pszTopic, 1, -1, 0);
    if (position < 0)
        return kafka_marshall_failure(position);
    uint32_t metadataLength = static_cast<uint32_t>(position - metadataLengthAt - 4);
    for (int i = 0; i < 4; ++i)
        request[metadataLengthAt + i] = static_cast<uint8_t>(metadataLength >> (24 - 8 * i));
    return kafka_sendqueue(pcb, brokerIndex, request, static_cast<uint32_t>(position), wait);
}

bool kafka_join_pending(const PCB *pcb) {
    int32_t index = kafka_coordinator_index(pcb);
    if (index < 0)
        return false;
    for (const PendingRequest *p = pcb->pBrokerList[index].pPendingHead; p; p = p->pNext)
        if (p->u32Length >= kRequestMinLength &&
            transport_readBe16(p->abRequest + 4) == kJoinGroupKey)
            return true;
    return false;
}

namespace {

// Whether another open session of this process is a member of the same
// group at the same coordinator. Such a member rejoins only when its own
// caller calls again, which cannot happen while this thread waits, so the
// coordinator would hold this JoinGroup until that member's rebalance time
// ran out and then make this session the only member.
bool memberInThisProcess(PCB *pcb) {
    const BrokerEntry *mine = group_coordinator(pcb);
    for (PCB *other : gpcbList) {
        if (!other || other == pcb || !other->pszGroupID || !other->pszMemberID ||
            strcmp(other->pszGroupID, pcb->pszGroupID) != 0)
            continue;
        const BrokerEntry *theirs = group_coordinator(other);
        if (theirs && theirs->pszHost && theirs->i32Port == mine->i32Port &&
            strcmp(theirs->pszHost, mine->pszHost) == 0)
            return true;
    }
    return false;
}

// Sends a JoinGroup and notes when it went out; its handler sets the result.
int32_t sendJoin(PCB *pcb, uint32_t slot) {
    pcb->i32JoinResult = ERR_TCPIP; // stays when the connection ends unanswered
    pcb->u16JoinError = 0;
    pcb->i64JoinSentMs = transport_monotonicMs();
    return kafka_joingroup_send(pcb, slot, SEND_NOWAIT);
}

// Waits until the pending JoinGroup is answered (0: its result is in
// i32JoinResult), its wait has passed (7515, logged), or the caller's
// deadline came first (7543, not logged: the request stays pending and
// the next call takes its reply).
int32_t awaitJoin(PCB *pcb, uint32_t slot) {
    int64_t joinEnd = pcb->i64JoinSentMs + int64_t{joinWaitSeconds(pcb)} * 1000;
    int64_t callEnd = pcb->i64ConsumeDeadlineMs;
    while (kafka_join_pending(pcb)) {
        int64_t now = transport_monotonicMs();
        if (now >= joinEnd) {
            const BrokerEntry *coordinator = group_coordinator(pcb);
            bqx_log_vf(ERR_TIMEOUT, pcb, kTag, coordinator->i32BrokerID, -1, 2,
                       orEmpty(coordinator->pszHost), coordinator->i32Port);
            return ERR_TIMEOUT;
        }
        if (callEnd != 0 && now >= callEnd)
            return ERR_CONSUME_TIMEOUT;
        pcb->i64WaitDeadlineMs = callEnd != 0 && callEnd < joinEnd ? callEnd : joinEnd;
        int32_t rc = kafka_waitReply(pcb, WAIT_REPLY, slot);
        pcb->i64WaitDeadlineMs = 0;
        // Other results came from other replies of the same wait, or ended
        // the connection (and the JoinGroup with it).
        if (rc == ERR_HANDLE)
            return rc;
    }
    return 0;
}

// One JoinGroup round: the one in flight, or a new one, answered; after
// MEMBER_ID_REQUIRED it goes out once more with the id the coordinator gave.
int32_t joinRound(PCB *pcb, uint32_t slot) {
    bool resent = false;
    for (;;) {
        int32_t rc = kafka_join_pending(pcb) ? 0 : sendJoin(pcb, slot);
        if (rc == 0)
            rc = awaitJoin(pcb, slot);
        if (rc != 0)
            return rc;
        pcb->u16LastKafkaError = static_cast<uint16_t>(pcb->u16JoinError);
        if (pcb->i32JoinResult != 0 || pcb->u16JoinError != kMemberIdRequired)
            return pcb->i32JoinResult;
        if (resent || !pcb->pszMemberID) {
            // Still no membership after the one resend.
            bqx_log_vf(ERR_KAFKA, pcb, kTag, kafka_broker_id(pcb, slot), -1, 2,
                       static_cast<int>(kMemberIdRequired), getErrorText(kMemberIdRequired));
            return ERR_KAFKA;
        }
        if (pcb->iDebugLevel > 1)
            bqx_log_vf(INF_RESEND_MEMBERID, pcb, kTag, kafka_broker_id(pcb, slot), -1, 1,
                       pcb->pszMemberID);
        resent = true;
    }
}

} // namespace

int32_t kafka_joingroup(PCB *pcb) {
    BrokerEntry *coordinator = group_coordinator(pcb);
    if (!coordinator || !coordinator->pszHost) {
        bqx_log_vf(ERR_NO_COORDINATOR, pcb, kTag, -1, -1, 1, "");
        return -1;
    }
    uint32_t slot = static_cast<uint32_t>(kafka_coordinator_index(pcb));
    pcb->u32GroupJoined = 0;
    if (!kafka_join_pending(pcb) && pcb->u32ConsumerLoadBalancing == 0 &&
        memberInThisProcess(pcb)) {
        bqx_log_vf(ERR_CONSUMER_ACTIVE, pcb, kTag, coordinator->i32BrokerID, -1, 2,
                   orEmpty(pcb->pszTopic), orEmpty(pcb->pszGroupID));
        return ERR_CONSUMER_ACTIVE;
    }
    if (coordinator->i32Socket == -1) {
        if (pcb->iDebugLevel > 1)
            bqx_log_vf(INF_CONNECT_BROKER, pcb, kTag, coordinator->i32BrokerID, -1, 2,
                       coordinator->pszHost, coordinator->i32Port);
        int32_t rc = kafka_connect(pcb, slot);
        if (rc != 0)
            return rc;
    }
    int32_t savedWait = pcb->i32ReplyWaitSeconds;
    pcb->i32ReplyWaitSeconds = joinWaitSeconds(pcb);
    int32_t rc = joinRound(pcb, slot);
    pcb->i32ReplyWaitSeconds = savedWait;
    if (rc == 0 || rc == ERR_CONSUME_TIMEOUT || rc == ERR_HANDLE)
        return rc;
    coordinator = group_coordinator(pcb);
    if (rc == ERR_TIMEOUT) {
        bqx_log_vf(ERR_JOIN_GROUP, pcb, kTag, coordinator->i32BrokerID, -1, 6, orEmpty(pcb->pszGroupID),
                   orEmpty(pcb->pszTopic), orEmpty(coordinator->pszHost), coordinator->i32Port,
                   rc, "Timeout Waiting for Reply");
        // The unanswered JoinGroup blocks the connection: a LeaveGroup's
        // reply could only come after it. Closing the connection drops it.
        kafka_clearBroker(pcb, slot, 1);
    }
    group_leave_if_member(pcb);
    kafka_clearBroker(pcb, slot, 1);
    pcb->u32GroupJoined = 0;
    return rc;
}

int32_t kafka_joingroup_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                              uint32_t replyLen) {
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t size = 0, correlationId = 0, throttle = 0;
    JoinReply r{};
    r.position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i4i2i4nsnsnsi4", &size,
                                      &correlationId, &throttle, &r.errorCode, &r.generation,
                                      &r.protocol, &r.leader, &r.member, &r.members);
    int32_t rc = 0;
    if (r.position < 0) {
        rc = kafka_reply_malformed(pcb, kReplyTag, broker, "JoinGroup reply too short");
    } else {
        pcb->u16LastKafkaError = static_cast<uint16_t>(r.errorCode);
        pcb->i32GenerationID = r.generation;
        if (r.errorCode == kMemberIdRequired) {
            if (pcb->iDebugLevel > 2)
                bqx_log_vf(INF_KAFKA_INFO, pcb, kReplyTag, broker, -1, 2,
                           static_cast<int>(r.errorCode), getErrorText(r.errorCode));
        } else if (r.errorCode != 0) {
            bqx_log_vf(ERR_KAFKA, pcb, kReplyTag, broker, -1, 2, static_cast<int>(r.errorCode),
                       getErrorText(r.errorCode));
            rc = ERR_KAFKA;
        }
        if (pcb->iDebugLevel > 1) {
            logText(pcb, broker, "MemberID", r.member);
            logNumber(pcb, broker, "GenerationID", r.generation);
            logNumber(pcb, broker, "Num Members", r.members);
            logText(pcb, broker, "Leader", r.leader);
            logNumber(pcb, broker, "Join Error", r.errorCode);
        }
        int32_t roleRc = applyRole(pcb, reply, replyLen, r, broker);
        if (rc == 0)
            rc = roleRc;
        pcb->u16JoinError = static_cast<uint16_t>(r.errorCode);
    }
    pcb->i32JoinResult = rc;
    free(r.protocol);
    free(r.leader);
    if (r.position < 0) {
        free(r.member);
        return rc;
    }
    if (r.member) {
        free(pcb->pszMemberID);
        pcb->pszMemberID = r.member;
    }
    if (r.errorCode != 0 && r.errorCode != kMemberIdRequired)
        kafka_group_error(pcb, r.errorCode);
    return rc;
}
