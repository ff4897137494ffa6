// Sending for an idempotent session: one Produce request per broker with
// the batch each of its partitions may send (produce_idem.cpp decides
// which), and the wait that keeps a partition's records in the session
// while its leader is gone. Such records are sent again once Metadata
// names a leader that accepts a connection; a broker that refuses one is
// tried again after a back-off of 50 ms doubling to 1 s. Nothing fails
// before its delivery deadline.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "api/session.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "produce/produce_failover.h"
#include "produce/produce_idem.h"
#include "produce/produce_internal.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kTag = "Produce";
constexpr int32_t kProduceTimeoutMs = 30000;
constexpr uint32_t kCorrelIdAt = 8;
// A partition section's head: partition id and record set size.
constexpr uint64_t kPartitionHeadBytes = 8;
constexpr uint32_t kFirstBackOffMs = 50;
constexpr uint32_t kLastBackOffMs = 1000;
// Waits for replies are cut at this length, so that deadlines are looked at.
constexpr int64_t kLongestWaitMs = 1000;

uint32_t backOffMs(uint32_t failures) {
    uint32_t ms = kFirstBackOffMs;
    for (uint32_t i = 1; i < failures && ms < kLastBackOffMs; ++i)
        ms *= 2;
    return ms < kLastBackOffMs ? ms : kLastBackOffMs;
}

// Whether `broker` is connected, connecting it unless it is in its
// back-off. A failure starts or lengthens the back-off and marks the
// Metadata stale: the leader may have moved.
} // namespace

bool produce_idem_reachable(PCB *pcb, int32_t broker) {
    BrokerEntry *entry = &pcb->pBrokerList[broker];
    if (entry->i32Socket != -1)
        return true;
    if (transport_monotonicMs() < entry->i64ConnectRetryMs)
        return false;
    const BrokerEntry *table = pcb->pBrokerList;
    int32_t rc = kafka_connect(pcb, static_cast<uint32_t>(broker));
    if (pcb->pBrokerList != table || rc == ERR_HANDLE)
        return false;
    entry = &pcb->pBrokerList[broker];
    if (rc == 0) {
        entry->u32ConnectFailures = 0;
        entry->i64ConnectRetryMs = 0;
        return true;
    }
    // kafka_connect has counted the failure.
    entry->i64ConnectRetryMs = transport_monotonicMs() + backOffMs(entry->u32ConnectFailures);
    pcb->u32MetadataStale = 1;
    return false;
}

namespace {

struct Picked {
    SealedBatch **batches; // one per partition entry, null where none goes
    uint64_t bytes;
    uint32_t partitions;
};

Picked pick(PCB *pcb, int32_t broker) {
    Picked picked = {
        static_cast<SealedBatch **>(calloc(pcb->u32ProduceBatchCount + 1, sizeof(SealedBatch *))),
        0, 0};
    for (uint32_t i = 0; picked.batches && i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        if (produce_leader_of(pcb, entry->i32Partition) != broker)
            continue;
        SealedBatch *batch = produce_idem_next(pcb, entry, broker);
        if (!batch)
            continue;
        picked.batches[i] = batch;
        picked.bytes += kPartitionHeadBytes + batch->u32Length;
        picked.partitions++;
    }
    return picked;
}

PendingRequest *buildRequest(PCB *pcb, int32_t broker, const Picked &picked) {
    int32_t position = -1;
    PendingRequest *pending =
        produce_request_begin(pcb, broker, picked.bytes, static_cast<int32_t>(picked.partitions),
                              kProduceTimeoutMs, &position);
    if (!pending)
        return nullptr;
    uint8_t *buffer = pending->abRequest;
    uint32_t capacity = pending->u32Length;
    for (uint32_t i = 0; position > 0 && i < pcb->u32ProduceBatchCount; ++i) {
        const SealedBatch *batch = picked.batches[i];
        if (!batch)
            continue;
        position = kafka_marshall_new(pcb, buffer, capacity, position, "i4i4",
                                      pcb->pProduceBatches[i].i32Partition,
                                      static_cast<int32_t>(batch->u32Length));
        if (position < 0 || static_cast<uint64_t>(position) + batch->u32Length > capacity)
            position = -1;
        else
            memcpy(buffer + position, batch->pBytes, batch->u32Length),
                position += static_cast<int32_t>(batch->u32Length);
    }
    if (position <= 0) {
        free(pending);
        return nullptr;
    }
    pending->u32Length = static_cast<uint32_t>(position);
    return pending;
}

uint64_t heldRecords(const PCB *pcb, int32_t partition, bool sealedToo) {
    uint64_t records = 0;
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        const ProduceBatch &entry = pcb->pProduceBatches[i];
        if (partition < 0 || entry.i32Partition == partition)
            records += sealedToo ? produce_idem_held(entry) : produce_open_records(entry);
    }
    return records;
}

bool anyPending(const PCB *pcb) {
    for (uint32_t i = 0; i < pcb->u32BrokerCount; ++i)
        if (pcb->pBrokerList[i].pPendingHead)
            return true;
    return false;
}

// Whether a partition holds records of which none is in flight: it waits
// for a leader, a connection or room.
bool anyStuck(const PCB *pcb) {
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        const ProduceBatch &entry = pcb->pProduceBatches[i];
        bool flying = false;
        for (uint32_t k = 0; k < entry.u32SealedCount; ++k)
            flying = flying || entry.pSealed[k].u8InFlight;
        if (!flying && produce_idem_held(entry) > 0)
            return true;
    }
    return false;
}

// Asks for fresh Metadata when it is stale, at most once per back-off.
void refreshIfDue(PCB *pcb) {
    int64_t now = transport_monotonicMs();
    if (!pcb->u32MetadataStale || now < pcb->i64ProduceRetryMs)
        return;
    kafka_meta_refresh(pcb);
    if (pcb->u32ProduceBackOffMs == 0)
        pcb->u32ProduceBackOffMs = kFirstBackOffMs;
    pcb->i64ProduceRetryMs = transport_monotonicMs() + pcb->u32ProduceBackOffMs;
    if (pcb->u32ProduceBackOffMs < kLastBackOffMs)
        pcb->u32ProduceBackOffMs *= 2;
}

// Takes in replies for up to `ms`, or pauses as long when none is awaited.
int32_t waitAWhile(PCB *pcb, int64_t ms) {
    if (!anyPending(pcb))
        return bqx_pause(pcb, kTag, ms);
    int64_t saved = pcb->i64WaitDeadlineMs;
    int64_t until = transport_monotonicMs() + ms;
    if (saved == 0 || until < saved)
        pcb->i64WaitDeadlineMs = until;
    int32_t rc = kafka_waitReply(pcb, WAIT_ONCE, 0);
    pcb->i64WaitDeadlineMs = saved;
    return rc == ERR_HANDLE ? rc : 0;
}

} // namespace

bool produce_idem_wanted(const PCB *pcb) {
    return pcb->u32IdempotentRun && (pcb->u32Batched || pcb->u32Synchronous) &&
           pcb->u32ProducerIdState != kProducerIdRefused;
}

bool produce_idem_on(const PCB *pcb) {
    return produce_idem_wanted(pcb) && pcb->u32ProducerIdState == kProducerIdHeld;
}

int32_t produce_idem_begin(PCB *pcb) {
    if (produce_idem_on(pcb))
        return produce_idem_renew(pcb);
    if (!produce_idem_wanted(pcb) || pcb->u32ProducerIdState != kProducerIdUnknown)
        return 0;
    int32_t rc = kafka_initproducerid(pcb);
    for (uint32_t i = 0; produce_idem_on(pcb) && i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch &entry = pcb->pProduceBatches[i];
        if (entry.u32SealedCount == 0) {
            entry.i64ProducerId = pcb->i64ProducerId;
            entry.i16Epoch = pcb->i16ProducerEpoch;
            entry.i32NextSequence = 0;
            entry.u32NewIdDue = 0;
        }
    }
    return rc;
}

int32_t produce_idem_send_broker(PCB *pcb, int32_t broker) {
    if (!produce_idem_reachable(pcb, broker) ||
        static_cast<uint32_t>(broker) >= pcb->u32BrokerCount)
        return 0; // the records wait for the connection or a new leader
    Picked picked = pick(pcb, broker);
    if (!picked.batches)
        return produce_no_memory(pcb, "pBuff");
    if (picked.partitions == 0) {
        free(picked.batches);
        return 0;
    }
    int64_t started = pcb->iDebugLevel != 0 ? getTimeStamp() : 0;
    PendingRequest *pending = buildRequest(pcb, broker, picked);
    if (!pending) {
        free(picked.batches);
        return produce_no_memory(pcb, "pBuff");
    }
    if (pcb->iDebugLevel != 0)
        pcb->ullMarshallTime += static_cast<uint64_t>(getTimeStamp() - started);
    uint32_t correlId = transport_readBe32(pending->abRequest + kCorrelIdAt);
    int32_t rc = kafka_sendpending(pcb, static_cast<uint32_t>(broker), pending);
    // A request that did not go out leaves its batches waiting; one that
    // did is settled by its reply or by the loss of its connection.
    if (rc == 0) {
        for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
            if (!picked.batches[i])
                continue;
            // A batch above every size the topic has accepted is its
            // partition's last in flight until its reply (produce_batch.cpp).
            ProduceBatch &entry = pcb->pProduceBatches[i];
            if (picked.batches[i]->u32Length > pcb->u32BatchProven) {
                entry.i32ProbeBroker = broker;
                entry.u32ProbeCorrelID = correlId;
            }
            produce_idem_sent(pcb, picked.batches[i], broker, correlId);
        }
        if (!pcb->u32MetadataStale)
            pcb->u32ProduceBackOffMs = 0;
    }
    free(picked.batches);
    return rc;
}

void produce_idem_send_where_room(PCB *pcb, bool paced) {
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        if (produce_idem_held(*entry) == 0)
            continue;
        int32_t broker = produce_leader_of(pcb, entry->i32Partition);
        if (broker < 0) {
            pcb->u32MetadataStale = 1;
            continue;
        }
        if (paced && !produce_worth_sending(pcb, broker, *entry))
            continue;
        if (produce_idem_sendable(pcb, entry, broker) && produce_has_room(pcb, broker) &&
            produce_idem_send_broker(pcb, broker) == ERR_HANDLE)
            return;
    }
}

int32_t produce_idem_drain(PCB *pcb, int32_t partition, bool sealedToo) {
    for (;;) {
        int32_t rc = produce_idem_begin(pcb);
        if (rc == ERR_HANDLE || !produce_idem_on(pcb))
            return rc;
        produce_idem_expire(pcb);
        if (heldRecords(pcb, partition, sealedToo) == 0)
            return 0;
        refreshIfDue(pcb);
        produce_idem_send_where_room(pcb, false);
        if (heldRecords(pcb, partition, sealedToo) == 0)
            return 0;
        int64_t waitMs = kLongestWaitMs;
        if (anyStuck(pcb)) {
            int64_t untilRefresh = pcb->i64ProduceRetryMs - transport_monotonicMs();
            waitMs = untilRefresh < kFirstBackOffMs ? kFirstBackOffMs : untilRefresh;
        }
        // Wake up for the earliest delivery deadline too.
        int64_t untilDeadline = produce_idem_next_deadline(pcb) - transport_monotonicMs();
        if (untilDeadline < waitMs)
            waitMs = untilDeadline > 1 ? untilDeadline : 1;
        rc = waitAWhile(pcb, waitMs);
        if (rc != 0)
            return rc;
    }
}

int32_t kafka_produce_idem_one(PCB *pcb, const char *message, uint32_t messageLen) {
    ProduceValue value{};
    ProduceKey key{};
    uint32_t chosen = 0;
    int32_t rc = produce_prepare(pcb, message, messageLen, &value, &key, &chosen, true);
    if (rc == 0) {
        int32_t partition = pcb->pPartitionList[chosen].i32Partition;
        int64_t waitMs = transport_replyWaitMs(pcb);
        if (waitMs > pcb->u32DeliveryTimeoutMs)
            waitMs = pcb->u32DeliveryTimeoutMs;
        pcb->i64ProduceCallDeadlineMs = transport_monotonicMs() + waitMs;
        uint64_t failedBefore = pcb->ullProduceFailed;
        rc = produce_collect(pcb, partition, key, value);
        if (rc == 0)
            rc = produce_idem_drain(pcb, partition, true);
        pcb->i64ProduceCallDeadlineMs = 0;
        if (rc == 0 && pcb->ullProduceFailed > failedBefore)
            rc = pcb->i32ProduceLastError;
    }
    free(value.owned);
    return rc;
}
