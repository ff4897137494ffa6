// Record by record through a buffered Fetch reply (key 1, version 11):
// the reply's head, the batches with their CRC, compression, control
// batches and aborted transactions, and the records at or above the
// partition's offset.
#include "consume/fetch_records.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "codec/codec.h"
#include "codec/conv.h"
#include "codec/inflate.h"
#include "consume/record_batch.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol_internal.h"

namespace {

constexpr int16_t kLogAppendTime = 0x08; // batch attribute: timestamps set by the broker

// Moves the partition's offset forward to `next`, never back.
void advancePast(PartitionEntry *part, int64_t next) {
    if (part->i64Offset == -1 || next > part->i64Offset)
        part->i64Offset = next;
}

FetchOutcome failed(const FetchReading &r, uint32_t msgNum, const char *what) {
    bqx_log_vf(msgNum, r.pcb, kFetchTag, r.brokerID, r.partitionID, 1, what);
    return {FetchStep::kFailed, static_cast<int32_t>(msgNum)};
}

void logText(const FetchReading &r, const char *label, const char *text) {
    bqx_log_vf(INF_FIELD_TEXT, r.pcb, kFetchTag, r.brokerID, r.partitionID, 2, label, text);
}

void logNumber(const FetchReading &r, const char *label, int64_t value) {
    bqx_log_vf(INF_FIELD_NUMBER, r.pcb, kFetchTag, r.brokerID, r.partitionID, 2, label,
               static_cast<long long>(value));
}

void logHead(const FetchReading &r, const FetchReplyHead &head) {
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

void warnCutOff(const FetchReading &r, const RecordBatchHead &batch) {
    bqx_log_vf(WRN_INCOMPLETE, r.pcb, kFetchTag, r.brokerID, r.partitionID, 5,
               static_cast<int>(r.buf->u32ReplyCorrelID),
               static_cast<long long>(batch.i64BaseOffset),
               static_cast<int>(batch.u32Start + kBatchLogOverhead), batch.i32BatchLength,
               static_cast<int>(r.buf->u32ReplySize + 4));
}

// Every batch's offset and the key and value of its first record, without
// moving the reading position.
void dumpBatches(const FetchReading &r) {
    const FetchReplyBuffer *buf = r.buf;
    for (uint32_t pos = buf->u32ReadPos;;) {
        RecordBatchHead batch;
        const char *problem = nullptr;
        BatchStatus status =
            record_batch_read(buf->pReply, pos, buf->u32RecordsEnd, &batch, &problem);
        if (status == BatchStatus::kCutOff)
            warnCutOff(r, batch);
        if (status != BatchStatus::kOk)
            return;
        logNumber(r, "Message offs", batch.i64BaseOffset);
        RecordView record;
        if (batch.i32RecordCount > 0 && (batch.i16Attributes & kBatchCodecMask) == 0 &&
            !record_read(buf->pReply, batch.u32RecordsPos, batch.u32End, &record)) {
            hexdump(r.pcb, kFetchTag, r.brokerID, r.partitionID, "Key", record.pKey,
                    record.pKey ? record.i32KeyLen : 0);
            hexdump(r.pcb, kFetchTag, r.brokerID, r.partitionID, "Value/Message", record.pValue,
                    record.pValue ? record.i32ValueLen : 0);
        }
        pos = batch.u32End;
    }
}

// A Kafka error of the reply or its partition. The fetch loop handles each
// (kafka_fetch_partition_error): an offset out of range is reset and a
// leader not ready is tried again, both as information; others are errors.
FetchOutcome kafkaError(const FetchReading &r, const FetchReplyHead &head, int16_t code) {
    constexpr int16_t kOffsetOutOfRange = 1;
    if (code == kOffsetOutOfRange)
        bqx_log_vf(INF_OFFSET_RESET, r.pcb, kFetchTag, r.brokerID, r.partitionID, 1,
                   static_cast<long long>(r.part->i64Offset));
    else if (kafka_leader_not_ready(code))
        bqx_log_vf(INF_LEADER_RETRY, r.pcb, kFetchTag, r.brokerID, r.partitionID, 2,
                   static_cast<int>(code), getErrorText(code));
    else
        bqx_log_vf(ERR_PRODUCE_REPLY, r.pcb, kFetchTag, r.brokerID, r.partitionID, 5,
                   head.i32CorrelID, head.i32Partition, head.i32ResponseCount,
                   static_cast<int>(code), getErrorText(code));
    return {FetchStep::kKafkaError, code};
}

// Reads the reply up to its records: correlation id, errors, the partition
// it is for, and where the records and the aborted transactions are.
FetchOutcome readHead(FetchReading &r) {
    FetchReplyBuffer *buf = r.buf;
    FetchReplyHead head;
    const char *problem = fetch_read_head(buf->pReply, buf->u32Length, &head);
    if (buf->u32Length < 8)
        return failed(r, ERR_PROTOCOL, problem);
    // A reply naming several partitions: this buffer's own section (the
    // whole reply was checked when it arrived).
    if (!problem && buf->u32SectionPos != 0)
        problem = fetch_read_partition(buf->pReply, buf->u32Length, buf->u32SectionPos, &head);
    buf->u32ReplySize = static_cast<uint32_t>(head.i32Size);
    buf->u32ReplyCorrelID = static_cast<uint32_t>(head.i32CorrelID);
    if (r.pcb->iDebugLevel > 2)
        bqx_log_vf(INF_REPLY_FROM, r.pcb, kFetchTag, r.brokerID, r.partitionID, 4, "Processing",
                   fetch_host_of(r.broker), r.broker->i32Port, head.i32CorrelID);
    uint32_t expected = buf->u32ExpectedCorrelID;
    if (expected != 0 && expected != buf->u32ReplyCorrelID) {
        bqx_log_vf(ERR_WRONG_CORRELID, r.pcb, kFetchTag, r.brokerID, r.partitionID, 4,
                   fetch_host_of(r.broker), r.broker->i32Port, static_cast<int>(expected),
                   head.i32CorrelID);
        return {FetchStep::kFailed, ERR_WRONG_CORRELID};
    }
    if (problem)
        return failed(r, ERR_PROTOCOL, problem);
    r.part->i64HighWatermark = head.i64HighWatermark;
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
    return {FetchStep::kContinue, 0};
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

// Takes the record as the next message of the partition. Key and value
// are handed out where they lie in the reply; only a value converted to the
// local code page gets a buffer of its own. The key is never converted.
FetchOutcome deliver(FetchReading &r, const RecordView &record, int64_t offset, FetchedRecord *out) {
    if (r.pcb->iDebugLevel >= 2 && r.pcb->iDebugLevel <= 4)
        logNumber(r, "Message offs", offset);
    r.part->i64Offset = offset;
    const FetchReplyBuffer *buf = r.buf;
    *out = FetchedRecord{};
    out->key = reinterpret_cast<const char *>(record.pKey);
    out->keyLen = record.pKey ? static_cast<uint32_t>(record.i32KeyLen) : 0;
    out->value = reinterpret_cast<const char *>(record.pValue);
    out->valueLen = record.pValue ? static_cast<uint32_t>(record.i32ValueLen) : 0;
    out->offset = offset;
    out->timestamp =
        buf->i64BatchTimestamp + (buf->u32BatchLogAppendTime ? 0 : record.i64TimestampDelta);
    out->flags = (record.pValue ? 0 : kDeliveredValueNull) | (record.pKey ? 0 : kDeliveredKeyNull);
    if (!r.pcb->u32Convert || out->valueLen == 0)
        return {FetchStep::kRecord, 0};
    out->converted = convertValue(r.pcb, record.pValue, out->valueLen, &out->valueLen);
    out->value = out->converted;
    if (out->converted)
        return {FetchStep::kRecord, 0};
    *out = FetchedRecord{};
    return failed(r, ERR_MEMORY, "Fetched Record");
}

// The next record of the batch being handed out at or above the
// partition's offset; kContinue when the batch has no further record.
FetchOutcome nextInBatch(FetchReading &r, FetchedRecord *out) {
    FetchReplyBuffer *buf = r.buf;
    while (buf->u32RecordsLeft > 0) {
        RecordView record;
        const uint8_t *bytes = buf->pInflated ? buf->pInflated : buf->pReply;
        if (const char *problem = record_read(bytes, buf->u32ReadPos, buf->u32BatchEnd, &record))
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
            bqx_log_vf(INF_SKIPPING, r.pcb, kFetchTag, r.brokerID, r.partitionID, 4, r.partitionID,
                       static_cast<unsigned long long>(offset),
                       record.pKey ? record.i32KeyLen : 0, record.pValue ? record.i32ValueLen : 0);
    }
    if (buf->u32ReadPos != buf->u32BatchEnd)
        return failed(r, ERR_PROTOCOL, "record count disagrees with the batch length");
    if (buf->u32ResumePos != 0) { // back from the inflated records to the reply
        free(buf->pInflated);
        buf->pInflated = nullptr;
        buf->u32ReadPos = buf->u32ResumePos;
        buf->u32ResumePos = 0;
    }
    // Records removed by compaction may leave the batch's last offsets empty.
    advancePast(r.part, buf->i64BatchLastOffset + 1);
    buf->u32BatchEnd = 0;
    return {FetchStep::kContinue, 0};
}

bool isAbortMarker(const FetchReading &r, const RecordBatchHead &batch) {
    RecordView record;
    return batch.i32RecordCount > 0 &&
           !record_read(r.buf->pReply, batch.u32RecordsPos, batch.u32End, &record) &&
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
    buf->u32BatchLogAppendTime = (batch.i16Attributes & kLogAppendTime) != 0;
    buf->i64BatchTimestamp =
        buf->u32BatchLogAppendTime ? batch.i64MaxTimestamp : batch.i64BaseTimestamp;
}

// Inflates a compressed batch's records into a block of the buffer's own
// (freed when they are used up) and hands them out from there like those
// of any batch. A batch that cannot be inflated is logged and stepped over
// (false); a block that cannot be allocated fails the reply, which is
// fetched again. So does a batch beyond what the reply may still inflate
// to: the partition's offset stays before it, so that it comes first in
// the next reply, with the whole of that reply's budget.
bool enterCompressed(FetchReading &r, const RecordBatchHead &batch, FetchOutcome *outcome) {
    FetchReplyBuffer *buf = r.buf;
    uint32_t left = kMaxInflatedPerReply - buf->u32InflatedBytes;
    uint32_t limit = left < kMaxInflatedBytes ? left : kMaxInflatedBytes;
    uint8_t *records = nullptr;
    uint32_t length = 0;
    InflateStatus status =
        limit == 0 ? InflateStatus::kTooLarge
                   : inflate_records(batch.i16Attributes & kBatchCodecMask,
                                     buf->pReply + batch.u32RecordsPos,
                                     batch.u32End - batch.u32RecordsPos, limit, &records, &length);
    // A batch refused as too large or corrupt counts the room its attempt
    // took, which is at least the work it cost.
    uint32_t spent = status == InflateStatus::kTooLarge ? limit : length < limit ? length : limit;
    buf->u32InflatedBytes += spent;
    if (status == InflateStatus::kNoMemory) {
        *outcome = failed(r, ERR_MEMORY, "Inflated Records");
        return true;
    }
    if (status == InflateStatus::kTooLarge && limit < kMaxInflatedBytes) {
        *outcome =
            failed(r, ERR_PROTOCOL, "compressed batches of one reply inflate beyond 128 MiB");
        return true;
    }
    if (status != InflateStatus::kOk) {
        char what[96];
        snprintf(what, sizeof what, "compressed batch (%s) %s",
                 record_batch_codec_name(batch.i16Attributes), inflate_status_text(status));
        failed(r, ERR_PROTOCOL, what);
        return false;
    }
    if (length == 0) { // no record bytes after all: nothing to hand out
        free(records);
        return false;
    }
    free(buf->pInflated);
    buf->pInflated = records;
    buf->u32ResumePos = batch.u32End;
    startRecords(buf, batch, 0, length);
    return true;
}

// Decides what becomes of a batch whose CRC matched: its records are
// handed out, or it is stepped over and the offset moves past it.
FetchOutcome enterBatch(FetchReading &r, const RecordBatchHead &batch) {
    FetchReplyBuffer *buf = r.buf;
    int64_t last = record_batch_last_offset(batch);
    bool transactional = (batch.i16Attributes & kBatchTransactional) != 0;
    buf->u32ReadPos = batch.u32End;
    if (batch.i16Attributes & kBatchControl) {
        if (transactional && isAbortMarker(r, batch))
            // The reply is the session's own buffer, and only this buffer
            // reads the partition's section with its list of aborted ones.
            aborted_txn_close(const_cast<uint8_t *>(buf->pReply), buf->u32AbortedPos,
                              buf->u32AbortedCount, batch.i64ProducerID, last);
    } else if (transactional && aborted_txn_open(buf->pReply, buf->u32AbortedPos,
                                                 buf->u32AbortedCount, batch.i64ProducerID, last)) {
        // records of an aborted transaction are never delivered
    } else if (batch.i32RecordCount <= 0) {
        // nothing to hand out
    } else if (batch.i16Attributes & kBatchCodecMask) {
        FetchOutcome outcome{FetchStep::kContinue, 0};
        bool below = r.part->i64Offset != -1 && last < r.part->i64Offset;
        if (!below && enterCompressed(r, batch, &outcome))
            return outcome;
    } else {
        startRecords(buf, batch, batch.u32RecordsPos, batch.u32End);
        return {FetchStep::kContinue, 0};
    }
    r.skipped = true;
    advancePast(r.part, last + 1);
    return {FetchStep::kContinue, 0};
}

// An older record format: its offset field is that of its last message.
void skipOldFormat(FetchReading &r, const RecordBatchHead &batch) {
    if (r.part->i64Offset == -1 || batch.i64BaseOffset >= r.part->i64Offset) {
        char what[64];
        snprintf(what, sizeof what, "record batch magic %d is not supported", batch.i8Magic);
        failed(r, ERR_PROTOCOL, what);
        advancePast(r.part, batch.i64BaseOffset + 1);
    }
    r.skipped = true;
    r.buf->u32ReadPos = batch.u32End;
}

FetchOutcome nextRecord(FetchReading &r, FetchedRecord *out) {
    for (;;) {
        FetchReplyBuffer *buf = r.buf; // a compressed batch may move it
        if (buf->u32BatchEnd != 0) {
            FetchOutcome outcome = nextInBatch(r, out);
            if (outcome.step != FetchStep::kContinue)
                return outcome;
            continue;
        }
        RecordBatchHead batch;
        const char *problem = nullptr;
        switch (record_batch_read(buf->pReply, buf->u32ReadPos, buf->u32RecordsEnd, &batch,
                                  &problem, r.pcb->u32CheckCrcs != 0)) {
        case BatchStatus::kEnd:
            return {FetchStep::kUsedUp, 0};
        case BatchStatus::kCutOff:
            if (r.pcb->iDebugLevel >= 2 && r.pcb->iDebugLevel <= 4 && !r.skipped)
                warnCutOff(r, batch);
            return {FetchStep::kUsedUp, 0};
        case BatchStatus::kMalformed:
            return failed(r, ERR_PROTOCOL, problem);
        case BatchStatus::kBadCrc:
            bqx_log_vf(ERR_CRC, r.pcb, kFetchTag, r.brokerID, r.partitionID, 2, fetch_host_of(r.broker),
                       r.broker->i32Port);
            return {FetchStep::kFailed, ERR_CRC};
        case BatchStatus::kOldMagic:
            skipOldFormat(r, batch);
            break;
        case BatchStatus::kOk: {
            FetchOutcome outcome = enterBatch(r, batch);
            if (outcome.step != FetchStep::kContinue)
                return outcome;
            break;
        }
        }
    }
}

// Reads the reply up to the next record to hand out.
FetchOutcome readNext(FetchReading &r, FetchedRecord *out) {
    int64_t started = r.pcb->iDebugLevel != 0 ? getTimeStamp() : 0;
    FetchOutcome outcome{FetchStep::kContinue, 0};
    if (!fetch_head_read(r.buf))
        outcome = readHead(r);
    else if (r.pcb->iDebugLevel > 2)
        bqx_log_vf(INF_REPLY_FROM, r.pcb, kFetchTag, r.brokerID, r.partitionID, 4, "Processing",
                   fetch_host_of(r.broker), r.broker->i32Port,
                   static_cast<int>(r.buf->u32ReplyCorrelID));
    if (outcome.step == FetchStep::kContinue)
        outcome = nextRecord(r, out);
    if (r.pcb->iDebugLevel != 0)
        r.pcb->ullUnmarshallTime += static_cast<uint64_t>(getTimeStamp() - started);
    return outcome;
}

} // namespace

FetchOutcome fetch_read_next(FetchReading &r, FetchedRecord *out) { return readNext(r, out); }

void fetch_log_number(const FetchReading &r, const char *label, int64_t value) {
    logNumber(r, label, value);
}
