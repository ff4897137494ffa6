// SyncGroup (key 14, version 3): the leader hands out the range assignment
// of every topic the members subscribe to (range_assignor.h); every member
// learns its own partitions from the reply.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "group/assignment.h"
#include "group/group_internal.h"
#include "group/range_assignor.h"
#include "group/subscription.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kSyncGroupKey = 14;
constexpr int32_t kSyncGroupVersion = 3;
constexpr int32_t kAssignmentVersion = 1;
constexpr const char *kTag = "SyncGroup";
constexpr const char *kReplyTag = "SyncGrRy";
// Room for the request header and the fixed fields; every text may grow up
// to 4 bytes per character when it is converted to UTF-8.
constexpr uint64_t kFixedBytes = 1024;
constexpr uint64_t kUtf8Factor = 4;
constexpr uint64_t kAssignmentFixedBytes = 16; // lengths, version, topic count, user data
constexpr uint64_t kTopicFixedBytes = 6;       // the name's length, partition count

const char *orEmpty(const char *text) { return text ? text : ""; }

bool sameText(const char *a, const char *b) { return a && b && strcmp(a, b) == 0; }

// A request being built in a heap buffer sized from the texts and counts.
struct SyncRequest {
    PCB *pcb;
    uint8_t *buffer;
    uint32_t size;
    int32_t position;
    int32_t broker;
};

void logAssignment(SyncRequest &q, const char *memberId, bool isSelf, uint32_t share) {
    bqx_log_vf(INF_FIELD_TEXT, q.pcb, kTag, q.broker, -1, 2, isSelf ? "This is me" : "MemberID",
               orEmpty(memberId));
    bqx_log_vf(INF_FIELD_NUMBER, q.pcb, kTag, q.broker, -1, 2, "Num Partitions",
               static_cast<long long>(share));
}

// The share of topic `topic` in the assignment of member `member`, or
// (member < 0: a follower's request) every partition of the session's topic.
TopicShare shareOf(const PCB *pcb, int32_t member, uint32_t topic) {
    if (member >= 0)
        return group_range_share(pcb, static_cast<uint32_t>(member), topic);
    return TopicShare{pcb->pszTopic, 0, pcb->u32PartitionCount, true};
}

void writeTopic(SyncRequest &q, const TopicShare &share) {
    PCB *pcb = q.pcb;
    q.position = kafka_marshall_new(pcb, q.buffer, q.size, q.position, "nsi4", share.topic, 1,
                                    static_cast<int32_t>(share.count));
    for (uint32_t n = 0; n < share.count; ++n) {
        int32_t id = group_share_partition(pcb, share, n);
        q.position = kafka_marshall_new(pcb, q.buffer, q.size, q.position, "i4", id);
        if (pcb->iDebugLevel > 1)
            bqx_log_vf(INF_FIELD_NUMBER, pcb, kTag, q.broker, -1, 2, "Assigning PartID",
                       static_cast<long long>(id));
    }
}

// Writes one member's assignment: every topic of which it gets partitions.
// Nothing is marked as owned here: only the reply decides.
void writeAssignment(SyncRequest &q, const char *memberId, int32_t member) {
    PCB *pcb = q.pcb;
    uint32_t topics = member >= 0 ? group_assigned_topics(pcb) : 1;
    int32_t written = 0;
    uint32_t partitions = 0;
    for (uint32_t t = 0; t < topics; ++t) {
        uint32_t count = shareOf(pcb, member, t).count;
        written += count > 0 ? 1 : 0;
        partitions += count;
    }
    if (pcb->iDebugLevel > 1)
        logAssignment(q, memberId, sameText(memberId, pcb->pszMemberID), partitions);
    q.position = kafka_marshall_new(pcb, q.buffer, q.size, q.position, "nsi4", orEmpty(memberId),
                                    1, 0);
    // The assignment length is patched in once its encoded length is known.
    int32_t lengthAt = q.position - 4;
    q.position =
        kafka_marshall_new(pcb, q.buffer, q.size, q.position, "i2i4", kAssignmentVersion, written);
    for (uint32_t t = 0; t < topics; ++t) {
        TopicShare share = shareOf(pcb, member, t);
        if (share.count > 0)
            writeTopic(q, share);
    }
    q.position = kafka_marshall_new(pcb, q.buffer, q.size, q.position, "i4", 0);
    if (q.position < 0)
        return;
    uint32_t length = static_cast<uint32_t>(q.position - lengthAt - 4);
    for (int i = 0; i < 4; ++i)
        q.buffer[lengthAt + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
}

bool textsFit(PCB *pcb, int32_t broker, bool leads) {
    if (!group_text_fits(pcb, kTag, broker, pcb->pszGroupID) ||
        !group_text_fits(pcb, kTag, broker, pcb->pszMemberID) ||
        !group_text_fits(pcb, kTag, broker, pcb->pszTopic))
        return false;
    for (uint32_t j = 0; leads && j < pcb->u32NumMembers; ++j)
        if (!group_text_fits(pcb, kTag, broker, pcb->apszMembers[j]))
            return false;
    for (uint32_t t = 0; leads && t < pcb->u32OtherTopics; ++t)
        if (!group_text_fits(pcb, kTag, broker, pcb->pOtherTopics[t].pszTopic))
            return false;
    return true;
}

uint64_t textBytes(const char *text) { return text ? kUtf8Factor * strlen(text) : 0; }

// Bytes the request can take at most: every member may name every topic,
// and every partition goes to one member.
uint64_t requestBytes(const PCB *pcb, bool leads) {
    uint64_t bytes = kFixedBytes + textBytes(pcb->pszGroupID) + textBytes(pcb->pszMemberID);
    if (!leads)
        return bytes + kAssignmentFixedBytes + textBytes(pcb->pszTopic) +
               textBytes(pcb->pszMemberID) + 4 * static_cast<uint64_t>(pcb->u32PartitionCount);
    uint64_t topics = kTopicFixedBytes + textBytes(pcb->pszTopic);
    for (uint32_t t = 0; t < pcb->u32OtherTopics; ++t)
        topics += kTopicFixedBytes + textBytes(pcb->pOtherTopics[t].pszTopic);
    for (uint32_t j = 0; j < pcb->u32NumMembers; ++j)
        bytes += kAssignmentFixedBytes + topics + textBytes(pcb->apszMembers[j]);
    return bytes + 4 * group_assigned_partitions(pcb);
}

int32_t buildAndSend(SyncRequest &q, bool leads) {
    PCB *pcb = q.pcb;
    uint32_t slot = static_cast<uint32_t>(kafka_coordinator_index(pcb));
    q.position = kafka_marshall_ReqHdr(pcb, slot, q.buffer, q.size, kSyncGroupKey,
                                       kSyncGroupVersion);
    if (q.position < 1)
        return -1;
    uint32_t assignments = leads ? pcb->u32NumMembers : 1;
    q.position = kafka_marshall_new(pcb, q.buffer, q.size, q.position, "nsi4nsnsi4",
                                    pcb->pszGroupID, 1, pcb->i32GenerationID, pcb->pszMemberID, 1,
                                    nullptr, 0, static_cast<int32_t>(assignments));
    if (leads)
        for (uint32_t j = 0; j < pcb->u32NumMembers; ++j)
            writeAssignment(q, pcb->apszMembers[j], static_cast<int32_t>(j));
    else
        writeAssignment(q, pcb->pszMemberID, -1);
    if (q.position < 0)
        return kafka_marshall_failure(q.position);
    return kafka_sendqueue(pcb, slot, q.buffer, static_cast<uint32_t>(q.position), SEND_SYNC);
}

// The fields of a reply, for the diagnostics.
struct SyncReply {
    int32_t size, correlationId, throttle, assignmentLen, position;
    int16_t errorCode;
};

void logDiagnostics(PCB *pcb, int32_t broker, const SyncReply &r) {
    const struct {
        const char *name;
        long long value;
    } numbers[] = {
        {"u32Len", r.size},
        {"iMarshallOffset", r.position},
        {"u32CorrelationID", r.correlationId},
        {"u32ThrottleTime", r.throttle},
        {"u16LastKafkaError", static_cast<uint16_t>(r.errorCode)},
        {"u32TLen", r.assignmentLen},
    };
    for (const auto &n : numbers)
        bqx_log_vf(INF_FIELD_NUMBER, pcb, kReplyTag, broker, -1, 2, n.name, n.value);
}

int32_t errorReply(PCB *pcb, int32_t broker, int16_t errorCode) {
    if (errorCode == kRebalanceInProgress && pcb->iDebugLevel > 1)
        bqx_log_vf(INF_REBALANCING, pcb, kReplyTag, broker, -1, 1, "");
    bqx_log_vf(ERR_KAFKA, pcb, kReplyTag, broker, -1, 2, static_cast<int>(errorCode),
               getErrorText(errorCode));
    kafka_group_error(pcb, errorCode);
    return ERR_KAFKA;
}

// Takes this member's partitions from the assignment of a reply without
// error. An empty assignment (length 0 or null), or one without the
// session's topic, gives this member nothing.
int32_t readAssignment(PCB *pcb, int32_t broker, const uint8_t *reply, uint32_t replyLen,
                       const SyncReply &r) {
    if (r.assignmentLen <= 0) {
        group_revoke_partitions(pcb);
        return 0;
    }
    if (r.assignmentLen > static_cast<int64_t>(replyLen) - r.position)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "assignment beyond the reply");
    const char *reason = group_apply_assignment(pcb, reply + r.position,
                                                static_cast<uint32_t>(r.assignmentLen), broker);
    return reason ? kafka_reply_malformed(pcb, kReplyTag, broker, reason) : 0;
}

} // namespace

int32_t kafka_syncgroup(PCB *pcb) {
    BrokerEntry *coordinator = group_coordinator(pcb);
    int32_t broker = coordinator ? coordinator->i32BrokerID : -1;
    if (!coordinator || coordinator->i32Socket == -1) {
        bqx_log_vf(ERR_NO_COORDINATOR, pcb, kTag, broker, -1, 1, "");
        return -1;
    }
    if (!pcb->pszGroupID || !pcb->pszMemberID || !pcb->pszTopic ||
        (pcb->u32PartitionCount > 0 && !pcb->pPartitionList)) {
        // SyncGroup follows a JoinGroup that gave this member its id.
        bqx_log_vf(ERR_NO_COORDINATOR, pcb, kTag, broker, -1, 1, "");
        return -1;
    }
    bool leads = pcb->u32IsLeader != 0 && pcb->u32NumMembers > 0;
    // Topics the leader cannot learn the partitions of are assigned to
    // nobody; the session's own topic is assigned all the same.
    if (leads)
        (void)group_fetch_topic_counts(pcb);
    if (!textsFit(pcb, broker, leads))
        return ERR_MARSHALL;
    uint64_t bytes = requestBytes(pcb, leads);
    uint8_t *buffer = bytes <= 0x7FFFFFFF ? static_cast<uint8_t *>(malloc(bytes)) : nullptr;
    if (!buffer) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, broker, -1, 1, "SyncGroup request");
        return ERR_MEMORY;
    }
    SyncRequest q{pcb, buffer, static_cast<uint32_t>(bytes), 0, broker};
    int32_t rc = buildAndSend(q, leads);
    free(buffer);
    if (rc == 0)
        pcb->u32GroupJoined = 1;
    return rc;
}

int32_t kafka_syncgroup_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                              uint32_t replyLen) {
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    SyncReply r{};
    r.position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i4i2i4", &r.size,
                                      &r.correlationId, &r.throttle, &r.errorCode,
                                      &r.assignmentLen);
    int32_t rc = 0;
    if (r.position < 0) {
        r.position = 0;
        rc = kafka_reply_malformed(pcb, kReplyTag, broker, "SyncGroup reply too short");
    } else {
        pcb->u16LastKafkaError = static_cast<uint16_t>(r.errorCode);
        rc = r.errorCode != 0 ? errorReply(pcb, broker, r.errorCode)
                              : readAssignment(pcb, broker, reply, replyLen, r);
    }
    // A member whose SyncGroup failed owns nothing in any generation.
    if (rc != 0)
        group_revoke_partitions(pcb);
    if ((rc != 0 && !pcb->u32RejoinNeeded) || pcb->iDebugLevel > 2)
        logDiagnostics(pcb, broker, r);
    if (rc != 0 && (!pcb->u32RejoinNeeded || pcb->iDebugLevel > 2))
        hexdump(pcb, kReplyTag, broker, -1, "Failed SyncReply", reply,
                replyLen > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(replyLen));
    return rc;
}
