// The Produce reply (version 7) and what becomes of produced records: each
// partition of a reply settles the records its batches carried in the
// request, as acknowledged or failed, and failures wait for the next synch
// point.
#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "produce/produce_failover.h"
#include "produce/produce_idem.h"
#include "produce/produce_resend.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"

namespace {

constexpr const char *kReplyTag = "ProducRy";
constexpr int16_t kProduceKey = 0;
// Where a record batch keeps its record count, from its baseOffset on.
constexpr uint64_t kBatchRecordCountAt = 57;
constexpr uint64_t kBatchFramingBytes = 12; // baseOffset and batchLength
// A reply partition (version 7): index, error code, base offset, log append
// time and log start offset. The last 12 bytes are only stepped over, and
// only when another partition follows.
constexpr uint32_t kReplyPartitionTail = 12;
constexpr uint32_t kReplyPartitionBytes = 18 + kReplyPartitionTail;

// Big-endian reads of a request copy that never pass its end; a read
// beyond it marks the reader failed and yields 0.
struct RequestReader {
    const uint8_t *bytes;
    uint64_t length;
    uint64_t position;
    bool failed;

    int64_t take(uint32_t width) {
        if (failed || position + width > length) {
            failed = true;
            return 0;
        }
        uint64_t value = 0;
        for (uint32_t i = 0; i < width; ++i)
            value = (value << 8) | bytes[position++];
        return width == 2 ? int16_t(value) : width == 4 ? int32_t(value) : int64_t(value);
    }
    void skipString() {
        int64_t length16 = take(2);
        position += length16 > 0 ? static_cast<uint64_t>(length16) : 0;
    }
};

// Records of the batches in one partition's record set of `size` bytes.
uint64_t recordSetMessages(RequestReader &reader, int64_t size) {
    uint64_t end = reader.position + static_cast<uint64_t>(size > 0 ? size : 0);
    uint64_t messages = 0;
    while (!reader.failed && reader.position + kBatchRecordCountAt + 4 <= end) {
        uint64_t batch = reader.position;
        reader.position = batch + 8;
        int64_t batchLength = reader.take(4);
        reader.position = batch + kBatchRecordCountAt;
        int64_t records = reader.take(4);
        messages += records > 0 ? static_cast<uint64_t>(records) : 0;
        if (batchLength <= 0)
            break;
        reader.position = batch + kBatchFramingBytes + static_cast<uint64_t>(batchLength);
    }
    reader.position = end;
    return messages;
}

// The partitions of a Produce request (version 7, request header version
// 1) in the order they were sent, each with the records it carried; `set`
// is the record set of the partition read last.
struct SentPartitions {
    RequestReader reader;
    int64_t topicsLeft;
    int64_t partitionsLeft;
    SentRecordSet set;
};

SentPartitions sentPartitions(const uint8_t *request, uint32_t length) {
    SentPartitions sent{{request, request ? length : 0, 12, false}, 0, 0, {request, 0, 0, 0}};
    sent.reader.skipString(); // client id
    sent.reader.skipString(); // transactional id
    sent.reader.position += 6; // acks, timeout
    sent.topicsLeft = sent.reader.take(4);
    return sent;
}

bool nextSentPartition(SentPartitions &sent, int32_t *partition, uint64_t *records) {
    while (!sent.reader.failed && sent.partitionsLeft <= 0) {
        if (sent.topicsLeft-- <= 0)
            return false;
        sent.reader.skipString();
        sent.partitionsLeft = sent.reader.take(4);
    }
    --sent.partitionsLeft;
    *partition = static_cast<int32_t>(sent.reader.take(4));
    int64_t size = sent.reader.take(4);
    uint64_t start = sent.reader.position;
    *records = recordSetMessages(sent.reader, size);
    uint64_t end =
        sent.reader.position < sent.reader.length ? sent.reader.position : sent.reader.length;
    sent.set.position = static_cast<uint32_t>(start < end ? start : end);
    sent.set.end = static_cast<uint32_t>(end);
    sent.set.records = *records;
    return !sent.reader.failed;
}

uint64_t requestMessages(const uint8_t *request, uint32_t length) {
    SentPartitions sent = sentPartitions(request, length);
    uint64_t messages = 0, records = 0;
    for (int32_t partition = 0; nextSentPartition(sent, &partition, &records);)
        messages += records;
    return messages;
}

// The record set the request sent to `partition`. Replies name the
// partitions in the request's order, so the walk `sent` usually has it
// next; otherwise the whole request is searched. Without a request copy
// every partition carried one record.
SentRecordSet sentRecords(const uint8_t *request, uint32_t length, SentPartitions &sent,
                          int32_t partition) {
    if (!request)
        return {nullptr, 0, 0, 1};
    int32_t index = 0;
    uint64_t records = 0;
    if (nextSentPartition(sent, &index, &records) && index == partition)
        return sent.set;
    SentPartitions search = sentPartitions(request, length);
    bool readable = false;
    while (nextSentPartition(search, &index, &records)) {
        readable = true;
        if (index == partition)
            return search.set;
    }
    // A copy that cannot be read held one record at least.
    return {nullptr, 0, 0, readable ? 0u : 1u};
}

uint32_t correlIdOf(const uint8_t *request, uint32_t length) {
    RequestReader header{request, request ? length : 0, 8, false};
    return static_cast<uint32_t>(header.take(4));
}

// The partition reported for a reply: the first entry led by the replying
// broker, or -1 when the broker leads none of them.
int32_t replyPartition(const PCB *pcb, uint32_t brokerIndex) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].i32BrokerIdx == static_cast<int32_t>(brokerIndex))
            return pcb->pPartitionList[i].i32Partition;
    return -1;
}

// What the partitions of one reply settled; `resent` records go out again.
struct ReplyTally {
    uint64_t acknowledged;
    uint64_t failed;
    uint64_t resent;
    int32_t firstError;
};

void tallyFailed(ReplyTally *tally, uint64_t records, int32_t error) {
    if (tally->failed == 0 && records > 0)
        tally->firstError = error;
    tally->failed += records;
}

// Whether a result before the k-th, which starts at `first`, names
// `partition` too. A broker answers each partition once; one that repeats
// a refusal must not have the records sent twice.
bool answeredBefore(const uint8_t *reply, int32_t first, int32_t k, int32_t partition) {
    for (int32_t j = 0; j < k; ++j) {
        const uint8_t *at = reply + first + static_cast<uint32_t>(j) * kReplyPartitionBytes;
        int32_t named = static_cast<int32_t>(static_cast<uint32_t>(at[0]) << 24 |
                                             static_cast<uint32_t>(at[1]) << 16 |
                                             static_cast<uint32_t>(at[2]) << 8 | at[3]);
        if (named == partition)
            return true;
    }
    return false;
}

// Checks the partition results that follow the topic name; `request` (may
// be null) is the request they answer.
int32_t checkPartitions(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply, uint32_t replyLen,
                        int32_t position, const uint8_t *request, uint32_t requestLen,
                        ReplyTally *tally) {
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t partitions = 0;
    position = kafka_unmarshall_new(pcb, reply, replyLen, position, "i4", &partitions);
    if (position < 0)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "Produce reply: partition truncated");
    SentPartitions sent = sentPartitions(request, requestLen);
    uint32_t correlId = correlIdOf(request, requestLen);
    int32_t first = position;
    int32_t result = 0;
    for (int32_t k = 0; k < partitions; ++k) {
        int32_t partition = 0, appendTimeHigh = 0;
        int16_t errorCode = 0;
        int64_t baseOffset = 0;
        position = kafka_unmarshall_new(pcb, reply, replyLen, position, "i4i2i8i4", &partition,
                                        &errorCode, &baseOffset, &appendTimeHigh);
        if (position < 0)
            return kafka_reply_malformed(pcb, kReplyTag, broker,
                                         "Produce reply: partition truncated");
        SentRecordSet set = sentRecords(request, requestLen, sent, partition);
        uint64_t records = set.records;
        bool repeated = answeredBefore(reply, first, k, partition);
        IdemVerdict idem =
            repeated ? IdemVerdict::kNone
                     : kafka_produce_idem_settle(pcb, brokerIndex, correlId, partition, errorCode);
        uint64_t resent =
            repeated ? 0
                     : kafka_produce_settle(pcb, brokerIndex, correlId, partition, errorCode, set);
        if (idem != IdemVerdict::kNone) {
            // Acknowledged, failed or waiting for a retry: counted by the
            // idempotent path itself.
            tally->resent += records;
        } else if (errorCode == 0) {
            tally->acknowledged += records;
        } else if (resent > 0) {
            tally->resent += resent;
        } else {
            bqx_log_vf(ERR_KAFKA, pcb, kReplyTag, broker, partition, 2,
                       static_cast<int>(errorCode), getErrorText(errorCode));
            kafka_produce_leader_error(pcb, errorCode);
            tallyFailed(tally, records, ERR_KAFKA);
            result = ERR_KAFKA;
        }
        if (k + 1 < partitions) {
            if (replyLen - static_cast<uint32_t>(position) < kReplyPartitionTail)
                return kafka_reply_malformed(pcb, kReplyTag, broker,
                                             "Produce reply: partition truncated");
            position += kReplyPartitionTail;
        }
    }
    if (partitions < 1)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "Produce reply: partition truncated");
    return result;
}

// The 32-bit responses count is read as two halves; a non-zero upper half is
// reported as the reply's error.
int32_t checkReply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply, uint32_t replyLen,
                   const uint8_t *request, uint32_t requestLen, ReplyTally *tally) {
    int32_t size = 0, correlationId = 0;
    uint16_t responsesHigh = 0, responsesLow = 0, nameLen = 0;
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i2i2i2", &size,
                                            &correlationId, &responsesHigh, &responsesLow,
                                            &nameLen);
    if (position < 0)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "Produce reply too short");
    int32_t partition = replyPartition(pcb, brokerIndex);
    uint32_t msgNum = responsesHigh != 0 ? ERR_PRODUCE_REPLY : INF_PRODUCE_REPLY;
    if (responsesHigh != 0 || pcb->iDebugLevel >= 2)
        bqx_log_vf(msgNum, pcb, kReplyTag, broker, -1, 5, correlationId, partition,
                   static_cast<int>(responsesLow), static_cast<int>(responsesHigh),
                   getErrorText(responsesHigh));
    if (responsesHigh != 0)
        return ERR_PRODUCE_REPLY;
    // The topic name is not needed: step over it (a null name has no bytes).
    uint32_t nameBytes = nameLen == 0xFFFF ? 0 : nameLen;
    if (nameBytes > replyLen - static_cast<uint32_t>(position))
        return kafka_reply_malformed(pcb, kReplyTag, broker, "Produce reply: topic truncated");
    return checkPartitions(pcb, brokerIndex, reply, replyLen,
                           position + static_cast<int32_t>(nameBytes), request, requestLen, tally);
}

} // namespace

int32_t kafka_produce_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                            uint32_t replyLen) {
    return kafka_produce_reply_to(pcb, brokerIndex, reply, replyLen, nullptr, 0);
}

// A failed reply fails its records. In synch mode 1 the error also goes
// back through the wait to the BQXPROD that awaits it. In pipelined modes
// that call returned long ago: the failure waits for the next synch point,
// and the wait that happened to take the reply in (another message's send
// window, a consume call) goes on undisturbed. Records that a cut-short
// reply leaves unsettled fail with the reply's error.
int32_t kafka_produce_reply_to(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                               uint32_t replyLen, const uint8_t *request,
                               uint32_t requestLen) {
    ReplyTally tally = {0, 0, 0, 0};
    int32_t result = checkReply(pcb, brokerIndex, reply, replyLen, request, requestLen, &tally);
    uint64_t sent = request ? requestMessages(request, requestLen) : 1;
    if (sent == 0)
        sent = 1; // as for a dropped request: at least one record was sent
    uint64_t settled = tally.acknowledged + tally.failed + tally.resent;
    if (result == 0 && settled < sent)
        result = kafka_reply_malformed(pcb, kReplyTag, kafka_broker_id(pcb, brokerIndex),
                                       "Produce reply: partition missing");
    if (result != 0 && settled < sent)
        tallyFailed(&tally, sent - settled, result);
    pcb->ullMsgsProduced += tally.acknowledged;
    if (tally.failed > 0)
        kafka_produce_failed(pcb, tally.failed, tally.firstError);
    return result != 0 && pcb->u32Synchronous ? result : 0;
}

void kafka_produce_failed(PCB *pcb, uint64_t messages, int32_t error) {
    if (messages == 0)
        return;
    if (pcb->ullProduceFailed == 0)
        pcb->i32ProduceFirstError = error;
    pcb->ullProduceFailed += messages;
    pcb->ullMsgsFailed += messages;
    pcb->i32ProduceLastError = error;
}

void kafka_produce_dropped(PCB *pcb, uint32_t brokerIndex, const uint8_t *request,
                           uint32_t length) {
    RequestReader header{request, length, 4, false}; // behind the size field
    int64_t apiKey = header.take(2);
    if (header.failed || apiKey != kProduceKey)
        return;
    // The sealed batches of an idempotent session wait for a retry; the
    // others fail. A Produce request holds at least one message, even one
    // that cannot be read.
    uint32_t correlId = correlIdOf(request, length);
    SentPartitions sent = sentPartitions(request, length);
    uint64_t messages = 0, records = 0, retried = 0;
    for (int32_t partition = 0; nextSentPartition(sent, &partition, &records);) {
        if (kafka_produce_idem_dropped(pcb, brokerIndex, correlId, partition))
            retried += records;
        else
            messages += records;
    }
    if (messages > 0 || retried == 0)
        kafka_produce_failed(pcb, messages ? messages : 1, WRN_NO_REPLY);
}

// Only in synch mode 1 does BQXPROD wait for replies until the first
// failure, and return that failure: a message that it recorded has been
// reported by the call's own result.
void kafka_produce_reported(PCB *pcb, uint64_t failedBefore, int32_t result) {
    if (!pcb->u32Synchronous || result == 0 || pcb->ullProduceFailed <= failedBefore)
        return;
    if (--pcb->ullProduceFailed == 0)
        pcb->i32ProduceFirstError = 0;
}

int32_t kafka_produce_synchpoint(PCB *pcb, const char *caller) {
    if (pcb->ullProduceFailed == 0)
        return 0;
    int32_t first = pcb->i32ProduceFirstError;
    bqx_log_vf(WRN_PRODUCE_FAILED, pcb, caller, -1, -1, 2,
               static_cast<long long>(pcb->ullProduceFailed), static_cast<int>(first));
    pcb->ullProduceFailed = 0;
    pcb->i32ProduceFirstError = 0;
    return first;
}
