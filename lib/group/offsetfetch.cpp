// OffsetFetch (key 9, version 7): the committed offsets of the session's
// group for every partition of its topic. Offsets are taken only from a
// reply that carries no error at all: a group-level error (a coordinator
// still loading or moved, an unstable commit) leaves every position as it
// was, and the caller retries or finds the coordinator again.
#include <stdlib.h>
#include <string.h>

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

constexpr int32_t kOffsetFetchKey = 9;
constexpr int32_t kOffsetFetchVersion = 7;
constexpr const char *kTag = "FetchOffset";
constexpr const char *kReplyTag = "OffsFeRy";
// Partition entry of the reply at its shortest: index, offset, leader
// epoch, null metadata, error code, empty tagged fields.
constexpr uint32_t kPartitionMinBytes = 4 + 8 + 4 + 1 + 2 + 1;
// Topic entry at its shortest: empty name, no partitions, no tags.
constexpr uint32_t kTopicMinBytes = 3;
int32_t noCoordinator(PCB *pcb) {
    bqx_log_vf(ERR_NO_COORDINATOR, pcb, kTag, -1, -1, 1, "");
    return -1;
}

// Builds the request into a heap buffer sized for every partition of the
// list; *length receives its size. Returns 0, -1 for a header that did not
// fit, or the error logged (7514 for a text too long, 7503).
int32_t buildRequest(PCB *pcb, uint32_t brokerIndex, uint8_t **out, int32_t *length) {
    uint64_t groupBytes = kafka_compact_text_bytes(pcb, kTag, pcb->pszGroupID);
    uint64_t topicBytes = groupBytes ? kafka_compact_text_bytes(pcb, kTag, pcb->pszTopic) : 0;
    if (!groupBytes || !topicBytes)
        return ERR_MARSHALL;
    uint32_t count = pcb->pPartitionList ? pcb->u32PartitionCount : 0;
    SizedRequest q;
    int32_t rc = kafka_request_alloc(pcb, kTag, "OffsetFetch Request", brokerIndex, kOffsetFetchKey,
                                     kOffsetFetchVersion,
                                     1 + groupBytes + 1 + topicBytes + 5 + 4ull * count + 3, &q);
    if (rc != 0)
        return rc;
    uint8_t *buffer = q.bytes;
    uint32_t capacity = q.capacity;
    int32_t position = q.position;
    position = kafka_marshall_new(pcb, buffer, capacity, position, "i1csi1csuv", 0,
                                  pcb->pszGroupID, 2, pcb->pszTopic, uint64_t{count} + 1);
    for (uint32_t i = 0; i < count; ++i)
        position = kafka_marshall_new(pcb, buffer, capacity, position, "i4",
                                      pcb->pPartitionList[i].i32Partition);
    // The topic's empty tagged fields and require_stable = true, then the
    // request's empty tagged fields.
    position = kafka_marshall_new(pcb, buffer, capacity, position, "i2i1", 1, 0);
    if (position < 0) {
        free(buffer);
        return kafka_marshall_failure(position);
    }
    *out = buffer;
    *length = position;
    return 0;
}

// One committed offset read from the reply.
struct CommittedOffset {
    int32_t partition;
    int64_t offset;
};

// The reply being read, and what it said.
struct FetchReader {
    PCB *pcb;
    const uint8_t *reply;
    uint32_t replyLen;
    int32_t position;
    int32_t broker;
    CommittedOffset *offsets; // partitions of the first topic
    uint32_t offsetCount;
    int32_t result; // 7510 once an error code was seen
};

// Whether `count` elements of at least `minBytes` each can still follow.
// A null array (-1) reads as empty.
bool fits(const FetchReader &r, int32_t count, uint32_t minBytes) {
    if (r.position < 0)
        return false;
    if (count <= 0)
        return true;
    return static_cast<uint64_t>(count) * minBytes <= r.replyLen - static_cast<uint32_t>(r.position);
}

void kafkaError(FetchReader &r, int16_t code, int32_t partition) {
    bqx_log_vf(ERR_KAFKA, r.pcb, kReplyTag, r.broker, partition, 2, static_cast<int>(code),
               getErrorText(code));
    r.pcb->u16LastKafkaError = static_cast<uint16_t>(code);
    r.result = ERR_KAFKA;
}

int32_t readPartition(FetchReader &r, bool keep) {
    int32_t partition = 0, leaderEpoch = 0;
    int64_t offset = 0;
    int16_t errorCode = 0;
    char *metadata = nullptr;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4i8i4csi2",
                                      &partition, &offset, &leaderEpoch, &metadata, &errorCode);
    free(metadata);
    r.position = kafka_skip_tagged_fields(r.pcb, r.reply, r.replyLen, r.position);
    if (r.position < 0)
        return kafka_reply_malformed(r.pcb, kReplyTag, r.broker, "OffsetFetch reply: partition truncated");
    if (errorCode != 0) {
        kafkaError(r, errorCode, partition);
        if (kafka_is_membership_error(errorCode))
            kafka_group_error(r.pcb, errorCode);
        return 0;
    }
    if (r.pcb->iDebugLevel > 1)
        bqx_log_vf(INF_OFFSET, r.pcb, kReplyTag, r.broker, partition, 1,
                   static_cast<long long>(offset));
    if (keep)
        r.offsets[r.offsetCount++] = {partition, offset < 0 ? -1 : offset};
    return 0;
}

// Reads one topic; the partitions of the first are kept.
int32_t readTopic(FetchReader &r, bool first) {
    char *name = nullptr;
    int32_t partitions = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "csu3", &name,
                                      &partitions);
    free(name);
    if (!fits(r, partitions, kPartitionMinBytes))
        return kafka_reply_malformed(r.pcb, kReplyTag, r.broker, "OffsetFetch reply: partition count beyond reply");
    if (first && partitions > 0) {
        r.offsets = static_cast<CommittedOffset *>(
            malloc(static_cast<size_t>(partitions) * sizeof(CommittedOffset)));
        if (!r.offsets) {
            bqx_log_vf(ERR_MEMORY, r.pcb, kReplyTag, r.broker, -1, 1, "Committed Offsets");
            return ERR_MEMORY;
        }
    }
    for (int32_t i = 0; i < partitions; ++i) {
        int32_t rc = readPartition(r, first);
        if (rc != 0)
            return rc;
    }
    r.position = kafka_skip_tagged_fields(r.pcb, r.reply, r.replyLen, r.position);
    if (r.position < 0)
        return kafka_reply_malformed(r.pcb, kReplyTag, r.broker, "OffsetFetch reply: topic truncated");
    return 0;
}

// Reads the whole reply: header, topics, the group's error code.
int32_t readReply(FetchReader &r) {
    int32_t size = 0, correlationId = 0, throttle = 0, topics = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, 0, "i4i4", &size,
                                      &correlationId);
    r.position = kafka_skip_tagged_fields(r.pcb, r.reply, r.replyLen, r.position);
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4u3", &throttle,
                                      &topics);
    if (!fits(r, topics, kTopicMinBytes))
        return kafka_reply_malformed(r.pcb, kReplyTag, r.broker, "OffsetFetch reply: topic count beyond reply");
    for (int32_t i = 0; i < topics; ++i) {
        int32_t rc = readTopic(r, i == 0);
        if (rc != 0)
            return rc;
    }
    int16_t groupError = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i2", &groupError);
    r.position = kafka_skip_tagged_fields(r.pcb, r.reply, r.replyLen, r.position);
    if (r.position < 0)
        return kafka_reply_malformed(r.pcb, kReplyTag, r.broker, "OffsetFetch reply: group error code truncated");
    if (groupError != 0) {
        kafkaError(r, groupError, -1);
        kafka_group_error(r.pcb, groupError);
    }
    return r.result;
}

// Positions are taken only for the partitions this member owns: the
// position of any other partition stays unknown, so that it is neither
// fetched nor committed from an offset of another member.
void applyOffsets(PCB *pcb, const CommittedOffset *offsets, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t j = 0; pcb->pPartitionList && j < pcb->u32PartitionCount; ++j) {
            PartitionEntry &entry = pcb->pPartitionList[j];
            if (entry.i32Partition == offsets[i].partition && entry.u32Assigned)
                entry.i64Offset = offsets[i].offset;
        }
}

} // namespace

int32_t kafka_fetchoffsets(PCB *pcb) {
    // Without a group there is nothing to ask a coordinator for: the same
    // sequence error as a missing coordinator.
    if (!kafka_coordinator_connected(pcb) || !pcb->pszGroupID)
        return noCoordinator(pcb);
    uint32_t coordinator = static_cast<uint32_t>(kafka_coordinator_index(pcb));
    uint8_t *request = nullptr;
    int32_t length = 0;
    int32_t rc = buildRequest(pcb, coordinator, &request, &length);
    if (rc != 0)
        return rc;
    rc = kafka_sendqueue(pcb, coordinator, request, static_cast<uint32_t>(length),
                                 SEND_SYNC);
    free(request);
    return rc;
}

int32_t kafka_fetchoffsets_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                 uint32_t replyLen) {
    FetchReader r{pcb, reply, replyLen, 0, kafka_broker_id(pcb, brokerIndex), nullptr, 0, 0};
    int32_t rc = readReply(r);
    if (rc == 0)
        applyOffsets(pcb, r.offsets, r.offsetCount);
    free(r.offsets);
    return rc;
}
