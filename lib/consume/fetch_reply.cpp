// Fetch replies (key 1, version 11). A reply is not decoded when it
// arrives: it is kept in its broker entry's queue, one buffer per partition
// it names, and handed out one record per call (the records are read by
// fetch_records.cpp). On arrival only the batch heads are looked at, so
// that the next Fetch asks for what follows them while this one is read.
// A buffer is delivered only from the position its Fetch asked for; one
// whose partition moved meanwhile (a rejoin, a reset, an earlier failure)
// is dropped and the partition fetched again from where it stands.
#include "consume/fetch_reply.h"

#include <stddef.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "api/pcb.h"
#include "consume/fetch_records.h"
#include "consume/record_batch.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

int32_t (*gpfnFetchSend)(PCB *, const char *, uint32_t) = kafka_fetch_send;
int32_t (*gpfnOffsetCommit)(PCB *) = kafka_offsetcommit;
void (*gpfnFetchPartitionError)(PCB *, uint32_t, int16_t) = kafka_fetch_partition_error;

namespace {

constexpr int32_t kCleanupWaitMs = 1000;
constexpr size_t kCleanupBytes = 4096;

const char *topicOf(PCB *pcb, const char *topic) {
    return topic ? topic : pcb->pszTopic ? pcb->pszTopic : "";
}

// Frees a buffer taken out of its queue: its inflated records, and the
// reply once no other part of it is kept.
void freeBuffer(FetchReplyBuffer *buf) {
    free(buf->pInflated);
    transport_reply_release(buf->pReply);
    free(buf);
}

// Takes the buffer out of the broker's queue and frees it.
void releaseBuffer(BrokerEntry *broker, FetchReplyBuffer *buf) {
    for (FetchReplyBuffer **link = &broker->pReplyBuffer; *link; link = &(*link)->pNext)
        if (*link == buf) {
            *link = buf->pNext;
            freeBuffer(buf);
            return;
        }
}

// The oldest buffer the broker keeps for the partition-list entry.
FetchReplyBuffer *bufferFor(const BrokerEntry *broker, uint32_t partitionIndex) {
    for (FetchReplyBuffer *buf = broker->pReplyBuffer; buf; buf = buf->pNext)
        if (buf->i32PartitionIdx == static_cast<int32_t>(partitionIndex))
            return buf;
    return nullptr;
}

void refetch(PCB *pcb, const char *topic, uint32_t partitionIndex) {
    if (pcb->pPartitionList[partitionIndex].u32Assigned)
        (void)gpfnFetchSend(pcb, topicOf(pcb, topic), partitionIndex);
}

// A heap copy of `length` bytes and a zero byte, for callers that keep a
// record beyond the reply.
char *copyBytes(const char *bytes, uint32_t length) {
    char *copy = static_cast<char *>(malloc(length + 1ull));
    if (copy) {
        if (length)
            memcpy(copy, bytes, length);
        copy[length] = '\0';
    }
    return copy;
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
    FetchReplyBuffer *buf = bufferFor(broker, partitionIndex);
    if (broker->i32Socket == -1 || !buf)
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
        FetchReplyBuffer *next = nullptr;
        for (FetchReplyBuffer *buf = pcb->pBrokerList[b].pReplyBuffer; buf; buf = next) {
            next = buf->pNext;
            int32_t owner = buf->i32PartitionIdx;
            if (owner < 0 || static_cast<uint32_t>(owner) >= pcb->u32PartitionCount ||
                pcb->pPartitionList[owner].i32BrokerIdx != static_cast<int32_t>(b))
                releaseBuffer(&pcb->pBrokerList[b], buf);
        }
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
    free(record.converted);
    return 0;
}

// The reply holds no further record: fetch again from where the partition
// now stands, and commit what earlier calls have handed out.
void usedUp(FetchReading &r, const char *topic, uint32_t partitionIndex) {
    PCB *pcb = r.pcb;
    releaseBuffer(r.broker, r.buf);
    refetch(pcb, topic, partitionIndex);
    if (pcb->u32UncommittedMsgs != 0) {
        (void)gpfnOffsetCommit(pcb);
        pcb->u32UncommittedMsgs = 0;
        pcb->u32CommitDue = 0;
    }
}

// The entry of the session's partition that the broker leads, -1 none.
int32_t partitionOf(const PCB *pcb, uint32_t brokerIndex, int32_t partition) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].i32BrokerIdx == static_cast<int32_t>(brokerIndex) &&
            pcb->pPartitionList[i].i32Partition == partition)
            return static_cast<int32_t>(i);
    return -1;
}

// Whether the Fetch answered by `correlId` named the entry.
bool requestedBy(const PCB *pcb, const BrokerEntry *broker, uint32_t index, uint32_t correlId) {
    const PartitionEntry &entry = pcb->pPartitionList[index];
    return (correlId != 0 && entry.u32RequestedCorrel == correlId) ||
           broker->i32FetchPartitionIdx == static_cast<int32_t>(index);
}

// The offset the Fetch answered by `correlId` asked for the entry.
int64_t requestedOffset(const PCB *pcb, const BrokerEntry *broker, uint32_t index,
                        uint32_t correlId) {
    const PartitionEntry &entry = pcb->pPartitionList[index];
    if (entry.u32RequestedCorrel != 0 && entry.u32RequestedCorrel == correlId)
        return entry.i64RequestedOffset;
    if (broker->i32FetchPartitionIdx == static_cast<int32_t>(index))
        return broker->i64FetchOffset;
    return entry.i64Offset;
}

// The part of a reply a kept buffer reads: the whole reply, and where its
// partition's section starts (0: the reply's first section) and ends.
struct ReplyPiece {
    const uint8_t *reply;
    uint32_t replyLen;
    uint32_t sectionPos;
    uint32_t sectionLen;
};

// Appends a buffer for the entry's part of the reply to the broker's
// queue. The buffer shares the reply (one more use of it).
int32_t keepBuffer(PCB *pcb, BrokerEntry *broker, uint32_t index, int64_t fetchOffset,
                   uint32_t expected, const ReplyPiece &piece) {
    auto *buf = static_cast<FetchReplyBuffer *>(calloc(1, sizeof(FetchReplyBuffer)));
    if (!buf) {
        bqx_log_vf(ERR_MEMORY, pcb, kFetchTag, broker->i32BrokerID,
                   pcb->pPartitionList[index].i32Partition, 1, "Fetch Reply Buffer");
        pcb->pPartitionList[index].u32HasFetchNext = 0;
        return ERR_MEMORY;
    }
    buf->i32PartitionIdx = static_cast<int32_t>(index);
    buf->i64FetchOffset = fetchOffset;
    buf->u32ExpectedCorrelID = expected;
    buf->pReply = piece.reply;
    buf->u32Length = piece.replyLen;
    buf->u32SectionPos = piece.sectionPos;
    buf->u32Bytes = piece.sectionPos ? piece.sectionLen : piece.replyLen;
    transport_reply_retain(piece.reply);
    FetchReplyBuffer **tail = &broker->pReplyBuffer;
    while (*tail)
        tail = &(*tail)->pNext;
    *tail = buf;
    return 0;
}

// The reply as a shared buffer: the one the transport is dispatching, kept
// as it is, or else (a caller with a buffer of its own) a copy of it.
// The caller releases it once its parts are kept.
const uint8_t *sharedReply(PCB *pcb, const uint8_t *reply, uint32_t replyLen) {
    if (reply == pcb->pDispatchedReply) {
        transport_reply_retain(reply);
        return reply;
    }
    uint8_t *copy = transport_reply_alloc(replyLen);
    if (copy)
        memcpy(copy, reply, replyLen);
    return copy;
}

// Where the partition's next Fetch continues once this section is kept:
// behind its last complete batch, when the Fetch that brought it still
// ends the partition's chain of requests. A section with an error or a
// broken chain leaves the next Fetch at the partition's position.
void noteSection(PCB *pcb, uint32_t index, int64_t fetchOffset, const uint8_t *reply,
                 const FetchReplyHead &head, bool error) {
    PartitionEntry &entry = pcb->pPartitionList[index];
    entry.u32RequestedCorrel = 0;
    if (error || !entry.u32HasFetchNext || entry.i64FetchNext != fetchOffset) {
        entry.u32HasFetchNext = 0;
        return;
    }
    int64_t next = -1;
    bool data = fetch_records_next_offset(reply, head.u32RecordsPos, head.u32RecordsEnd, &next);
    entry.u32Drained = !data;
    if (data && next > fetchOffset)
        entry.i64FetchNext = next;
}

// A reply that could not be kept: every partition is fetched again from
// its position.
int32_t notKept(PCB *pcb, BrokerEntry *broker) {
    bqx_log_vf(ERR_MEMORY, pcb, kFetchTag, broker->i32BrokerID, -1, 1, "Fetch Reply Buffer");
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i)
        pcb->pPartitionList[i].u32HasFetchNext = 0;
    return ERR_MEMORY;
}

// A reply naming several partitions is kept as one buffer per partition,
// each reading its own section of the shared reply, so that each is read,
// dropped and released on its own.
int32_t splitReply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply, uint32_t replyLen,
                   const FetchReplyHead &head, uint32_t correlId, uint32_t expected) {
    BrokerEntry *broker = &pcb->pBrokerList[brokerIndex];
    constexpr uint32_t kFixedHead = 28; // size .. topic name length, partition count
    uint32_t first = kFixedHead + head.u32TopicLen;
    int32_t rc = 0;
    // Twice through the sections: a reply with a damaged one is refused
    // whole, before anything of it is kept.
    for (int pass = 0; pass < 2 && rc == 0; ++pass) {
        uint32_t position = first;
        for (int32_t k = 0; k < head.i32PartitionCount && rc == 0; ++k) {
            FetchReplyHead part = head;
            if (const char *problem = fetch_read_partition(reply, replyLen, position, &part)) {
                rc = kafka_reply_malformed(pcb, kFetchTag, broker->i32BrokerID, problem);
                break;
            }
            int32_t owner = partitionOf(pcb, brokerIndex, part.i32Partition);
            if (owner >= 0 && !requestedBy(pcb, broker, static_cast<uint32_t>(owner), correlId))
                owner = -1; // a section not asked for is not kept
            if (pass == 1 && owner >= 0) {
                uint32_t index = static_cast<uint32_t>(owner);
                int64_t fetchOffset = requestedOffset(pcb, broker, index, correlId);
                rc = keepBuffer(pcb, broker, index, fetchOffset, expected,
                                {reply, replyLen, position, part.u32RecordsEnd - position});
                if (rc == 0)
                    noteSection(pcb, index, fetchOffset, reply, part, part.i16PartErrorCode != 0);
            }
            position = part.u32RecordsEnd;
        }
    }
    return rc;
}

} // namespace

void kafka_fetch_drop_replies(BrokerEntry *broker) {
    while (FetchReplyBuffer *buf = broker->pReplyBuffer) {
        broker->pReplyBuffer = buf->pNext;
        freeBuffer(buf);
    }
}

int32_t kafka_fetch_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                          uint32_t replyLen, uint32_t correlId) {
    if (!pcb || !pcb->pBrokerList || brokerIndex >= pcb->u32BrokerCount || !reply)
        return kafka_reply_malformed(pcb, kFetchTag, -1, "Fetch reply for an unknown broker");
    BrokerEntry *broker = &pcb->pBrokerList[brokerIndex];
    uint32_t expected = broker->u32FetchCorrelID;
    broker->u32FetchCorrelID = 0; // answered: the next Fetch may go out
    FetchReplyHead head;
    bool readable = !fetch_read_head(reply, replyLen, &head);
    if (pcb->iDebugLevel >= 3)
        bqx_log_vf(INF_REPLY_FROM, pcb, kFetchTag, broker->i32BrokerID, -1, 4, "Received",
                   fetch_host_of(broker), broker->i32Port, static_cast<int>(correlId));
    if (readable && head.i16ErrorCode == 0 && head.i32ResponseCount == 1 &&
        head.i32PartitionCount > 1) {
        const uint8_t *shared = sharedReply(pcb, reply, replyLen);
        if (!shared)
            return notKept(pcb, broker);
        int32_t rc = splitReply(pcb, brokerIndex, shared, replyLen, head, correlId, expected);
        transport_reply_release(shared);
        return rc;
    }
    // The partition the reply names; else (an error for the whole reply)
    // the first one the Fetch on record named.
    int32_t owner =
        readable && head.bHasPartition ? partitionOf(pcb, brokerIndex, head.i32Partition) : -1;
    if (owner >= 0 && !requestedBy(pcb, broker, static_cast<uint32_t>(owner), correlId))
        owner = -1; // not asked for: read as the first one asked for, which fails
    if (owner < 0 && expected != 0 && broker->i32FetchPartitionIdx >= 0 &&
        static_cast<uint32_t>(broker->i32FetchPartitionIdx) < pcb->u32PartitionCount)
        owner = broker->i32FetchPartitionIdx;
    if (owner < 0)
        return kafka_reply_malformed(pcb, kFetchTag, broker->i32BrokerID,
                                     "Fetch reply for no partition of the session");
    int64_t fetchOffset = requestedOffset(pcb, broker, static_cast<uint32_t>(owner), correlId);
    const uint8_t *shared = sharedReply(pcb, reply, replyLen);
    if (!shared)
        return notKept(pcb, broker);
    int32_t rc = keepBuffer(pcb, broker, static_cast<uint32_t>(owner), fetchOffset, expected,
                            {shared, replyLen, 0, replyLen});
    transport_reply_release(shared);
    if (rc == 0) {
        bool error = !readable || head.i16ErrorCode != 0 || !head.bHasPartition ||
                     head.i16PartErrorCode != 0;
        noteSection(pcb, static_cast<uint32_t>(owner), fetchOffset, reply, head, error);
    }
    return rc;
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
    *key = copyBytes(record.key, record.keyLen);
    *keyLen = record.keyLen;
    *value = record.converted ? record.converted : copyBytes(record.value, record.valueLen);
    *valueLen = record.valueLen;
    if (*key && *value)
        return 0;
    free(*key);
    free(*value);
    *key = *value = nullptr;
    *keyLen = *valueLen = 0;
    return ERR_MEMORY;
}

namespace {

// One step through the partition's oldest buffer: a record handed out (0),
// an error, or -1 when the buffer ended or was dropped (`next`: the
// partition's following buffer may go on at once).
int32_t readOldest(FetchReading &r, const char *topic, char *buffer, uint32_t *length,
                   uint32_t partitionIndex, bool *next) {
    PCB *pcb = r.pcb;
    *next = false;
    if (!r.part->u32Assigned) {
        releaseBuffer(r.broker, r.buf);
        r.part->u32HasFetchNext = 0;
        return -1;
    }
    int64_t expected = fetch_head_read(r.buf) ? r.buf->i64NextOffset : r.buf->i64FetchOffset;
    if (r.part->i64Offset != expected) {
        // The position moved (a rejoin, a reset, a failed earlier reply)
        // since the Fetch was sent.
        if (pcb->iDebugLevel > 1)
            fetch_log_number(r, "Stale reply, fetch offset", expected);
        releaseBuffer(r.broker, r.buf);
        r.part->u32HasFetchNext = 0;
        refetch(pcb, topic, partitionIndex);
        *next = true;
        return -1;
    }
    FetchedRecord record{};
    FetchOutcome outcome = fetch_read_next(r, &record);
    switch (outcome.step) {
    case FetchStep::kRecord:
        return handOut(r, record, buffer, length);
    case FetchStep::kKafkaError:
        releaseBuffer(r.broker, r.buf);
        gpfnFetchPartitionError(pcb, partitionIndex, static_cast<int16_t>(outcome.code));
        return ERR_PRODUCE_REPLY;
    case FetchStep::kFailed:
        releaseBuffer(r.broker, r.buf);
        r.part->u32HasFetchNext = 0;
        refetch(pcb, topic, partitionIndex);
        return outcome.code;
    default:
        usedUp(r, topic, partitionIndex);
        *next = true;
        return -1;
    }
}

} // namespace

int32_t kafka_checkReplyBuffers_ex(PCB *pcb, const char *topic, char *buffer, uint32_t *length,
                                   uint32_t partitionIndex) {
    FetchReading r;
    bool next = true;
    int32_t rc = -1;
    while (next && buffer && length && !waitingForGroup(pcb) && readingFor(pcb, partitionIndex, &r))
        rc = readOldest(r, topic, buffer, length, partitionIndex, &next);
    return rc;
}

int32_t kafka_checkReplyBuffers(PCB *pcb, const char *topic, char *buffer, uint32_t *length) {
    if (!pcb || !pcb->pPartitionList || pcb->u32PartitionCount == 0 || !pcb->pBrokerList ||
        waitingForGroup(pcb))
        return -1;
    // Orphans come only with new Metadata, which a full round of the
    // consume loop takes in: looked for there, not for every record.
    if (pcb->u32BufferedReads == 0)
        releaseOrphans(pcb);
    uint32_t start = pcb->u32FetchListIdx < pcb->u32BrokerCount ? pcb->u32FetchListIdx : 0;
    for (uint32_t i = 0; i < pcb->u32BrokerCount; ++i) {
        uint32_t b = (start + i) % pcb->u32BrokerCount;
        // A broker's oldest buffer is the oldest of its partition: the
        // buffers are read in the order they arrived, each at once.
        for (;;) {
            if (b >= pcb->u32BrokerCount) // the table changed under a commit
                return -1;
            FetchReplyBuffer *head = pcb->pBrokerList[b].pReplyBuffer;
            if (!head || head->i32PartitionIdx < 0)
                break;
            if (kafka_checkReplyBuffers_ex(pcb, topic, buffer, length,
                                           static_cast<uint32_t>(head->i32PartitionIdx)) == 0) {
                pcb->u32FetchListIdx = b;
                return 0;
            }
            if (pcb->pBrokerList && b < pcb->u32BrokerCount &&
                pcb->pBrokerList[b].pReplyBuffer == head)
                break; // not readable here: its partition moved or the connection is gone
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
