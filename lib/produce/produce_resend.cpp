// A topic refuses a batch above its max.message.bytes with MESSAGE_TOO_LARGE
// (RECORD_LIST_TOO_LARGE for a record set too large for a log segment), and
// stores nothing of it. The records of a refused batch of several records
// are read back from the request copy and put in front of what their
// partition holds, in batches of at most half the refused size; the
// session builds every later batch to that limit too. Halving ends below
// the topic's limit after a few refusals, or with batches of one record: a
// record refused on its own is the only one that fails.
//
// A compressed batch is inflated to read its records back. Its refused
// size is what went out, compressed, while batches are closed by their
// codec's bound for the records (produce_batch_fits), which is above what
// they compress to: the limit learnt holds all the more.
//
// While a probe (see produce_batch.cpp) is in flight nothing later of its
// partition is, so the refused records go out again before anything that
// followed them. Batches up to an accepted size are not probes: should the
// topic's limit be lowered while several of them are in flight, a later
// one may be stored ahead of an earlier refused one.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/inflate.h"
#include "consume/record_batch.h"
#include "log/log.h"
#include "log/messages.h"
#include "produce/produce_internal.h"
#include "produce/produce_resend.h"
#include "protocol/protocol.h"
#include "transport/transport.h"

namespace {

constexpr const char *kTag = "ProducRy";
constexpr int16_t kMessageTooLarge = 10;
constexpr int16_t kRecordListTooLarge = 18;

bool tooLarge(int16_t errorCode) {
    return errorCode == kMessageTooLarge || errorCode == kRecordListTooLarge;
}

ProduceBatch *findEntry(PCB *pcb, int32_t partition) {
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i)
        if (pcb->pProduceBatches[i].i32Partition == partition)
            return &pcb->pProduceBatches[i];
    return nullptr;
}

// Below a refused batch of `bytes`: half of it when it held several records
// (a lone record fails, and no batch of that size can be stored either).
void learnLimit(PCB *pcb, uint64_t bytes, uint64_t records) {
    // A size once accepted and now refused: the topic's limit was lowered.
    if (bytes <= pcb->u32BatchProven)
        pcb->u32BatchProven = 0;
    uint64_t below = records > 1 ? bytes / 2 : bytes - 1;
    if (pcb->u32BatchLimit == 0 || below < pcb->u32BatchLimit)
        pcb->u32BatchLimit = static_cast<uint32_t>(below);
}

struct Pieces {
    ProduceBatch *batches;
    uint32_t count;
};

void freePieces(Pieces *pieces) {
    for (uint32_t i = 0; i < pieces->count; ++i)
        free(pieces->batches[i].pRecords);
    free(pieces->batches);
    *pieces = Pieces{nullptr, 0};
}

// Appends one record read back from a refused batch, in a new piece when
// the last one is full.
bool addRecord(PCB *pcb, int32_t partition, const RecordView &record, int64_t timestamp,
               Pieces *pieces) {
    ProduceKey key{};
    if (record.i32KeyLen > static_cast<int32_t>(sizeof key.bytes))
        return false;
    key.length = record.i32KeyLen > 0 ? static_cast<uint32_t>(record.i32KeyLen) : 0;
    if (key.length)
        memcpy(key.bytes, record.pKey, key.length);
    ProduceValue value{reinterpret_cast<const char *>(record.pValue),
                       record.i32ValueLen > 0 ? static_cast<uint32_t>(record.i32ValueLen) : 0,
                       nullptr};
    uint64_t bound = produce_record_bound(key, value);
    if (pieces->count == 0 || !produce_batch_fits(pcb, pieces->batches[pieces->count - 1], bound)) {
        ProduceBatch *grown = static_cast<ProduceBatch *>(
            realloc(pieces->batches, (pieces->count + 1) * sizeof(ProduceBatch)));
        if (!grown)
            return false;
        pieces->batches = grown;
        grown[pieces->count] = ProduceBatch{};
        grown[pieces->count].i32Partition = partition;
        grown[pieces->count].i32ProbeBroker = -1;
        pieces->count++;
    }
    return produce_batch_append(&pieces->batches[pieces->count - 1], key, value, timestamp);
}

// The records of the one batch of `set`: in the request copy, or inflated
// into `owned` (freed by the caller) when the batch went out compressed.
struct SentRecords {
    RecordBatchHead head;
    const uint8_t *bytes;
    uint32_t position;
    uint32_t end;
    uint8_t *owned;
};

bool readBack(const SentRecordSet &set, SentRecords *out) {
    *out = SentRecords{};
    const char *problem = "";
    if (record_batch_read(set.request, set.position, set.end, &out->head, &problem) !=
            BatchStatus::kOk ||
        out->head.u32End != set.end)
        return false;
    int16_t codec = out->head.i16Attributes & kBatchCodecMask;
    if (codec == 0) {
        *out =
            SentRecords{out->head, set.request, out->head.u32RecordsPos, out->head.u32End, nullptr};
        return true;
    }
    uint32_t inflated = 0;
    if (inflate_records(codec, set.request + out->head.u32RecordsPos,
                        out->head.u32End - out->head.u32RecordsPos, kMaxInflatedBytes, &out->owned,
                        &inflated) != InflateStatus::kOk)
        return false;
    out->bytes = out->owned;
    out->end = inflated;
    return true;
}

// Re-batches the one batch of `set` within the session's limit. False, with
// nothing kept, when the copy cannot be read back or memory is short.
bool rebatch(PCB *pcb, int32_t partition, const SentRecordSet &set, Pieces *pieces) {
    SentRecords sent{};
    if (!readBack(set, &sent))
        return false;
    uint32_t position = sent.position;
    bool ok = true;
    for (int32_t i = 0; ok && i < sent.head.i32RecordCount; ++i) {
        RecordView record{};
        ok = record_read(sent.bytes, position, sent.end, &record) == nullptr &&
             addRecord(pcb, partition, record,
                       sent.head.i64BaseTimestamp + record.i64TimestampDelta, pieces);
        position = record.u32End;
    }
    ok = ok && position == sent.end;
    free(sent.owned);
    if (!ok)
        freePieces(pieces);
    return ok;
}

// Puts the pieces in front of the partition's refused records still held:
// the refused batch went out before them.
bool putInFront(PCB *pcb, ProduceBatch *entry, Pieces *pieces, uint64_t records) {
    uint32_t count = entry->u32ResendCount + pieces->count;
    ProduceBatch *joined = static_cast<ProduceBatch *>(malloc(count * sizeof(ProduceBatch)));
    if (!joined)
        return false;
    memcpy(joined, pieces->batches, pieces->count * sizeof(ProduceBatch));
    if (entry->u32ResendCount)
        memcpy(joined + pieces->count, entry->pResend,
               entry->u32ResendCount * sizeof(ProduceBatch));
    free(entry->pResend);
    free(pieces->batches);
    *pieces = Pieces{nullptr, 0};
    entry->pResend = joined;
    entry->u32ResendCount = count;
    pcb->ullBatchedRecords += records;
    return true;
}

uint64_t resend(PCB *pcb, int32_t partition, const SentRecordSet &set, uint64_t bytes) {
    Pieces pieces{nullptr, 0};
    ProduceBatch *entry = nullptr;
    if (!rebatch(pcb, partition, set, &pieces) || !(entry = produce_batch_of(pcb, partition)) ||
        !putInFront(pcb, entry, &pieces, set.records)) {
        freePieces(&pieces);
        produce_no_memory(pcb, "pBuff");
        return 0;
    }
    if (pcb->iDebugLevel != 0)
        bqx_log_vf(INF_BATCH_SPLIT, pcb, kTag, -1, partition, 3, static_cast<int>(set.records),
                   static_cast<long long>(bytes), static_cast<long long>(pcb->u32BatchLimit));
    return set.records;
}

// The key and value bytes of the lone record of `set`, 0 when unreadable.
long long loneRecordBytes(const SentRecordSet &set) {
    SentRecords sent{};
    RecordView record{};
    long long bytes = 0;
    if (readBack(set, &sent) &&
        record_read(sent.bytes, sent.position, sent.end, &record) == nullptr)
        bytes = (record.i32KeyLen > 0 ? record.i32KeyLen : 0) +
                static_cast<long long>(record.i32ValueLen > 0 ? record.i32ValueLen : 0);
    free(sent.owned);
    return bytes;
}

} // namespace

uint64_t kafka_produce_settle(PCB *pcb, uint32_t brokerIndex, uint32_t correlId, int32_t partition,
                              int16_t errorCode, const SentRecordSet &set) {
    ProduceBatch *entry = findEntry(pcb, partition);
    if (entry && entry->i32ProbeBroker == static_cast<int32_t>(brokerIndex) &&
        entry->u32ProbeCorrelID == correlId)
        entry->i32ProbeBroker = -1;
    if (!set.request || set.end <= set.position)
        return 0;
    uint64_t bytes = set.end - set.position;
    if (errorCode == 0 && bytes > pcb->u32BatchProven && bytes <= UINT32_MAX)
        pcb->u32BatchProven = static_cast<uint32_t>(bytes);
    if (!tooLarge(errorCode))
        return 0;
    learnLimit(pcb, bytes, set.records);
    if (set.records > 1)
        return resend(pcb, partition, set, bytes);
    bqx_log_vf(ERR_RECORD_TOO_LARGE, pcb, kTag, -1, partition, 3, loneRecordBytes(set),
               static_cast<long long>(bytes), static_cast<long long>(pcb->u32BatchProven));
    return 0;
}

int32_t kafka_produce_drain(PCB *pcb, int32_t *flushed) {
    int32_t waited = kafka_waitReply(pcb, WAIT_ALL, 0);
    while (waited == 0 && *flushed == 0 && pcb->ullBatchedRecords > 0) {
        *flushed = kafka_produce_flush(pcb);
        waited = kafka_waitReply(pcb, WAIT_ALL, 0);
    }
    return waited;
}

void kafka_produce_unprobe(PCB *pcb, uint32_t brokerIndex) {
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i)
        if (pcb->pProduceBatches[i].i32ProbeBroker == static_cast<int32_t>(brokerIndex))
            pcb->pProduceBatches[i].i32ProbeBroker = -1;
}
