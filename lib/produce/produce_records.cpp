// The records of synch mode 4's batches: each record encoded as it follows
// the record batch header on the wire, appended to its partition's batch,
// and the partition entries that hold the batches. Shared by the batched
// path (produce_batch.cpp), the resend of refused batches
// (produce_resend.cpp) and the idempotent path (produce_idem.cpp).
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/deflate.h"
#include "log/log.h"
#include "log/messages.h"
#include "produce/produce_internal.h"
#include "protocol/protocol.h"
#include "transport/transport_internal.h"

namespace {

constexpr uint64_t kBatchHeaderBytes = kProduceBatchHeaderBytes;
constexpr uint64_t kMaxRequestBytes = 0x7FFFFFFF; // positions are signed 32-bit
constexpr uint32_t kFirstCapacity = 4096;
constexpr uint32_t kBatchMaxRecords = 10000;
constexpr uint64_t kBatchMaxBytes = kProduceBatchMaxBytes;

// Zig-zag varint of `value` into `out` (at least 10 bytes); returns its size.
uint32_t putVarint(uint8_t *out, int64_t value) {
    uint64_t zigzag = (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
    uint32_t size = 0;
    while (zigzag >= 0x80) {
        out[size++] = static_cast<uint8_t>(zigzag | 0x80);
        zigzag >>= 7;
    }
    out[size++] = static_cast<uint8_t>(zigzag);
    return size;
}

uint32_t varintSize(int64_t value) {
    uint8_t scratch[10];
    return putVarint(scratch, value);
}

int64_t lengthField(uint32_t length) { return length ? static_cast<int64_t>(length) : -1; }

// The record's bytes behind its length varint, for a record with this
// timestamp and offset delta.
uint64_t recordBody(const ProduceKey &key, const ProduceValue &value, int64_t timestampDelta,
                    uint32_t offsetDelta) {
    return 2 + varintSize(timestampDelta) + varintSize(offsetDelta) +
           varintSize(lengthField(key.length)) + key.length +
           varintSize(lengthField(value.length)) + value.length;
}

bool reserve(ProduceBatch *batch, uint64_t more) {
    uint64_t needed = batch->u32Length + more;
    if (needed <= batch->u32Capacity)
        return true;
    uint64_t capacity = batch->u32Capacity ? 2ull * batch->u32Capacity : kFirstCapacity;
    if (capacity < needed)
        capacity = needed;
    if (capacity > kMaxRequestBytes)
        return false;
    uint8_t *grown = static_cast<uint8_t *>(realloc(batch->pRecords, capacity));
    if (!grown)
        return false;
    batch->pRecords = grown;
    batch->u32Capacity = static_cast<uint32_t>(capacity);
    return true;
}

// Appends one record with its offset and timestamp deltas. The room for it
// has been reserved.
void appendRecord(ProduceBatch *batch, const ProduceKey &key, const ProduceValue &value,
                  int64_t now) {
    if (batch->u32Records == 0) {
        batch->i64FirstTimestamp = batch->i64MaxTimestamp = now;
        batch->i64FirstAppendMs = transport_monotonicMs();
    }
    if (now > batch->i64MaxTimestamp)
        batch->i64MaxTimestamp = now;
    int64_t timestampDelta = now - batch->i64FirstTimestamp;
    uint32_t offsetDelta = batch->u32Records;
    uint8_t *out = batch->pRecords + batch->u32Length;
    uint8_t *start = out;
    out +=
        putVarint(out, static_cast<int64_t>(recordBody(key, value, timestampDelta, offsetDelta)));
    *out++ = 0; // attributes
    out += putVarint(out, timestampDelta);
    out += putVarint(out, offsetDelta);
    out += putVarint(out, lengthField(key.length));
    if (key.length)
        memcpy(out, key.bytes, key.length), out += key.length;
    out += putVarint(out, lengthField(value.length));
    if (value.length)
        memcpy(out, value.data, value.length), out += value.length;
    *out++ = 0; // header count
    batch->u32Length += static_cast<uint32_t>(out - start);
    batch->u32Records++;
}

} // namespace

// Partition ids are dense from 0, so the id is tried as the index first.
ProduceBatch *produce_batch_find(PCB *pcb, int32_t partition) {
    uint32_t count = pcb->u32ProduceBatchCount;
    if (partition >= 0 && static_cast<uint32_t>(partition) < count &&
        pcb->pProduceBatches[partition].i32Partition == partition)
        return &pcb->pProduceBatches[partition];
    for (uint32_t i = 0; i < count; ++i)
        if (pcb->pProduceBatches[i].i32Partition == partition)
            return &pcb->pProduceBatches[i];
    return nullptr;
}

ProduceBatch *produce_batch_of(PCB *pcb, int32_t partition) {
    if (ProduceBatch *found = produce_batch_find(pcb, partition))
        return found;
    uint32_t count = pcb->u32ProduceBatchCount;
    ProduceBatch *grown = static_cast<ProduceBatch *>(
        realloc(pcb->pProduceBatches, (count + 1) * sizeof(ProduceBatch)));
    if (!grown)
        return nullptr;
    pcb->pProduceBatches = grown;
    grown[count] = ProduceBatch{};
    grown[count].i32Partition = partition;
    grown[count].i32ProbeBroker = -1;
    grown[count].i64ProducerId = pcb->i64ProducerId;
    grown[count].i16Epoch = pcb->i16ProducerEpoch;
    pcb->u32ProduceBatchCount = count + 1;
    return &grown[count];
}

// A compressed batch is closed when the codec's bound for its records
// would pass the limit: what it compresses to cannot, whatever the data.
bool produce_batch_fits(const PCB *pcb, const ProduceBatch &batch, uint64_t recordBytes) {
    if (batch.u32Records == 0)
        return true;
    uint64_t limit = pcb->u32BatchLimit != 0 && pcb->u32BatchLimit < kBatchMaxBytes
                         ? pcb->u32BatchLimit
                         : kBatchMaxBytes;
    return batch.u32Records < kBatchMaxRecords &&
           kBatchHeaderBytes + produce_records_room(pcb, batch.u32Length + recordBytes) <= limit;
}

uint64_t produce_records_room(const PCB *pcb, uint64_t recordBytes) {
    int16_t codec = static_cast<int16_t>(pcb->u32CompressionType);
    return codec == kCodecNone ? recordBytes : deflate_bound(codec, recordBytes);
}

bool produce_write_records(PCB *pcb, const ProduceBatch &batch, uint8_t *out, uint64_t room,
                           uint32_t *written, int16_t *codec) {
    *codec = static_cast<int16_t>(pcb->u32CompressionType);
    if (*codec == kCodecNone) {
        if (room < batch.u32Length)
            return false;
        memcpy(out, batch.pRecords, batch.u32Length);
        *written = batch.u32Length;
        return true;
    }
    int32_t level = static_cast<int32_t>(pcb->u32CompressionLevel) - 1;
    DeflateStatus status = deflate_records(&pcb->pDeflate, *codec, level, batch.pRecords,
                                           batch.u32Length, out, room, written);
    if (status == DeflateStatus::kOk)
        return true;
    bqx_log_vf(ERR_COMPRESS, pcb, "Produce", -1, batch.i32Partition, 5,
               static_cast<long long>(batch.u32Records), batch.i32Partition,
               static_cast<long long>(batch.u32Length), deflate_codec_name(*codec),
               deflate_status_text(status));
    kafka_produce_failed(pcb, batch.u32Records, ERR_COMPRESS);
    return false;
}

// Room for the record at its worst (deltas of 10 bytes each).
uint64_t produce_record_bound(const ProduceKey &key, const ProduceValue &value) {
    return kRecordBoundOverhead + key.length + value.length;
}

bool produce_batch_append(ProduceBatch *batch, const ProduceKey &key, const ProduceValue &value,
                          int64_t timestamp) {
    if (!reserve(batch, produce_record_bound(key, value)))
        return false;
    appendRecord(batch, key, value, timestamp);
    return true;
}
