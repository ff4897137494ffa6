// Fetch replies (key 1, version 11). A reply is not decoded when it
// arrives: it is kept in its broker entry for the partition its Fetch was
// sent for, and handed out one record per call. Each record batch is
// checked (CRC-32C) once when it is reached; control batches, batches of
// aborted transactions and records below the partition's offset are
// stepped over. When a reply is used up, or fails, it is released and the
// partition is fetched again from its current offset.
#include "consume/fetch_reply.h"

#include <errno.h>
#include <stddef.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "codec/conv.h"
#include "codec/inflate.h"
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

constexpr const char *kTag = "FetchRy";
constexpr int32_t kCleanupWaitMs = 1000;
constexpr size_t kCleanupBytes = 4096;

// What reading the buffered reply came to.
enum class Step {
    kContinue,   // go on reading (internal)
    kRecord,     // a record is handed out
    kUsedUp,     // no further record in the reply
    kKafkaError, // the reply or partition carries a Kafka error (code)
    kFailed,     // logged error (code: its message number)
};

struct Outcome {
    Step step;
    int32_t code;
};

// A record handed out: key and value as heap buffers, NUL-terminated.
struct Delivered {
    char *key;
    uint32_t keyLen;
    char *value;
    uint32_t valueLen;
};

// One read of a buffered reply on behalf of a partition-list entry.
struct Reading {
    PCB *pcb;
    PartitionEntry *part;
    BrokerEntry *broker;
    FetchReplyBuffer *buf;
    int32_t brokerID;    // log columns
    int32_t partitionID;
    bool skipped;        // a batch or record was stepped over in this call
};

const char *hostOf(const BrokerEntry *broker) { return broker->pszHost ? broker->pszHost : ""; }

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

// Moves the partition's offset forward to `next`, never back.
void advancePast(PartitionEntry *part, int64_t next) {
    if (part->i64Offset == -1 || next > part->i64Offset)
        part->i64Offset = next;
}

Outcome failed(const Reading &r, uint32_t msgNum, const char *what) {
    bqx_log_vf(msgNum, r.pcb, kTag, r.brokerID, r.partitionID, 1, what);
    return {Step::kFailed, static_cast<int32_t>(msgNum)};
}

// A warning that BQXGERR reports: bqx_log_vf stores only errors.
void storeWarning(PCB *pcb, uint32_t msgNum, int32_t first, int32_t second) {
    pcb->i32LastError = static_cast<int32_t>(msgNum);
    snprintf(pcb->szLastError, sizeof pcb->szLastError, aszBqxWrnMsgs[msgNum - WRN_TRUNCATED],
             first, second);
}

void logText(const Reading &r, const char *label, const char *text) {
    bqx_log_vf(INF_FIELD_TEXT, r.pcb, kTag, r.brokerID, r.partitionID, 2, label, text);
}

void logNumber(const Reading &r, const char *label, int64_t value) {
    bqx_log_vf(INF_FIELD_NUMBER, r.pcb, kTag, r.brokerID, r.partitionID, 2, label,
               static_cast<long long>(value));
}

void logHead(const Reading &r, const FetchReplyHead &head) {
    logText(r, "Reply from Kafka Server", "");
    logNumber(r, "ReplyLength", head.i32Size);
    logNumber(r, "CorrelationID", head.i32CorrelID);
    logNumber(r, "Reply Error", head.i16ErrorCode);
    if (head.i16ErrorCode != 0)
        logText(r, "Reply Error Message", getErrorText(head.i16ErrorCode));
    logNumber(r, "ulPartition", head.i32Partition);
    logNumber(r, "ResponseCount", head.i32ResponseCount);
    logNumber(r, "usPartErrorCode", head.i16PartErrorCode);
    logNumber(r, "ullHighWaterMark", head.i64HighWatermark);
    logNumber(r, "ullLastStableOffs", head.i64LastStableOffset);
    logNumber(r, "Bytes Following", head.i32RecordsSize);
    char topic[65] = "";
    uint32_t n = head.u32TopicLen < 64 ? head.u32TopicLen : 64;
    if (head.pTopic)
        memcpy(topic, head.pTopic, n);
    topic[n] = '\0';
    logText(r, "Topic", topic);
}

void warnCutOff(const Reading &r, const RecordBatchHead &batch) {
    bqx_log_vf(WRN_INCOMPLETE, r.pcb, kTag, r.brokerID, r.partitionID, 5,
               static_cast<int>(r.buf->u32ReplyCorrelID),
               static_cast<long long>(batch.i64BaseOffset),
               static_cast<int>(batch.u32Start + kBatchLogOverhead), batch.i32BatchLength,
               static_cast<int>(r.buf->u32ReplySize + 4));
}

// Every batch's offset and the key and value of its first record, without
// moving the reading position.
void dumpBatches(const Reading &r) {
    const FetchReplyBuffer *buf = r.buf;
    for (uint32_t pos = buf->u32ReadPos;;) {
        RecordBatchHead batch;
        const char *problem = nullptr;
        BatchStatus status = record_batch_read(buf->abReply, pos, buf->u32RecordsEnd, &batch,
                                               &problem);
        if (status == BatchStatus::kCutOff)
            warnCutOff(r, batch);
        if (status != BatchStatus::kOk)
            return;
        logNumber(r, "Message offs", batch.i64BaseOffset);
        RecordView record;
        if (batch.i32RecordCount > 0 && (batch.i16Attributes & kBatchCodecMask) == 0 &&
            !record_read(buf->abReply, batch.u32RecordsPos, batch.u32End, &record)) {
            hexdump(r.pcb, kTag, r.brokerID, r.partitionID, "Key", record.pKey,
                    record.pKey ? record.i32KeyLen : 0);
            hexdump(r.pcb, kTag, r.brokerID, r.partitionID, "Value/Message", record.pValue,
                    record.pValue ? record.i32ValueLen : 0);
        }
        pos = batch.u32End;
    }
}

Outcome kafkaError(const Reading &r, const FetchReplyHead &head, int16_t code) {
    bqx_log_vf(ERR_PRODUCE_REPLY, r.pcb, kTag, r.brokerID, r.partitionID, 5, head.i32CorrelID,
               head.i32Partition, head.i32ResponseCount, static_cast<int>(code),
               getErrorText(code));
    return {Step::kKafkaError, code};
}

// Reads the reply up to its records: correlation id, errors, the partition
// it is for, and where the records and the aborted transactions are.
Outcome readHead(Reading &r) {
    FetchReplyBuffer *buf = r.buf;
    FetchReplyHead head;
    const char *problem = fetch_read_head(buf->abReply, buf->u32Length, &head);
    if (buf->u32Length < 8)
        return failed(r, ERR_PROTOCOL, problem);
    buf->u32ReplySize = static_cast<uint32_t>(head.i32Size);
    buf->u32ReplyCorrelID = static_cast<uint32_t>(head.i32CorrelID);
    if (r.pcb->iDebugLevel > 2)
        bqx_log_vf(INF_REPLY_FROM, r.pcb, kTag, r.brokerID, r.partitionID, 4, "Processing",
                   hostOf(r.broker), r.broker->i32Port, head.i32CorrelID);
    uint32_t expected = r.broker->u32FetchCorrelID;
    if (expected != 0 && expected != buf->u32ReplyCorrelID) {
        bqx_log_vf(ERR_WRONG_CORRELID, r.pcb, kTag, r.brokerID, r.partitionID, 4,
                   hostOf(r.broker), r.broker->i32Port, static_cast<int>(expected),
                   head.i32CorrelID);
        return {Step::kFailed, ERR_WRONG_CORRELID};
    }
    r.broker->u32FetchCorrelID = 0;
    if (problem)
        return failed(r, ERR_PROTOCOL, problem);
    if (r.pcb->iDebugLevel > 3)
        logHead(r, head);
    if (head.i16ErrorCode != 0)
        return kafkaError(r, head, head.i16ErrorCode);
    if (head.bHasPartition && head.i16PartErrorCode != 0)
        return kafkaError(r, head, head.i16PartErrorCode);
    if (head.bHasPartition && head.i32Partition != r.part->i32Partition)
        return failed(r, ERR_PROTOCOL, "Fetch reply for another partition");
    buf->u32ReadPos = head.u32RecordsPos;
    buf->u32RecordsEnd = head.u32RecordsEnd;
    buf->u32AbortedPos = head.u32AbortedPos;
    buf->u32AbortedCount = head.u32AbortedCount;
    buf->u32BatchEnd = 0;
    if (r.pcb->iDebugLevel > 5)
        dumpBatches(r);
    return {Step::kContinue, 0};
}

char *copyBytes(const uint8_t *bytes, uint32_t length) {
    char *copy = static_cast<char *>(malloc(length + 1ull));
    if (copy) {
        if (length)
            memcpy(copy, bytes, length);
        copy[length] = '\0';
    }
    return copy;
}

// The value in the local code page. A value that grows is measured and
// given the room it needs; a value that cannot be converted is handed out
// as received (iconv_convert has logged why).
char *convertValue(PCB *pcb, const uint8_t *bytes, uint32_t length, uint32_t *converted) {
    const char *input = reinterpret_cast<const char *>(bytes);
    uint64_t capacity = 2ull * length;
    char *out = static_cast<char *>(malloc(capacity + 1));
    if (!out)
        return nullptr;
    uint32_t produced = 0;
    int error = conv_quiet(pcb, kFromUtf8, input, length, out, static_cast<uint32_t>(capacity),
                           &produced);
    if (error == E2BIG) {
        uint64_t needed = conv_measure(pcb, kFromUtf8, input, length);
        char *larger = needed < UINT32_MAX ? static_cast<char *>(realloc(out, needed + 1)) : nullptr;
        if (!larger) {
            free(out);
            return nullptr;
        }
        out = larger;
        capacity = needed;
        error = conv_quiet(pcb, kFromUtf8, input, length, out, static_cast<uint32_t>(capacity),
                           &produced);
    }
    if (error != 0) {
        produced = static_cast<uint32_t>(capacity);
        uint32_t convertError = 0;
        if (iconv_convert(pcb, input, length, out, &produced, &convertError, kFromUtf8) != 0) {
            memcpy(out, input, length); // capacity is at least the length
            produced = length;
        }
    }
    out[produced] = '\0';
    *converted = produced;
    return out;
}

// Takes the record as the next message of the partition. The key is kept
// as received: it is not handed to the caller, so it is never converted.
Outcome deliver(Reading &r, const RecordView &record, int64_t offset, Delivered *out) {
    if (r.pcb->iDebugLevel >= 2 && r.pcb->iDebugLevel <= 4)
        logNumber(r, "Message offs", offset);
    r.part->i64Offset = offset;
    uint32_t keyLen = record.pKey ? static_cast<uint32_t>(record.i32KeyLen) : 0;
    uint32_t valueLen = record.pValue ? static_cast<uint32_t>(record.i32ValueLen) : 0;
    out->key = copyBytes(record.pKey, keyLen);
    out->keyLen = keyLen;
    if (r.pcb->u32Convert && valueLen > 0) {
        out->value = convertValue(r.pcb, record.pValue, valueLen, &out->valueLen);
    } else {
        out->value = copyBytes(record.pValue, valueLen);
        out->valueLen = valueLen;
    }
    if (out->key && out->value)
        return {Step::kRecord, 0};
    free(out->key);
    free(out->value);
    *out = Delivered{};
    return failed(r, ERR_MEMORY, "Fetched Record");
}

// The next record of the batch being handed out at or above the
// partition's offset; kContinue when the batch has no further record.
Outcome nextInBatch(Reading &r, Delivered *out) {
    FetchReplyBuffer *buf = r.buf;
    while (buf->u32RecordsLeft > 0) {
        RecordView record;
        if (const char *problem = record_read(buf->abReply, buf->u32ReadPos, buf->u32BatchEnd,
                                              &record))
            return failed(r, ERR_PROTOCOL, problem);
        if (record.i32OffsetDelta > buf->i64BatchLastOffset - buf->i64BatchBaseOffset)
            return failed(r, ERR_PROTOCOL, "record offset beyond its batch");
        buf->u32ReadPos = record.u32End;
        buf->u32RecordsLeft--;
        int64_t offset = buf->i64BatchBaseOffset + record.i32OffsetDelta;
        if (r.part->i64Offset == -1 || offset >= r.part->i64Offset)
            return deliver(r, record, offset, out);
        r.skipped = true;
        if (r.pcb->iDebugLevel > 1)
            bqx_log_vf(INF_SKIPPING, r.pcb, kTag, r.brokerID, r.partitionID, 4, r.partitionID,
                       static_cast<unsigned long long>(offset),
                       record.pKey ? record.i32KeyLen : 0, record.pValue ? record.i32ValueLen : 0);
    }
    if (buf->u32ReadPos != buf->u32BatchEnd)
        return failed(r, ERR_PROTOCOL, "record count disagrees with the batch length");
    if (buf->u32ResumePos != 0) { // back from the inflated records to the reply
        buf->u32ReadPos = buf->u32ResumePos;
        buf->u32ResumePos = 0;
    }
    // Records removed by compaction may leave the batch's last offsets empty.
    advancePast(r.part, buf->i64BatchLastOffset + 1);
    buf->u32BatchEnd = 0;
    return {Step::kContinue, 0};
}

bool isAbortMarker(const Reading &r, const RecordBatchHead &batch) {
    RecordView record;
    return batch.i32RecordCount > 0 &&
           !record_read(r.buf->abReply, batch.u32RecordsPos, batch.u32End, &record) &&
           control_record_type(record) == 0;
}

// Starts handing out a batch's records from `position` to `end`.
void startRecords(FetchReplyBuffer *buf, const RecordBatchHead &batch, uint32_t position,
                  uint32_t end) {
    buf->u32BatchEnd = end;
    buf->u32ReadPos = position;
    buf->u32RecordsLeft = static_cast<uint32_t>(batch.i32RecordCount);
    buf->i64BatchBaseOffset = batch.i64BaseOffset;
    buf->i64BatchLastOffset = record_batch_last_offset(batch);
}

// Inflates a compressed batch's records behind the reply, into the reply's
// own buffer (one allocation, so whatever frees the buffer frees them too,
// and no second buffer or copy), and hands them out from there like those
// of any batch. A batch that cannot be inflated is logged and stepped over
// (false); a buffer that cannot grow fails the reply, which is fetched
// again.
bool enterCompressed(Reading &r, const RecordBatchHead &batch, Outcome *outcome) {
    constexpr size_t kReplyAt = offsetof(FetchReplyBuffer, abReply);
    uint8_t *block = reinterpret_cast<uint8_t *>(r.buf);
    uint32_t length = 0;
    InflateStatus status = inflate_records_behind(
        batch.i16Attributes & kBatchCodecMask, &block, kReplyAt + r.buf->u32Length,
        kReplyAt + batch.u32RecordsPos, batch.u32End - batch.u32RecordsPos, kMaxInflatedBytes,
        &length);
    FetchReplyBuffer *buf = reinterpret_cast<FetchReplyBuffer *>(block);
    r.buf = r.broker->pReplyBuffer = buf; // grown, perhaps moved, whatever the outcome
    if (status == InflateStatus::kNoMemory) {
        *outcome = failed(r, ERR_MEMORY, "Inflated Records");
        return true;
    }
    if (status != InflateStatus::kOk) {
        char what[96];
        snprintf(what, sizeof what, "compressed batch (%s) %s",
                 record_batch_codec_name(batch.i16Attributes), inflate_status_text(status));
        failed(r, ERR_PROTOCOL, what);
        return false;
    }
    buf->u32ResumePos = batch.u32End;
    startRecords(buf, batch, buf->u32Length, buf->u32Length + length);
    return true;
}

// Decides what becomes of a batch whose CRC matched: its records are
// handed out, or it is stepped over and the offset moves past it.
Outcome enterBatch(Reading &r, const RecordBatchHead &batch) {
    FetchReplyBuffer *buf = r.buf;
    int64_t last = record_batch_last_offset(batch);
    bool transactional = (batch.i16Attributes & kBatchTransactional) != 0;
    buf->u32ReadPos = batch.u32End;
    if (batch.i16Attributes & kBatchControl) {
        if (transactional && isAbortMarker(r, batch))
            aborted_txn_close(buf->abReply, buf->u32AbortedPos, buf->u32AbortedCount,
                              batch.i64ProducerID, last);
    } else if (transactional && aborted_txn_open(buf->abReply, buf->u32AbortedPos,
                                                 buf->u32AbortedCount, batch.i64ProducerID,
                                                 last)) {
        // records of an aborted transaction are never delivered
    } else if (batch.i32RecordCount <= 0) {
        // nothing to hand out
    } else if (batch.i16Attributes & kBatchCodecMask) {
        Outcome outcome{Step::kContinue, 0};
        bool below = r.part->i64Offset != -1 && last < r.part->i64Offset;
        if (!below && enterCompressed(r, batch, &outcome))
            return outcome;
    } else {
        startRecords(buf, batch, batch.u32RecordsPos, batch.u32End);
        return {Step::kContinue, 0};
    }
    r.skipped = true;
    advancePast(r.part, last + 1);
    return {Step::kContinue, 0};
}

// An older record format: its offset field is that of its last message.
void skipOldFormat(Reading &r, const RecordBatchHead &batch) {
    if (r.part->i64Offset == -1 || batch.i64BaseOffset >= r.part->i64Offset) {
        char what[64];
        snprintf(what, sizeof what, "record batch magic %d is not supported", batch.i8Magic);
        failed(r, ERR_PROTOCOL, what);
        advancePast(r.part, batch.i64BaseOffset + 1);
    }
    r.skipped = true;
    r.buf->u32ReadPos = batch.u32End;
}

Outcome nextRecord(Reading &r, Delivered *out) {
    for (;;) {
        FetchReplyBuffer *buf = r.buf; // a compressed batch may move it
        if (buf->u32BatchEnd != 0) {
            Outcome outcome = nextInBatch(r, out);
            if (outcome.step != Step::kContinue)
                return outcome;
            continue;
        }
        RecordBatchHead batch;
        const char *problem = nullptr;
        switch (record_batch_read(buf->abReply, buf->u32ReadPos, buf->u32RecordsEnd, &batch,
                                  &problem)) {
        case BatchStatus::kEnd:
            return {Step::kUsedUp, 0};
        case BatchStatus::kCutOff:
            if (r.pcb->iDebugLevel >= 2 && r.pcb->iDebugLevel <= 4 && !r.skipped)
                warnCutOff(r, batch);
            return {Step::kUsedUp, 0};
        case BatchStatus::kMalformed:
            return failed(r, ERR_PROTOCOL, problem);
        case BatchStatus::kBadCrc:
            bqx_log_vf(ERR_CRC, r.pcb, kTag, r.brokerID, r.partitionID, 2, hostOf(r.broker),
                       r.broker->i32Port);
            return {Step::kFailed, ERR_CRC};
        case BatchStatus::kOldMagic:
            skipOldFormat(r, batch);
            break;
        case BatchStatus::kOk: {
            Outcome outcome = enterBatch(r, batch);
            if (outcome.step != Step::kContinue)
                return outcome;
            break;
        }
        }
    }
}

// Reads the reply up to the next record to hand out.
Outcome readNext(Reading &r, Delivered *out) {
    int64_t started = r.pcb->iDebugLevel != 0 ? getTimeStamp() : 0;
    Outcome outcome{Step::kContinue, 0};
    if (r.buf->u32ReadPos == 0)
        outcome = readHead(r);
    else if (r.pcb->iDebugLevel > 2)
        bqx_log_vf(INF_REPLY_FROM, r.pcb, kTag, r.brokerID, r.partitionID, 4, "Processing",
                   hostOf(r.broker), r.broker->i32Port,
                   static_cast<int>(r.buf->u32ReplyCorrelID));
    if (outcome.step == Step::kContinue)
        outcome = nextRecord(r, out);
    if (r.pcb->iDebugLevel != 0)
        r.pcb->ullUnmarshallTime += static_cast<uint64_t>(getTimeStamp() - started);
    return outcome;
}

// The partition-list entry, its broker and the reply buffered for it;
// false when the broker holds no reply of this entry.
bool readingFor(PCB *pcb, uint32_t partitionIndex, Reading *r) {
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

int32_t handOut(Reading &r, Delivered &record, char *buffer, uint32_t *length) {
    PCB *pcb = r.pcb;
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_RECEIVED_MESSAGE, pcb, kTag, r.brokerID, r.partitionID, 2,
                   static_cast<long long>(r.part->i64Offset), static_cast<int>(record.valueLen));
    r.part->i64Offset += 1;
    r.buf->i64NextOffset = r.part->i64Offset;
    uint32_t capacity = *length;
    uint32_t copied = record.valueLen;
    if (copied > capacity) {
        bqx_log_vf(WRN_TRUNCATED, pcb, kTag, r.brokerID, r.partitionID, 2,
                   static_cast<int>(record.valueLen), static_cast<int>(capacity));
        storeWarning(pcb, WRN_TRUNCATED, static_cast<int32_t>(record.valueLen),
                     static_cast<int32_t>(capacity));
        copied = capacity;
    }
    if (copied)
        memcpy(buffer, record.value, copied);
    buffer[copied] = '\0';
    *length = copied;
    free(record.key);
    free(record.value);
    return 0;
}

// The reply holds no further record: fetch again from where the partition
// now stands, and commit what earlier calls have handed out.
void usedUp(Reading &r, const char *topic, uint32_t partitionIndex) {
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
        return kafka_reply_malformed(pcb, kTag, -1, "Fetch reply for an unknown broker");
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
        bqx_log_vf(INF_REPLY_FROM, pcb, kTag, broker->i32BrokerID, partitionID, 4, "Received",
                   hostOf(broker), broker->i32Port, static_cast<int>(correlId));
    if (owner < 0) {
        broker->u32FetchCorrelID = 0;
        return kafka_reply_malformed(pcb, kTag, broker->i32BrokerID,
                                     "Fetch reply for no partition of the session");
    }
    auto *buf = static_cast<FetchReplyBuffer *>(malloc(sizeof(FetchReplyBuffer) + replyLen));
    if (!buf) {
        broker->u32FetchCorrelID = 0;
        bqx_log_vf(ERR_MEMORY, pcb, kTag, broker->i32BrokerID, partitionID, 1,
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
    Reading r;
    if (!readingFor(pcb, partitionIndex, &r) ||
        r.part->i32BrokerIdx != static_cast<int32_t>(brokerIndex))
        return 0;
    Delivered record{};
    Outcome outcome = readNext(r, &record);
    if (outcome.step != Step::kRecord)
        return outcome.code;
    *key = record.key;
    *keyLen = record.keyLen;
    *value = record.value;
    *valueLen = record.valueLen;
    return 0;
}

int32_t kafka_checkReplyBuffers_ex(PCB *pcb, const char *topic, char *buffer, uint32_t *length,
                                   uint32_t partitionIndex) {
    Reading r;
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
            logNumber(r, "Stale reply, fetch offset", expected);
        releaseBuffer(r.broker);
        refetch(pcb, topic, partitionIndex);
        return -1;
    }
    Delivered record{};
    Outcome outcome = readNext(r, &record);
    switch (outcome.step) {
    case Step::kRecord:
        return handOut(r, record, buffer, length);
    case Step::kKafkaError:
        releaseBuffer(r.broker);
        gpfnFetchPartitionError(pcb, partitionIndex, static_cast<int16_t>(outcome.code));
        return ERR_PRODUCE_REPLY;
    case Step::kFailed:
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
        bqx_log_vf(INF_SCRATCH, pcb, kTag, broker->i32BrokerID,
                   pcb->pPartitionList[partitionIndex].i32Partition, 1, "");
    return 0;
}
