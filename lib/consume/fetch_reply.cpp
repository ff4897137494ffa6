// Fetch replies (key 1, version 11). A reply is not decoded when it
// arrives: it is kept in its broker entry for the partition its Fetch was
// sent for, and handed out one record per call (the records are read by
// fetch_records.cpp). When a reply is used up, or fails, it is released and
// the partition is fetched again from its current offset.
#include "consume/fetch_reply.h"

#include <stddef.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "api/pcb.h"
#include "consume/fetch_records.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "consume/record_batch.h"
#include "transport/transport.h"

int32_t (*gpfnFetchSend)(PCB *, const char *, uint32_t) = kafka_fetch_send;
int32_t (*gpfnOffsetCommit)(PCB *) = kafka_offsetcommit;
void (*gpfnFetchPartitionError)(PCB *, uint32_t, int16_t) = kafka_fetch_partition_error;

namespace {

constexpr int32_t kCleanupWaitMs = 1000;
constexpr size_t kCleanupBytes = 4096;

const char *topicOf(PCB *pcb, const char *topic) {
    return topic ? topic : pcb->pszTopic ? pcb->pszTopic : "";
}

void releaseBuffer(BrokerEntry *broker) {
    free(broker->pReplyBuffer);
    broker->pReplyBuffer = nullptr;
}

void refetch(PCB *pcb, const char *topic, uint32_t partitionIndex) {
    if (pcb->pPartitionList[partitionIndex].u32Assigned)
        (void)gpfnFetchSend(pcb, topicOf(pcb, topic), partitionIndex);
}

// A warning that BQXGERR reports: bqx_log_vf stores only errors.
void storeWarning(PCB *pcb, uint32_t msgNum, int32_t first, int32_t second) {
    pcb->i32LastError = static_cast<int32_t>(msgNum);
    snprintf(pcb->szLastError, sizeof pcb->szLastError, aszBqxWrnMsgs[msgNum - WRN_TRUNCATED],
             first, second);
}

// The partition-list entry, its broker and the reply buffered for it;
// false when the broker holds no reply of this entry.
bool readingFor(PCB *pcb, uint32_t partitionIndex, FetchReading *r) {
    if (!pcb || !pcb->pPartitionList || partitionIndex >= pcb->u32PartitionCount ||
        !pcb->pBrokerList)
        return false;
    PartitionEntry *part = &pcb->pPartitionList[partitionIndex];
    if (part->i32BrokerIdx < 0 || static_cast<uint32_t>(part->i32BrokerIdx) >= pcb->u32BrokerCount)
        return false;
    BrokerEntry *broker = &pcb->pBrokerList[part->i32BrokerIdx];
    FetchReplyBuffer *buf = broker->pReplyBuffer;
    if (broker->i32Socket == -1 || !buf ||
        buf->i32PartitionIdx != static_cast<int32_t>(partitionIndex))
        return false;
    *r = {pcb, part, broker, buf, broker->i32BrokerID, part->i32Partition, false};
    return true;
}

// While the session belongs to a group but is not a member (membership
// lost, rejoin pending), nothing is delivered.
bool waitingForGroup(const PCB *pcb) { return pcb->pszGroupID && !pcb->u32GroupJoined; }

// Releases replies that no partition will read: kept for an entry that no
// longer exists or that another broker leads now.
void releaseOrphans(PCB *pcb) {
    for (uint32_t b = 0; b < pcb->u32BrokerCount; ++b) {
        FetchReplyBuffer *buf = pcb->pBrokerList[b].pReplyBuffer;
        if (!buf)
            continue;
        int32_t owner = buf->i32PartitionIdx;
        if (owner < 0 || static_cast<uint32_t>(owner) >= pcb->u32PartitionCount ||
            pcb->pPartitionList[owner].i32BrokerIdx != static_cast<int32_t>(b))
            releaseBuffer(&pcb->pBrokerList[b]);
    }
}

int32_t handOut(FetchReading &r, FetchedRecord &record, char *buffer, uint32_t *length) {
    PCB *pcb = r.pcb;
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_RECEIVED_MESSAGE, pcb, kFetchTag, r.brokerID, r.partitionID, 2,
                   static_cast<long long>(r.part->i64Offset), static_cast<int>(record.valueLen));
    r.part->i64Offset += 1;
    r.buf->i64NextOffset = r.part->i64Offset;
    uint32_t capacity = *length;
    uint32_t copied = record.valueLen;
    if (copied > capacity) {
        bqx_log_vf(WRN_TRUNCATED, pcb, kFetchTag, r.brokerID, r.partitionID, 2,
                   static_cast<int>(record.valueLen), static_cast<int>(capacity));
        storeWarning(pcb, WRN_TRUNCATED, static_cast<int32_t>(record.valueLen),
                     static_cast<int32_t>(capacity));
        copied = capacity;
    }
    if (copied)
        memcpy(buffer, record.value, copied);
    buffer[copied] = '\0';
    *length = copied;
    consume_note_delivered(pcb, r.partitionID, &record);
    free(record.value);
    return 0;
}

// The reply holds no further record: fetch again from where the partition
// now stands, and commit what earlier calls have handed out.
void usedUp(FetchReading &r, const char *topic, uint32_t partitionIndex) {
    PCB *pcb = r.pcb;
    releaseBuffer(r.broker);
    refetch(pcb, topic, partitionIndex);
    if (pcb->u32UncommittedMsgs != 0) {
        (void)gpfnOffsetCommit(pcb);
        pcb->u32UncommittedMsgs = 0;
        pcb->u32CommitDue = 0;
    }
}

} // namespace

int32_t kafka_fetch_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                          uint32_t replyLen, uint32_t correlId) {
    if (!pcb || !pcb->pBrokerList || brokerIndex >= pcb->u32BrokerCount || !reply)
        return kafka_reply_malformed(pcb, kFetchTag, -1, "Fetch reply for an unknown broker");
    BrokerEntry *broker = &pcb->pBrokerList[brokerIndex];
    releaseBuffer(broker);
    int32_t owner = -1;
    int64_t fetchOffset = -1;
    if (broker->u32FetchCorrelID != 0 && broker->i32FetchPartitionIdx >= 0 &&
        static_cast<uint32_t>(broker->i32FetchPartitionIdx) < pcb->u32PartitionCount) {
        owner = broker->i32FetchPartitionIdx;
        fetchOffset = broker->i64FetchOffset;
    } else {
        // No Fetch on record: the entry of this broker that the reply names.
        FetchReplyHead head;
        bool readable = !fetch_read_head(reply, replyLen, &head) && head.bHasPartition;
        for (uint32_t i = 0; readable && i < pcb->u32PartitionCount; ++i)
            if (pcb->pPartitionList[i].i32BrokerIdx == static_cast<int32_t>(brokerIndex) &&
                pcb->pPartitionList[i].i32Partition == head.i32Partition) {
                owner = static_cast<int32_t>(i);
                fetchOffset = pcb->pPartitionList[i].i64Offset;
                break;
            }
    }
    int32_t partitionID = owner >= 0 ? pcb->pPartitionList[owner].i32Partition : -1;
    if (pcb->iDebugLevel >= 3)
        bqx_log_vf(INF_REPLY_FROM, pcb, kFetchTag, broker->i32BrokerID, partitionID, 4, "Received",
                   fetch_host_of(broker), broker->i32Port, static_cast<int>(correlId));
    if (owner < 0) {
        broker->u32FetchCorrelID = 0;
        return kafka_reply_malformed(pcb, kFetchTag, broker->i32BrokerID,
                                     "Fetch reply for no partition of the session");
    }
    auto *buf = static_cast<FetchReplyBuffer *>(malloc(sizeof(FetchReplyBuffer) + replyLen));
    if (!buf) {
        broker->u32FetchCorrelID = 0;
        bqx_log_vf(ERR_MEMORY, pcb, kFetchTag, broker->i32BrokerID, partitionID, 1,
                   "Fetch Reply Buffer");
        return ERR_MEMORY;
    }
    memset(buf, 0, sizeof *buf);
    buf->i32PartitionIdx = owner;
    buf->i64FetchOffset = fetchOffset;
    buf->u32Length = replyLen;
    memcpy(buf->abReply, reply, replyLen);
    broker->pReplyBuffer = buf;
    return 0;
}

int32_t kafka_process_fetchreply(PCB *pcb, uint32_t partitionIndex, uint32_t brokerIndex,
                                 char **key, uint32_t *keyLen, char **value,
                                 uint32_t *valueLen) {
    *key = *value = nullptr;
    *keyLen = *valueLen = 0;
    FetchReading r;
    if (!readingFor(pcb, partitionIndex, &r) ||
        r.part->i32BrokerIdx != static_cast<int32_t>(brokerIndex))
        return 0;
    FetchedRecord record{};
    FetchOutcome outcome = fetch_read_next(r, &record);
    if (outcome.step != FetchStep::kRecord)
        return outcome.code;
    *key = record.key;
    *keyLen = record.keyLen;
    *value = record.value;
    *valueLen = record.valueLen;
    return 0;
}

int32_t kafka_checkReplyBuffers_ex(PCB *pcb, const char *topic, char *buffer, uint32_t *length,
                                   uint32_t partitionIndex) {
    FetchReading r;
    if (!buffer || !length || waitingForGroup(pcb) || !readingFor(pcb, partitionIndex, &r))
        return -1;
    if (!r.part->u32Assigned) {
        releaseBuffer(r.broker);
        return -1;
    }
    int64_t expected = r.buf->u32ReadPos == 0 ? r.buf->i64FetchOffset : r.buf->i64NextOffset;
    if (r.part->i64Offset != expected) {
        // The position moved (a rejoin, a reset) since the Fetch was sent.
        if (pcb->iDebugLevel > 1)
            fetch_log_number(r, "Stale reply, fetch offset", expected);
        releaseBuffer(r.broker);
        refetch(pcb, topic, partitionIndex);
        return -1;
    }
    FetchedRecord record{};
    FetchOutcome outcome = fetch_read_next(r, &record);
    switch (outcome.step) {
    case FetchStep::kRecord:
        return handOut(r, record, buffer, length);
    case FetchStep::kKafkaError:
        releaseBuffer(r.broker);
        gpfnFetchPartitionError(pcb, partitionIndex, static_cast<int16_t>(outcome.code));
        return ERR_PRODUCE_REPLY;
    case FetchStep::kFailed:
        releaseBuffer(r.broker);
        refetch(pcb, topic, partitionIndex);
        return outcome.code;
    default:
        usedUp(r, topic, partitionIndex);
        return -1;
    }
}

int32_t kafka_checkReplyBuffers(PCB *pcb, const char *topic, char *buffer, uint32_t *length) {
    if (!pcb || !pcb->pPartitionList || pcb->u32PartitionCount == 0 || !pcb->pBrokerList ||
        waitingForGroup(pcb))
        return -1;
    releaseOrphans(pcb);
    uint32_t count = pcb->u32PartitionCount;
    uint32_t start = pcb->u32FetchListIdx < count ? pcb->u32FetchListIdx : 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t index = (start + i) % count;
        if (kafka_checkReplyBuffers_ex(pcb, topic, buffer, length, index) == 0) {
            pcb->u32FetchListIdx = index;
            return 0;
        }
    }
    return -1;
}

int32_t kafka_cleanupReceive(PCB *pcb, uint32_t partitionIndex) {
    if (!pcb || !pcb->pPartitionList || partitionIndex >= pcb->u32PartitionCount ||
        !pcb->pBrokerList)
        return -1;
    int32_t brokerIndex = pcb->pPartitionList[partitionIndex].i32BrokerIdx;
    if (brokerIndex < 0 || static_cast<uint32_t>(brokerIndex) >= pcb->u32BrokerCount)
        return -1;
    BrokerEntry *broker = &pcb->pBrokerList[brokerIndex];
    if (broker->i32Socket == -1)
        return -1;
    // Waits a bounded time for left-over data instead of blocking.
    struct pollfd ready = {broker->i32Socket, POLLIN, 0};
    if (poll(&ready, 1, kCleanupWaitMs) > 0) {
        uint8_t scratch[kCleanupBytes];
        (void)kafka_readAvailable(pcb, static_cast<uint32_t>(brokerIndex), scratch,
                                  sizeof scratch);
    }
    broker->u32FetchCorrelID = 0;
    if (pcb->iDebugLevel >= 5)
        bqx_log_vf(INF_SCRATCH, pcb, kFetchTag, broker->i32BrokerID,
                   pcb->pPartitionList[partitionIndex].i32Partition, 1, "");
    return 0;
}
