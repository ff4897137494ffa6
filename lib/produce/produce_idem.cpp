// The sealed batches of an idempotent session, one list per partition in
// sequence order. A batch is sealed (stamped with the producer id, the
// partition's epoch and its base sequence, CRC-32C computed) when it first
// goes out, and from then on travels as the same bytes until a reply
// settles it. The broker stores a partition's batches only in sequence
// order and answers a batch it already has with DUPLICATE_SEQUENCE_NUMBER,
// so a retry can neither store a batch twice nor let a later one overtake
// it.
//
// Sending rules per partition: at most 5 batches in flight, all to the
// partition's current leader and all sent since the partition's last
// failed attempt (its retry round). A failed attempt waits until the
// batches sent before it have come back, then goes again in sequence
// order, ahead of anything new. Until a batch of the epoch has been
// acknowledged, and while a batch that failed an attempt is unsettled,
// only one batch is in flight: a leader that holds no state of the
// producer yet accepts any sequence, so a later batch must never reach it
// ahead of an earlier one.
//
// Where the broker's sequence state and ours part (OUT_OF_ORDER_SEQUENCE_NUMBER
// for the oldest unsettled batch, UNKNOWN_PRODUCER_ID, a batch failed in the
// middle of the sequence), the partition moves to the next epoch: once
// nothing of it is in flight its waiting batches are stamped again from
// sequence 0. A batch whose earlier attempt may have been stored cannot be
// stamped again without risking a second copy: it fails with 7547. The
// broker keeps producer state per partition, so the epoch moves per
// partition.
//
// A producer id has 32,767 epochs. A partition that would move past the
// last one takes a new producer id instead (InitProducerId again), once
// nothing of it is in flight, and restarts its sequence at 0 in that id,
// with the same care as an epoch change. The new id is the partition's
// alone: the broker keeps producer state per partition and producer id, so
// the other partitions go on in their id and sequence undisturbed (moving
// them too would only restart their sequences and risk their unanswered
// batches for nothing). Partitions first produced later start in the
// session's newest id.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "produce/produce_failover.h"
#include "produce/produce_idem.h"
#include "produce/produce_internal.h"
#include "protocol/protocol.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kTag = "ProducRy";
// Fields of a record batch, from its baseOffset on.
constexpr uint32_t kBatchLengthAt = 8;
constexpr uint32_t kMagicAt = 16;
constexpr uint32_t kCrcAt = 17;
constexpr uint32_t kCrcFrom = 21; // attributes to the end
constexpr uint32_t kAttributesAt = 21;
constexpr uint32_t kLastOffsetDeltaAt = 23;
constexpr uint32_t kFirstTimestampAt = 27;
constexpr uint32_t kMaxTimestampAt = 35;
constexpr uint32_t kProducerIdAt = 43;
constexpr uint32_t kEpochAt = 51;
constexpr uint32_t kSequenceAt = 53;
constexpr uint32_t kRecordCountAt = 57;
constexpr uint8_t kRecordBatchMagic = 2;

constexpr int16_t kUnknownTopicOrPartition = 3;
constexpr int16_t kLeaderNotAvailable = 5;
constexpr int16_t kNotLeaderOrFollower = 6;
constexpr int16_t kRequestTimedOut = 7;
constexpr int16_t kMessageTooLarge = 10;
constexpr int16_t kNetworkException = 13;
constexpr int16_t kRecordListTooLarge = 18;
constexpr int16_t kNotEnoughReplicas = 19;
constexpr int16_t kNotEnoughReplicasAfterAppend = 20;
constexpr int16_t kOutOfOrderSequence = 45;
constexpr int16_t kDuplicateSequence = 46;
constexpr int16_t kUnknownProducerId = 59;

// Refusals after which the same batch may be stored by a later attempt.
bool retriable(int16_t code) {
    return code == kUnknownTopicOrPartition || code == kLeaderNotAvailable ||
           code == kNotLeaderOrFollower || code == kRequestTimedOut || code == kNetworkException ||
           code == kNotEnoughReplicas || code == kNotEnoughReplicasAfterAppend;
}

// Refusals that leave open whether the batch was written.
bool uncertain(int16_t code) {
    return code == kRequestTimedOut || code == kNetworkException ||
           code == kNotEnoughReplicasAfterAppend;
}

void putBe(uint8_t *out, uint64_t value, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

// The record-batch format's sequence arithmetic: after 2^31-1 comes 0.
int32_t advance(int32_t sequence, uint32_t records) {
    int64_t next = static_cast<int64_t>(sequence) + records;
    return static_cast<int32_t>(next > INT32_MAX ? next - INT32_MAX - 1 : next);
}

// Stamps the batch into the partition's current producer id and epoch.
void stamp(SealedBatch *batch, const ProduceBatch &entry, int32_t sequence) {
    uint8_t *bytes = batch->pBytes;
    putBe(bytes + kProducerIdAt, static_cast<uint64_t>(entry.i64ProducerId), 8);
    putBe(bytes + kEpochAt, static_cast<uint16_t>(entry.i16Epoch), 2);
    putBe(bytes + kSequenceAt, static_cast<uint32_t>(sequence), 4);
    putBe(bytes + kCrcAt, crc32c(0, bytes + kCrcFrom, batch->u32Length - kCrcFrom), 4);
    batch->i64ProducerId = entry.i64ProducerId;
    batch->i16Epoch = entry.i16Epoch;
    batch->i32Sequence = sequence;
}

// Whether the batch was stamped in the partition's current id and epoch.
bool current(const SealedBatch &batch, const ProduceBatch &entry) {
    return batch.i64ProducerId == entry.i64ProducerId && batch.i16Epoch == entry.i16Epoch;
}

int64_t deadlineOf(const PCB *pcb, int64_t firstAppendMs) {
    int64_t deadline = firstAppendMs + pcb->u32DeliveryTimeoutMs;
    if (pcb->i64ProduceCallDeadlineMs != 0 && pcb->i64ProduceCallDeadlineMs < deadline)
        deadline = pcb->i64ProduceCallDeadlineMs;
    return deadline;
}

// Seals the partition's next open batch (its oldest re-batched records
// first) behind its sealed batches, its records compressed with the
// session's codec: retries send these bytes as they are. Records that fail
// to compress are failed (7549) and taken off.
SealedBatch *seal(PCB *pcb, ProduceBatch *entry) {
    const ProduceBatch &open = *produce_next_open(entry);
    uint64_t room = produce_records_room(pcb, open.u32Length);
    uint64_t capacity = kProduceBatchHeaderBytes + room;
    uint8_t *bytes = capacity <= UINT32_MAX ? static_cast<uint8_t *>(malloc(capacity)) : nullptr;
    SealedBatch *grown =
        bytes ? static_cast<SealedBatch *>(
                    realloc(entry->pSealed, (entry->u32SealedCount + 1) * sizeof(SealedBatch)))
              : nullptr;
    if (!grown) {
        free(bytes);
        produce_no_memory(pcb, "pBuff");
        return nullptr;
    }
    entry->pSealed = grown;
    uint32_t written = 0;
    int16_t codec = 0;
    if (!produce_write_records(pcb, open, bytes + kProduceBatchHeaderBytes, room, &written,
                               &codec)) {
        free(bytes);
        produce_take_open(pcb, entry);
        return nullptr;
    }
    uint32_t length = static_cast<uint32_t>(kProduceBatchHeaderBytes) + written;
    if (length < capacity) {
        uint8_t *shrunk = static_cast<uint8_t *>(realloc(bytes, length));
        if (shrunk)
            bytes = shrunk;
    }
    memset(bytes, 0, kProduceBatchHeaderBytes);
    putBe(bytes + kBatchLengthAt, length - 12, 4);
    bytes[kMagicAt] = kRecordBatchMagic;
    putBe(bytes + kAttributesAt, static_cast<uint16_t>(codec), 2);
    putBe(bytes + kLastOffsetDeltaAt, open.u32Records - 1, 4);
    putBe(bytes + kFirstTimestampAt, static_cast<uint64_t>(open.i64FirstTimestamp), 8);
    putBe(bytes + kMaxTimestampAt, static_cast<uint64_t>(open.i64MaxTimestamp), 8);
    putBe(bytes + kRecordCountAt, open.u32Records, 4);
    SealedBatch *batch = &grown[entry->u32SealedCount++];
    *batch = SealedBatch{};
    batch->pBytes = bytes;
    batch->u32Length = length;
    batch->u32Records = open.u32Records;
    batch->i32Broker = -1;
    batch->i64DeadlineMs = deadlineOf(pcb, open.i64FirstAppendMs);
    stamp(batch, *entry, entry->i32NextSequence);
    entry->i32NextSequence = advance(entry->i32NextSequence, batch->u32Records);
    pcb->ullSealedRecords += batch->u32Records;
    produce_take_open(pcb, entry);
    return batch;
}

void removeSealed(PCB *pcb, ProduceBatch *entry, uint32_t index) {
    pcb->ullSealedRecords -= entry->pSealed[index].u32Records;
    free(entry->pSealed[index].pBytes);
    memmove(&entry->pSealed[index], &entry->pSealed[index + 1],
            (entry->u32SealedCount - index - 1) * sizeof(SealedBatch));
    if (--entry->u32SealedCount == 0) {
        free(entry->pSealed);
        entry->pSealed = nullptr;
    }
}

void acknowledge(PCB *pcb, ProduceBatch *entry, uint32_t index) {
    if (current(entry->pSealed[index], *entry))
        entry->u32EpochAcked = 1;
    pcb->ullMsgsProduced += entry->pSealed[index].u32Records;
    removeSealed(pcb, entry, index);
}

void failSealed(PCB *pcb, ProduceBatch *entry, uint32_t index, uint32_t msgNum, const char *why) {
    const SealedBatch &batch = entry->pSealed[index];
    if (msgNum == ERR_DELIVERY_TIMEOUT)
        bqx_log_vf(msgNum, pcb, kTag, -1, entry->i32Partition, 4,
                   static_cast<long long>(batch.u32Records), entry->i32Partition,
                   static_cast<int>(pcb->u32DeliveryTimeoutMs), batch.i32LastError);
    else
        bqx_log_vf(msgNum, pcb, kTag, -1, entry->i32Partition, 3,
                   static_cast<long long>(batch.u32Records), entry->i32Partition, why);
    kafka_produce_failed(pcb, batch.u32Records, static_cast<int32_t>(msgNum));
    removeSealed(pcb, entry, index);
}

uint32_t inFlight(const ProduceBatch &entry) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < entry.u32SealedCount; ++i)
        count += entry.pSealed[i].u8InFlight;
    return count;
}

// The partition moves to its next epoch; its batches are stamped again
// once nothing of it is in flight (restartIfIdle). Past the last epoch of
// its producer id it waits for a new id (produce_idem_renew).
void nextEpoch(ProduceBatch *entry) {
    if (entry->i16Epoch == INT16_MAX) {
        entry->u32NewIdDue = 1;
        return;
    }
    entry->i16Epoch++;
    if (entry->u32SealedCount == 0) { // nothing to stamp again: the next batch starts it
        entry->i32NextSequence = 0;
        entry->u32EpochAcked = 0;
    }
}

bool restartDue(const ProduceBatch &entry) {
    if (entry.u32NewIdDue)
        return true;
    for (uint32_t i = 0; i < entry.u32SealedCount; ++i)
        if (!current(entry.pSealed[i], entry))
            return true;
    return false;
}

void restartIfIdle(PCB *pcb, ProduceBatch *entry) {
    if (!restartDue(*entry) || entry->u32NewIdDue || inFlight(*entry) > 0)
        return;
    for (uint32_t i = 0; i < entry->u32SealedCount;) {
        SealedBatch &batch = entry->pSealed[i];
        if (batch.u8MaybeWritten)
            failSealed(pcb, entry, i, ERR_MAYBE_LOST,
                       "an attempt got no verdict before the partition's sequence had to restart");
        else
            ++i;
    }
    int32_t sequence = 0;
    for (uint32_t i = 0; i < entry->u32SealedCount; ++i) {
        stamp(&entry->pSealed[i], *entry, sequence);
        sequence = advance(sequence, entry->pSealed[i].u32Records);
    }
    entry->i32NextSequence = sequence;
    entry->u32Round++;
    entry->u32EpochAcked = 0;
}

// A batch removed from the sequence without being stored: the next batch
// takes its sequence when nothing followed it, else the epoch moves on.
void closeGap(ProduceBatch *entry, uint32_t index, int32_t sequence) {
    if (index == entry->u32SealedCount)
        entry->i32NextSequence = sequence;
    else
        nextEpoch(entry);
}

ProduceBatch *findEntry(PCB *pcb, int32_t partition) {
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i)
        if (pcb->pProduceBatches[i].i32Partition == partition)
            return &pcb->pProduceBatches[i];
    return nullptr;
}

// The batch in flight in request `correlId`. A partition's batches in
// flight all went to one broker entry, so the correlation id tells them
// apart, even after a Metadata refresh has moved the entry's index.
int32_t findInFlight(const ProduceBatch *entry, uint32_t correlId) {
    for (uint32_t i = 0; entry && i < entry->u32SealedCount; ++i) {
        const SealedBatch &batch = entry->pSealed[i];
        if (batch.u8InFlight && batch.u32CorrelID == correlId)
            return static_cast<int32_t>(i);
    }
    return -1;
}

// Whether broker entry `broker` still awaits the reply to `correlId`.
bool awaited(const PCB *pcb, int32_t broker, uint32_t correlId) {
    if (broker < 0 || static_cast<uint32_t>(broker) >= pcb->u32BrokerCount)
        return false;
    for (const PendingRequest *r = pcb->pBrokerList[broker].pPendingHead; r; r = r->pNext)
        if (r->u32CorrelID == correlId)
            return true;
    return false;
}

// The attempt failed and goes again in the partition's next round.
void awaitRetry(PCB *pcb, ProduceBatch *entry, SealedBatch *batch, int32_t error,
                bool maybeWritten) {
    batch->u8InFlight = 0;
    batch->i32Broker = -1;
    batch->i32LastError = error;
    batch->u8MaybeWritten |= maybeWritten ? 1 : 0;
    entry->u32Round++;
    pcb->u32MetadataStale = 1;
}

// Whether the batch is the oldest of its partition's current sequence: a
// refusal of its sequence then means the broker's state and ours part.
// Later batches, and batches of an epoch the partition has left, are
// refused because of an earlier one.
bool oldestUnsettled(const ProduceBatch &entry, uint32_t index) {
    if (!current(entry.pSealed[index], entry))
        return false;
    return index == 0 || !current(entry.pSealed[0], entry);
}

// An attempt unanswered for longer than `waitMs`: its connection is given
// up, which sends it again (kafka_produce_idem_dropped); one whose request
// is no longer awaited at all waits for its retry at once. True when
// something changed.
bool giveUpSilent(PCB *pcb, uint32_t entryIndex, int64_t now, int64_t waitMs) {
    ProduceBatch *entry = &pcb->pProduceBatches[entryIndex];
    for (uint32_t k = 0; k < entry->u32SealedCount; ++k) {
        SealedBatch *batch = &entry->pSealed[k];
        if (!batch->u8InFlight || now - batch->i64SentMs <= waitMs)
            continue;
        if (awaited(pcb, batch->i32Broker, batch->u32CorrelID))
            kafka_clearBroker(pcb, static_cast<uint32_t>(batch->i32Broker), 0);
        entry = &pcb->pProduceBatches[entryIndex];
        if (k < entry->u32SealedCount && &entry->pSealed[k] == batch && batch->u8InFlight)
            awaitRetry(pcb, entry, batch, WRN_NO_REPLY, true);
        return true;
    }
    return false;
}

// No new producer id came for a partition past its last epoch: its
// unsettled records fail (7547) rather than wait for an id forever; its
// next records ask again.
void failForNoId(PCB *pcb, ProduceBatch *entry, const char *why) {
    char text[128];
    snprintf(text, sizeof text, "no new producer id after the partition's last epoch: %s", why);
    while (entry->u32SealedCount > 0)
        failSealed(pcb, entry, 0, ERR_MAYBE_LOST, text);
    uint64_t open = produce_open_records(*entry);
    if (open == 0)
        return;
    bqx_log_vf(ERR_MAYBE_LOST, pcb, kTag, -1, entry->i32Partition, 3, static_cast<long long>(open),
               entry->i32Partition, text);
    produce_fail_open(pcb, entry, ERR_MAYBE_LOST);
}

bool renewalWanted(const ProduceBatch &entry) { return entry.u32NewIdDue && inFlight(entry) == 0; }

} // namespace

int32_t produce_idem_renew(PCB *pcb) {
    bool wanted = false;
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        const ProduceBatch &entry = pcb->pProduceBatches[i];
        wanted = wanted || (renewalWanted(entry) && produce_idem_held(entry) > 0);
    }
    if (!wanted)
        return 0;
    const char *why = "";
    int32_t rc = kafka_initproducerid_again(pcb, &why);
    if (rc == ERR_HANDLE || rc == ERR_NO_BROKER_CONNECTED)
        return rc == ERR_HANDLE ? rc : 0; // without a broker: asked again later
    // Replies taken in while asking may have settled batches: entries are
    // looked at afresh.
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        if (!renewalWanted(*entry))
            continue;
        if (rc != 0) {
            failForNoId(pcb, entry, why);
            continue;
        }
        entry->u32NewIdDue = 0;
        entry->i64ProducerId = pcb->i64ProducerId;
        entry->i16Epoch = pcb->i16ProducerEpoch;
        entry->i32NextSequence = 0;
        entry->u32EpochAcked = 0;
        restartIfIdle(pcb, entry);
    }
    return 0;
}

bool produce_idem_sendable(PCB *pcb, ProduceBatch *entry, int32_t broker) {
    if (pcb->u32ProducerIdState != kProducerIdHeld)
        return false;
    restartIfIdle(pcb, entry);
    if (restartDue(*entry))
        return false;
    uint32_t flying = 0;
    bool waiting = false, retrying = false;
    for (uint32_t i = 0; i < entry->u32SealedCount; ++i) {
        const SealedBatch &batch = entry->pSealed[i];
        retrying = retrying || batch.i32LastError != 0 || batch.u8MaybeWritten;
        if (!batch.u8InFlight) {
            waiting = true;
            continue;
        }
        if (batch.i32Broker != broker || batch.u32Round != entry->u32Round)
            return false;
        ++flying;
    }
    if (flying >= kIdempotentWindow || (flying > 0 && (retrying || !entry->u32EpochAcked)))
        return false;
    return waiting || (entry->i32ProbeBroker < 0 && produce_next_open(entry)->u32Records > 0);
}

SealedBatch *produce_idem_next(PCB *pcb, ProduceBatch *entry, int32_t broker) {
    if (!produce_idem_sendable(pcb, entry, broker))
        return nullptr;
    for (uint32_t i = 0; i < entry->u32SealedCount; ++i)
        if (!entry->pSealed[i].u8InFlight)
            return &entry->pSealed[i];
    return seal(pcb, entry);
}

void produce_idem_sent(PCB *pcb, SealedBatch *batch, int32_t broker, uint32_t correlId) {
    // Entries are found again by partition: `batch` stays valid until the
    // next change of its list, which only this call's caller makes.
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch &entry = pcb->pProduceBatches[i];
        if (batch < entry.pSealed || batch >= entry.pSealed + entry.u32SealedCount)
            continue;
        if (batch->i32LastError != 0 || batch->u8MaybeWritten)
            pcb->ullRetriedRequests++;
        batch->u8InFlight = 1;
        batch->i32Broker = broker;
        batch->u32CorrelID = correlId;
        batch->u32Round = entry.u32Round;
        batch->i64SentMs = transport_monotonicMs();
        return;
    }
}

IdemVerdict kafka_produce_idem_settle(PCB *pcb, uint32_t broker, uint32_t correlId,
                                      int32_t partition, int16_t errorCode) {
    ProduceBatch *entry = findEntry(pcb, partition);
    (void)broker;
    int32_t found = findInFlight(entry, correlId);
    if (found < 0)
        return IdemVerdict::kNone;
    uint32_t index = static_cast<uint32_t>(found);
    SealedBatch *batch = &entry->pSealed[index];
    if (errorCode == 0 || errorCode == kDuplicateSequence) {
        acknowledge(pcb, entry, index);
        return IdemVerdict::kAcked;
    }
    bool older = !oldestUnsettled(*entry, index);
    if (retriable(errorCode) ||
        ((errorCode == kOutOfOrderSequence || errorCode == kUnknownProducerId) && older)) {
        kafka_produce_leader_error(pcb, errorCode);
        awaitRetry(pcb, entry, batch, errorCode, uncertain(errorCode));
        return IdemVerdict::kRetry;
    }
    if (errorCode == kUnknownProducerId) {
        // The broker no longer knows the producer (its records were deleted
        // by retention): the partition's sequence starts again, nothing lost.
        awaitRetry(pcb, entry, batch, errorCode, false);
        nextEpoch(entry);
        return IdemVerdict::kRetry;
    }
    if (errorCode == kOutOfOrderSequence) {
        // The oldest unsettled batch is not the one the broker expects:
        // the partition lost acknowledged batches (unclean leader election)
        // or our state is wrong. Report it, go on in the next epoch.
        batch->u8InFlight = 0;
        failSealed(pcb, entry, index, ERR_MAYBE_LOST,
                   "the broker's sequence does not follow the acknowledged batches "
                   "(OUT_OF_ORDER_SEQUENCE_NUMBER)");
        nextEpoch(entry);
        return IdemVerdict::kFailed;
    }
    // Refused and not written (too large, invalid, not authorised): the
    // caller re-batches or fails the records.
    int32_t sequence = batch->i32Sequence;
    batch->u8InFlight = 0;
    removeSealed(pcb, entry, index);
    closeGap(entry, index, sequence);
    return IdemVerdict::kNone;
}

bool kafka_produce_idem_dropped(PCB *pcb, uint32_t broker, uint32_t correlId, int32_t partition) {
    (void)broker;
    ProduceBatch *entry = findEntry(pcb, partition);
    int32_t found = findInFlight(entry, correlId);
    if (found < 0)
        return false;
    awaitRetry(pcb, entry, &entry->pSealed[found], WRN_NO_REPLY, true);
    return true;
}

void produce_idem_expire(PCB *pcb) {
    int64_t now = transport_monotonicMs();
    int64_t replyWaitMs = transport_replyWaitMs(pcb);
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        // An attempt unanswered past the reply wait: its connection is
        // given up, which sends the attempt again (kafka_produce_idem_dropped).
        while (giveUpSilent(pcb, i, now, replyWaitMs))
            entry = &pcb->pProduceBatches[i];
        for (uint32_t k = 0; k < entry->u32SealedCount;) {
            const SealedBatch &batch = entry->pSealed[k];
            if (batch.u8InFlight || now < batch.i64DeadlineMs) {
                ++k;
                continue;
            }
            int32_t sequence = batch.i32Sequence;
            failSealed(pcb, entry, k, ERR_DELIVERY_TIMEOUT, "");
            closeGap(entry, k, sequence);
        }
        restartIfIdle(pcb, entry);
        const ProduceBatch *open = produce_next_open(entry);
        if (open->u32Records > 0 && now >= deadlineOf(pcb, open->i64FirstAppendMs) &&
            entry->u32SealedCount == 0) {
            bqx_log_vf(ERR_DELIVERY_TIMEOUT, pcb, kTag, -1, entry->i32Partition, 4,
                       static_cast<long long>(produce_open_records(*entry)), entry->i32Partition,
                       static_cast<int>(pcb->u32DeliveryTimeoutMs), ERR_NO_BROKER_CONNECTED);
            produce_fail_open(pcb, entry, ERR_DELIVERY_TIMEOUT);
        }
    }
}

int64_t produce_idem_next_deadline(const PCB *pcb) {
    int64_t earliest = INT64_MAX;
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        const ProduceBatch &entry = pcb->pProduceBatches[i];
        for (uint32_t k = 0; k < entry.u32SealedCount; ++k)
            if (entry.pSealed[k].i64DeadlineMs < earliest)
                earliest = entry.pSealed[k].i64DeadlineMs;
        const ProduceBatch *open = produce_next_open(&entry);
        if (open->u32Records > 0 && deadlineOf(pcb, open->i64FirstAppendMs) < earliest)
            earliest = deadlineOf(pcb, open->i64FirstAppendMs);
    }
    return earliest;
}

uint64_t produce_idem_held(const ProduceBatch &entry) {
    uint64_t records = produce_open_records(entry);
    for (uint32_t i = 0; i < entry.u32SealedCount; ++i)
        records += entry.pSealed[i].u32Records;
    return records;
}

void produce_idem_free(PCB *pcb, ProduceBatch *entry) {
    uint64_t records = 0;
    for (uint32_t i = 0; i < entry->u32SealedCount; ++i) {
        records += entry->pSealed[i].u32Records;
        free(entry->pSealed[i].pBytes);
    }
    free(entry->pSealed);
    entry->pSealed = nullptr;
    entry->u32SealedCount = 0;
    pcb->ullSealedRecords -= records < pcb->ullSealedRecords ? records : pcb->ullSealedRecords;
    kafka_produce_failed(pcb, records, ERR_NO_BROKER_CONNECTED);
}
