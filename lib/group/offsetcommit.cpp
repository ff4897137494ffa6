// OffsetCommit (key 8, version 8): the positions of the assigned partitions
// as the group's committed offsets. A partition without a position (-1) is
// never committed, and nothing is sent when no partition has one.
#include <stdlib.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "group/coordinator_request.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kOffsetCommitKey = 8;
constexpr int32_t kOffsetCommitVersion = 8;
constexpr const char *kTag = "OffsetCommit";
constexpr const char *kReplyTag = "OffsCoRy";
// Bytes per committed partition: index, offset, leader epoch, empty
// metadata, tagged fields.
constexpr uint64_t kPartitionBytes = 4 + 8 + 4 + 1 + 1;
// Partition entry of the reply at its shortest: index, error, tags.
constexpr uint32_t kReplyPartitionMinBytes = 4 + 2 + 1;
// Topic entry of the reply at its shortest: empty name, no partitions, tags.
constexpr uint32_t kReplyTopicMinBytes = 3;

bool committable(const PartitionEntry &entry) {
    return entry.u32Assigned && entry.i64Offset >= 0;
}

uint32_t countCommittable(const PCB *pcb) {
    uint32_t count = 0;
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        if (committable(pcb->pPartitionList[i]))
            ++count;
    return count;
}

int32_t notConnected(PCB *pcb) {
    int32_t index = kafka_coordinator_index(pcb);
    const BrokerEntry *entry = index >= 0 ? &pcb->pBrokerList[index] : nullptr;
    bqx_log_vf(ERR_COORDINATOR_CONN, pcb, kTag, entry ? entry->i32BrokerID : -1, -1, 2,
               entry && entry->pszHost ? entry->pszHost : "", entry ? entry->i32Port : 0);
    return ERR_COORDINATOR_CONN;
}

// Writes the committable partitions and records each offset as the one
// being committed.
int32_t marshalPartitions(PCB *pcb, uint8_t *buffer, uint32_t capacity, int32_t position) {
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i) {
        PartitionEntry &entry = pcb->pPartitionList[i];
        if (!committable(entry))
            continue;
        position = kafka_marshall_new(pcb, buffer, capacity, position, "i4i8i4i1i1",
                                      entry.i32Partition, entry.i64Offset, -1, 1, 0);
        entry.i64CommitOffset = entry.i64Offset;
        if (pcb->iDebugLevel > 1)
            bqx_log_vf(INF_OFFSET, pcb, kTag, -1, entry.i32Partition, 1,
                       static_cast<long long>(entry.i64Offset));
    }
    // The topic's and the request's empty tagged fields.
    return kafka_marshall_new(pcb, buffer, capacity, position, "i2", 0);
}

// Builds the request into a heap buffer sized for `count` partitions;
// *length receives its size. Returns 0, -1 for a header that did not fit,
// or the error logged.
int32_t buildRequest(PCB *pcb, uint32_t brokerIndex, uint32_t count, uint8_t **out,
                     int32_t *length) {
    uint64_t groupBytes = kafka_compact_text_bytes(pcb, kTag, pcb->pszGroupID);
    uint64_t memberBytes = groupBytes ? kafka_compact_text_bytes(pcb, kTag, pcb->pszMemberID) : 0;
    uint64_t topicBytes = memberBytes ? kafka_compact_text_bytes(pcb, kTag, pcb->pszTopic) : 0;
    if (!topicBytes)
        return ERR_MARSHALL;
    SizedRequest q;
    int32_t rc = kafka_request_alloc(pcb, kTag, "OffsetCommit Request", brokerIndex,
                                     kOffsetCommitKey, kOffsetCommitVersion,
                                     1 + groupBytes + 4 + memberBytes + 1 + 1 + topicBytes + 5 +
                                         kPartitionBytes * count + 2,
                                     &q);
    if (rc != 0)
        return rc;
    uint8_t *buffer = q.bytes;
    uint32_t capacity = q.capacity;
    int32_t position = q.position;
    // Null group instance id; one topic (compact count 2).
    position = kafka_marshall_new(pcb, buffer, capacity, position, "i1csi4csi1uvcsuv", 0,
                                  pcb->pszGroupID, pcb->i32GenerationID, pcb->pszMemberID, 0,
                                  uint64_t{2}, pcb->pszTopic, uint64_t{count} + 1);
    position = marshalPartitions(pcb, buffer, capacity, position);
    if (position < 0) {
        free(buffer);
        return kafka_marshall_failure(position);
    }
    *out = buffer;
    *length = position;
    return 0;
}

// The reply being read.
struct CommitReader {
    PCB *pcb;
    const uint8_t *reply;
    uint32_t replyLen;
    int32_t position;
    int32_t broker;
    uint32_t brokerIndex;
};

// Whether `count` elements of at least `minBytes` each can still follow; a
// null array (-1) reads as empty.
bool countFits(const CommitReader &r, int32_t count, uint32_t minBytes) {
    if (r.position < 0)
        return false;
    return count <= 0 || static_cast<uint64_t>(count) * minBytes <=
                             r.replyLen - static_cast<uint32_t>(r.position);
}

int32_t malformed(const CommitReader &r, const char *what) {
    return kafka_reply_malformed(r.pcb, kReplyTag, r.broker, what);
}

PartitionEntry *findPartition(PCB *pcb, int32_t partition) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].i32Partition == partition)
            return &pcb->pPartitionList[i];
    return nullptr;
}

int32_t unknownPartition(const CommitReader &r, int32_t partition) {
    const BrokerEntry *entry = r.pcb->pBrokerList && r.brokerIndex < r.pcb->u32BrokerCount
                                   ? &r.pcb->pBrokerList[r.brokerIndex]
                                   : nullptr;
    bqx_log_vf(ERR_PARTITION_INDEX, r.pcb, kReplyTag, r.broker, partition, 3,
               entry && entry->pszHost ? entry->pszHost : "", entry ? entry->i32Port : 0,
               static_cast<int32_t>(r.pcb->u32PartitionCount));
    return ERR_PARTITION_INDEX;
}

int32_t readPartition(CommitReader &r) {
    int32_t partition = 0;
    int16_t errorCode = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4i2",
                                      &partition, &errorCode);
    r.position = kafka_skip_tagged_fields(r.pcb, r.reply, r.replyLen, r.position);
    if (r.position < 0)
        return malformed(r, "OffsetCommit reply: partition truncated");
    if (errorCode != 0) {
        r.pcb->u16LastKafkaError = static_cast<uint16_t>(errorCode);
        bqx_log_vf(ERR_KAFKA, r.pcb, kReplyTag, r.broker, partition, 2,
                   static_cast<int>(errorCode), getErrorText(errorCode));
        if (kafka_is_membership_error(errorCode))
            kafka_group_error(r.pcb, errorCode);
        return ERR_KAFKA;
    }
    PartitionEntry *entry = findPartition(r.pcb, partition);
    if (!entry)
        return unknownPartition(r, partition);
    entry->i64CommittedOffset = entry->i64CommitOffset;
    return 0;
}

} // namespace

int32_t kafka_offsetcommit(PCB *pcb) {
    uint32_t count = countCommittable(pcb);
    if (count == 0) {
        pcb->u32CommitDue = 0; // no position to commit: nothing is owed
        return 0;
    }
    if (!kafka_coordinator_connected(pcb))
        return notConnected(pcb);
    // A commit's reply would come only behind the JoinGroup's, and the
    // generation is not known yet: it stays owed.
    if (kafka_join_pending(pcb))
        return 0;
    if (!pcb->pszGroupID || !pcb->pszMemberID) {
        // Not a member (yet): the coordinator would refuse the commit.
        bqx_log_vf(ERR_NO_COORDINATOR, pcb, kTag, -1, -1, 1, "");
        return ERR_NO_COORDINATOR;
    }
    uint32_t coordinator = static_cast<uint32_t>(kafka_coordinator_index(pcb));
    uint8_t *request = nullptr;
    int32_t length = 0;
    int32_t rc = buildRequest(pcb, coordinator, count, &request, &length);
    if (rc != 0)
        return rc;
    rc = kafka_sendqueue(pcb, coordinator, request, static_cast<uint32_t>(length), SEND_WINDOW);
    free(request);
    // A failed write loses the request (7500): the commit stays owed.
    if (rc != ERR_TCPIP)
        pcb->u32CommitDue = 0;
    return rc;
}

// Reads every partition of every topic until the first error.
int32_t kafka_offsetcommit_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                 uint32_t replyLen) {
    CommitReader r{pcb, reply, replyLen, 0, kafka_broker_id(pcb, brokerIndex), brokerIndex};
    int32_t size = 0, correlationId = 0, throttle = 0, topics = 0;
    r.position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4", &size, &correlationId);
    r.position = kafka_skip_tagged_fields(pcb, reply, replyLen, r.position);
    r.position = kafka_unmarshall_new(pcb, reply, replyLen, r.position, "i4u3", &throttle,
                                      &topics);
    if (!countFits(r, topics, kReplyTopicMinBytes))
        return malformed(r, "OffsetCommit reply too short");
    for (int32_t t = 0; t < topics; ++t) {
        char *name = nullptr;
        int32_t partitions = 0;
        r.position = kafka_unmarshall_new(pcb, reply, replyLen, r.position, "csu3", &name,
                                          &partitions);
        free(name);
        if (!countFits(r, partitions, kReplyPartitionMinBytes))
            return malformed(r, "OffsetCommit reply: partition count beyond reply");
        for (int32_t p = 0; p < partitions; ++p) {
            int32_t rc = readPartition(r);
            if (rc != 0)
                return rc;
        }
        r.position = kafka_skip_tagged_fields(pcb, reply, replyLen, r.position);
        if (r.position < 0)
            return malformed(r, "OffsetCommit reply: topic truncated");
    }
    r.position = kafka_skip_tagged_fields(pcb, reply, replyLen, r.position);
    if (r.position < 0)
        return malformed(r, "OffsetCommit reply: tagged fields truncated");
    return 0;
}
