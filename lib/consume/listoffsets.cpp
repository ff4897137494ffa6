// ListOffsets (key 2): the earliest offset of a partition whose offset is
// not known. Version 0 asks for one offset of the old offsets array; a
// leader that no longer offers version 0 is asked with version 1, which
// answers with a single timestamp and offset per partition.
#include <stdlib.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kListOffsetsKey = 2;
constexpr uint32_t kRequestSize = 1024;
constexpr int64_t kEarliestTimestamp = -2;
constexpr int64_t kLatestTimestamp = -1; // auto.offset.reset=latest
constexpr const char *kTag = "ListOffs";
constexpr const char *kReplyTag = "ListOfRy";
// Bytes of one partition of the reply up to its (first) offset.
constexpr int32_t kPartitionBytesV0 = 18; // partition, error, offset count, offset
constexpr int32_t kPartitionBytesV1 = 22; // partition, error, timestamp, offset
constexpr int32_t kOffsetBytes = 8;

// The version the leader takes: 0 where offered (or not known), else 1.
// -1 when it offers neither; that is logged.
int32_t chooseVersion(PCB *pcb, uint32_t brokerIndex) {
    if (kafka_api_offers(pcb, brokerIndex, kListOffsetsKey, 0))
        return 0;
    return kafka_api_check(pcb, brokerIndex, kListOffsetsKey, 1, kTag) ? 1 : -1;
}

int32_t partitionIndexOf(const PCB *pcb, int32_t partition) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].i32Partition == partition)
            return static_cast<int32_t>(i);
    return -1;
}

// The reply being decoded.
struct OffsetsReader {
    PCB *pcb;
    const uint8_t *reply;
    uint32_t replyLen;
    int32_t position;
    int32_t broker;
    int32_t version;
};

int64_t bytesLeft(const OffsetsReader &r) {
    return r.position < 0 ? -1 : static_cast<int64_t>(r.replyLen) - r.position;
}

int32_t tooShort(const OffsetsReader &r) {
    bqx_log_vf(WRN_PARTITION_SECTION, r.pcb, kReplyTag, r.broker, -1, 1, "");
    return WRN_PARTITION_SECTION;
}

// Reads one partition: its id, error code and earliest offset. Version 0
// carries an array of offsets of which the first is taken.
int32_t readPartition(OffsetsReader &r, int32_t *partition, int16_t *errorCode,
                      int64_t *offset, bool *hasOffset) {
    *hasOffset = true;
    if (r.version >= 1) {
        int64_t timestamp = 0;
        r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4i2i8i8",
                                          partition, errorCode, &timestamp, offset);
        return r.position < 0 ? tooShort(r) : 0;
    }
    int32_t count = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4i2i4",
                                      partition, errorCode, &count);
    if (r.position < 0 || count < 0 || static_cast<int64_t>(count) * kOffsetBytes > bytesLeft(r))
        return tooShort(r);
    *hasOffset = count > 0;
    if (*hasOffset)
        r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i8", offset);
    r.position += (count > 1 ? count - 1 : 0) * kOffsetBytes; // further offsets are not used
    return 0;
}

// Takes the offset for the partition's entry unless one is known already;
// a Kafka error is logged and handed to the partition's error handling.
int32_t applyPartition(OffsetsReader &r, int32_t partition, int16_t errorCode, int64_t offset,
                       bool hasOffset) {
    int32_t index = partitionIndexOf(r.pcb, partition);
    if (hasOffset && r.pcb->iDebugLevel > 1)
        bqx_log_vf(INF_OFFSET, r.pcb, kReplyTag, r.broker, partition, 1,
                   static_cast<long long>(offset));
    if (errorCode != 0) {
        // The result stays 7510; a leader not ready is tried again, so it
        // is only information.
        bqx_log_vf(kafka_leader_not_ready(errorCode) ? INF_LEADER_RETRY : ERR_KAFKA, r.pcb,
                   kReplyTag, r.broker, partition, 2, static_cast<int>(errorCode),
                   getErrorText(errorCode));
        if (index >= 0)
            kafka_fetch_partition_error(r.pcb, static_cast<uint32_t>(index), errorCode);
        return ERR_KAFKA;
    }
    // Any negative offset counts as unknown.
    if (index >= 0 && hasOffset && offset >= 0 && r.pcb->pPartitionList[index].i64Offset < 0)
        r.pcb->pPartitionList[index].i64Offset = offset;
    return 0;
}

} // namespace

int32_t kafka_listoffsets(PCB *pcb, uint32_t partitionIndex, const char *topic) {
    if (!pcb->pPartitionList || partitionIndex >= pcb->u32PartitionCount)
        return -1;
    const PartitionEntry &entry = pcb->pPartitionList[partitionIndex];
    if (entry.i32BrokerIdx < 0 || static_cast<uint32_t>(entry.i32BrokerIdx) >= pcb->u32BrokerCount)
        return -1;
    uint32_t brokerIndex = static_cast<uint32_t>(entry.i32BrokerIdx);
    int32_t version = chooseVersion(pcb, brokerIndex);
    if (version < 0)
        return ERR_PROTOCOL;
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, sizeof request,
                                             kListOffsetsKey, version);
    if (position < 1)
        return -1;
    position = kafka_marshall_new(
        pcb, request, sizeof request, position, "i4i4nsi4i4i8", -1, 1, topic ? topic : "", 1, 1,
        entry.i32Partition, pcb->u32OffsetResetLatest ? kLatestTimestamp : kEarliestTimestamp);
    if (version == 0)
        position = kafka_marshall_new(pcb, request, sizeof request, position, "i4", 1);
    if (position < 0)
        return kafka_marshall_failure(position);
    return kafka_sendqueue(pcb, brokerIndex, request, static_cast<uint32_t>(position), SEND_SYNC);
}

int32_t kafka_listoffsets_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                uint32_t replyLen, int32_t requestVersion) {
    OffsetsReader r{pcb, reply, replyLen, 0, kafka_broker_id(pcb, brokerIndex), requestVersion};
    int32_t size = 0, correlationId = 0, topics = 0, partitions = 0;
    char *topicName = nullptr;
    r.position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i4", &size, &correlationId,
                                      &topics);
    if (r.position >= 0 && topics < 1)
        return 0; // no topic, nothing to take
    r.position = kafka_unmarshall_new(pcb, reply, replyLen, r.position, "sti4", &topicName,
                                      &partitions);
    free(topicName);
    if (r.position < 0)
        return kafka_reply_malformed(pcb, kReplyTag, r.broker, "ListOffsets reply too short");
    int32_t minBytes = requestVersion >= 1 ? kPartitionBytesV1 : kPartitionBytesV0;
    if (partitions < 0 || static_cast<int64_t>(partitions) * minBytes > bytesLeft(r))
        return tooShort(r);
    for (int32_t i = 0; i < partitions; ++i) {
        if (bytesLeft(r) < minBytes)
            return tooShort(r);
        int32_t partition = 0;
        int16_t errorCode = 0;
        int64_t offset = -1;
        bool hasOffset = false;
        int32_t rc = readPartition(r, &partition, &errorCode, &offset, &hasOffset);
        if (rc == 0)
            rc = applyPartition(r, partition, errorCode, offset, hasOffset);
        if (rc != 0)
            return rc;
    }
    return 0;
}
