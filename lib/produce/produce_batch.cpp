// Synch mode 4, batched pipelined produce. BQXPROD appends each record to
// the open batch of its partition and returns. A broker's batches go out
// together, one Produce request (version 7) with one batch per partition,
// whenever that broker has fewer requests awaiting replies than the send
// window allows. Batches therefore grow only while the broker is busy: a
// broker that keeps up gets every record at once, with no timer and no
// added latency, and a busy one gets them in few large requests.
//
// A topic may refuse batches above its own limit (max.message.bytes). A
// refused batch stores nothing, but the broker goes on with the requests
// behind it on the connection, so a later, smaller batch of the partition
// would be stored ahead of the refused records when they are sent again.
// Hence a batch larger than any the topic has accepted is a probe: it is
// the partition's last batch in flight until its reply has come. Batches
// up to an accepted size pipeline freely. produce_resend.cpp re-batches
// refused records, which then go out before the partition's open batch.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "produce/produce_idem.h"
#include "produce/produce_internal.h"
#include "produce/produce_resend.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kTag = "Produce";
constexpr int32_t kProduceKey = 0;
constexpr int32_t kProduceVersion = 7;
constexpr int32_t kProduceTimeoutMs = 1500;
constexpr int32_t kRecordBatchMagic = 2;

// A batch is closed at this many records or bytes (batch header included),
// or at the smaller limit learnt from a refusal; a record too big for an
// empty batch travels alone.
constexpr uint64_t kBatchMaxBytes = kProduceBatchMaxBytes;
constexpr uint64_t kBatchHeaderBytes = kProduceBatchHeaderBytes;
// The partition index and records size in front of a batch.
constexpr uint64_t kPartitionHeadBytes = 8;
// The request header and topic section: size to client id (14 + its
// converted bytes), transactional id to partition count (22 + the topic's).
constexpr uint64_t kFixedHeaderBytes = 14;
constexpr uint64_t kTopicSectionBytes = 22;
constexpr uint64_t kMaxRequestBytes = 0x7FFFFFFF; // positions are signed 32-bit
constexpr uint32_t kCheckUnit = 4096;
constexpr uint32_t kCheckEvery = 65536;
constexpr uint32_t kCorrelIdAt = 8; // behind the size, API key and version

uint32_t readBe32(const uint8_t *bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// A buffer grown beyond the batch limit by one big record is given back,
// so that open batches hold at most about the limit per partition.
void emptyBatch(PCB *pcb, ProduceBatch *batch) {
    pcb->ullBatchedRecords -= batch->u32Records;
    batch->u32Records = 0;
    batch->u32Length = 0;
    if (batch->u32Capacity > kBatchMaxBytes) {
        free(batch->pRecords);
        batch->pRecords = nullptr;
        batch->u32Capacity = 0;
    }
}

// The batch the partition's entry sends next: its oldest refused records,
// else its open batch.
ProduceBatch *nextBatch(ProduceBatch *entry) {
    return entry->u32ResendCount ? entry->pResend : entry;
}

uint64_t heldRecords(const ProduceBatch &entry) {
    uint64_t records = entry.u32Records;
    for (uint32_t i = 0; i < entry.u32ResendCount; ++i)
        records += entry.pResend[i].u32Records;
    return records;
}

bool sendable(ProduceBatch *entry) {
    return entry->i32ProbeBroker < 0 && nextBatch(entry)->u32Records > 0;
}

void dropFirstResend(PCB *pcb, ProduceBatch *entry) {
    ProduceBatch *first = entry->pResend;
    pcb->ullBatchedRecords -= first->u32Records;
    free(first->pRecords);
    memmove(first, first + 1, (entry->u32ResendCount - 1) * sizeof(ProduceBatch));
    if (--entry->u32ResendCount == 0) {
        free(entry->pResend);
        entry->pResend = nullptr;
    }
}

// Empties the entry: its refused records and its open batch.
void emptyEntry(PCB *pcb, ProduceBatch *entry) {
    while (entry->u32ResendCount > 0)
        dropFirstResend(pcb, entry);
    emptyBatch(pcb, entry);
}

// The partition-list entry of `partition`, or null. Lists are usually in
// partition order, so the id is tried as the index first.
const PartitionEntry *entryOf(const PCB *pcb, int32_t partition) {
    if (partition >= 0 && static_cast<uint32_t>(partition) < pcb->u32PartitionCount &&
        pcb->pPartitionList && pcb->pPartitionList[partition].i32Partition == partition)
        return &pcb->pPartitionList[partition];
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].i32Partition == partition)
            return &pcb->pPartitionList[i];
    return nullptr;
}

// Index of the broker that leads `partition` now, -1 when none is known.
int32_t leaderOf(const PCB *pcb, int32_t partition) {
    const PartitionEntry *entry = entryOf(pcb, partition);
    if (!entry || entry->i32Leader == -1 || entry->i32BrokerIdx < 0 ||
        static_cast<uint32_t>(entry->i32BrokerIdx) >= pcb->u32BrokerCount)
        return -1;
    return entry->i32BrokerIdx;
}

// Records and request bytes of the batches whose partitions `broker` leads.
struct BrokerLoad {
    uint64_t records;
    uint64_t batchBytes;
    int32_t partitions;
};

BrokerLoad loadOf(PCB *pcb, int32_t broker) {
    BrokerLoad load = {0, 0, 0};
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        if (!sendable(entry) || leaderOf(pcb, entry->i32Partition) != broker)
            continue;
        const ProduceBatch &batch = *nextBatch(entry);
        load.records += batch.u32Records;
        load.batchBytes +=
            kPartitionHeadBytes + kBatchHeaderBytes + produce_records_room(pcb, batch.u32Length);
        load.partitions++;
    }
    return load;
}

// Writes one partition's entry: its index, the record set size and the
// batch, its records compressed with the session's codec, then its lengths
// and CRC-32C (attributes to the end). A batch whose compression failed is
// left out (u32WireBytes 0): the position stays where it was.
int32_t marshalBatch(PCB *pcb, uint8_t *buffer, uint32_t size, int32_t position,
                     ProduceBatch &batch) {
    int32_t start = position;
    int32_t lastOffsetDelta = static_cast<int32_t>(batch.u32Records - 1);
    position = kafka_marshall_new(pcb, buffer, size, position, "i4i4i8i4i4i1", batch.i32Partition,
                                  0, int64_t{0}, 0, 0, kRecordBatchMagic);
    if (position < 0)
        return position;
    int32_t crcAt = position;
    position = kafka_marshall_new(pcb, buffer, size, position, "i4i2i4i8i8i8i2i4i4", 0, 0,
                                  lastOffsetDelta, batch.i64FirstTimestamp, batch.i64MaxTimestamp,
                                  int64_t{-1}, -1, -1, static_cast<int32_t>(batch.u32Records));
    uint64_t room = produce_records_room(pcb, batch.u32Length);
    if (position < 0 || static_cast<uint64_t>(position) + room > size)
        return -1;
    uint32_t written = 0;
    int16_t codec = 0;
    if (!produce_write_records(pcb, batch, buffer + position, room, &written, &codec)) {
        batch.u32WireBytes = 0;
        return start;
    }
    position += static_cast<int32_t>(written);
    int32_t recordsSize = position - start - 8;
    kafka_marshall_new(pcb, buffer, size, start + 4, "i4", recordsSize);
    kafka_marshall_new(pcb, buffer, size, start + 16, "i4", recordsSize - 12);
    kafka_marshall_new(pcb, buffer, size, crcAt + 4, "i2", codec);
    uint32_t crc = crc32c(0, buffer + crcAt + 4, static_cast<uint64_t>(position - crcAt - 4));
    kafka_marshall_new(pcb, buffer, size, crcAt, "i4", static_cast<int32_t>(crc));
    batch.u32WireBytes = static_cast<uint32_t>(recordsSize);
    return position;
}

// A request built from a broker's batches: the records and partitions it
// carries; `nothing` when every batch failed to compress.
struct BuiltRequest {
    PendingRequest *pending;
    uint64_t records;
    int32_t partitions;
    bool nothing;
};

// Builds the request for `broker` from its batches into a pending record,
// given back down to its size when compression left room unused.
BuiltRequest buildRequest(PCB *pcb, int32_t broker, const BrokerLoad &load) {
    BuiltRequest built = {nullptr, 0, 0, false};
    int32_t position = -1;
    PendingRequest *pending = produce_request_begin(pcb, broker, load.batchBytes, load.partitions,
                                                    kProduceTimeoutMs, &position);
    if (!pending)
        return built;
    uint8_t *buffer = pending->abRequest;
    uint32_t size = pending->u32Length;
    int32_t partitionCountAt = position - 4;
    for (uint32_t i = 0; position > 0 && i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        if (!sendable(entry) || leaderOf(pcb, entry->i32Partition) != broker)
            continue;
        ProduceBatch *batch = nextBatch(entry);
        position = marshalBatch(pcb, buffer, size, position, *batch);
        if (position > 0 && batch->u32WireBytes > 0) {
            built.records += batch->u32Records;
            built.partitions++;
        }
    }
    if (position <= 0 || built.partitions == 0) {
        free(pending);
        built.nothing = position > 0;
        return built;
    }
    kafka_marshall_new(pcb, buffer, size, partitionCountAt, "i4", built.partitions);
    pending->u32Length = static_cast<uint32_t>(position);
    if (pending->u32Length < size) {
        void *shrunk = realloc(pending, sizeof(PendingRequest) + pending->u32Length);
        if (shrunk)
            pending = static_cast<PendingRequest *>(shrunk);
    }
    built.pending = pending;
    return built;
}

} // namespace

PendingRequest *produce_request_begin(PCB *pcb, int32_t broker, uint64_t sectionBytes,
                                      int32_t partitions, int32_t timeoutMs, int32_t *position) {
    const char *topic = pcb->pszTopic ? pcb->pszTopic : "";
    uint64_t headBytes =
        kFixedHeaderBytes + 2 * strlen(bqx_client_id(pcb)) + kTopicSectionBytes + 2 * strlen(topic);
    uint64_t size = headBytes + sectionBytes;
    PendingRequest *pending =
        size <= kMaxRequestBytes ? kafka_pending_new(static_cast<uint32_t>(size)) : nullptr;
    if (!pending)
        return nullptr;
    pending->u32Length = static_cast<uint32_t>(size); // the capacity, until the request is complete
    // Only the head is cleared: every byte behind it is written.
    int32_t at =
        kafka_marshall_ReqHdr(pcb, static_cast<uint32_t>(broker), pending->abRequest,
                              static_cast<uint32_t>(headBytes), kProduceKey, kProduceVersion);
    if (at > 0)
        at = kafka_marshall_new(pcb, pending->abRequest, static_cast<uint32_t>(size), at,
                                "i2i2i4i4nsi4", -1, static_cast<int32_t>(pcb->i16Acks), timeoutMs,
                                1, topic, 1, partitions);
    if (at <= 0) {
        free(pending);
        return nullptr;
    }
    *position = at;
    return pending;
}

namespace {

// Fails the records held for `broker` (counted for the next synch point)
// and empties their entries; with broker -1, those of partitions without a
// known leader.
void failBatches(PCB *pcb, int32_t broker, int32_t error) {
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        if (leaderOf(pcb, entry->i32Partition) != broker)
            continue;
        kafka_produce_failed(pcb, heldRecords(*entry), error);
        emptyEntry(pcb, entry);
    }
}

// Takes the batches that went out in the request `correlId` (and those
// that failed to compress) off their entries; a batch above every size the topic has accepted
// becomes its partition's probe.
void markSent(PCB *pcb, int32_t broker, uint32_t correlId) {
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        if (!sendable(entry) || leaderOf(pcb, entry->i32Partition) != broker)
            continue;
        ProduceBatch *batch = nextBatch(entry);
        // Sizes as sent: what the topic accepted was measured so too. A
        // batch whose compression failed has been counted as failed.
        bool probe = batch->u32WireBytes > pcb->u32BatchProven;
        if (batch == entry)
            emptyBatch(pcb, entry);
        else
            dropFirstResend(pcb, entry);
        if (probe) {
            entry->i32ProbeBroker = broker;
            entry->u32ProbeCorrelID = correlId;
        }
    }
}

// Connects the broker if its connection has gone. A broker that cannot be
// reached fails the records collected for it.
int32_t ensureConnected(PCB *pcb, int32_t broker) {
    const BrokerEntry &entry = pcb->pBrokerList[broker];
    if (entry.i32Socket != -1)
        return 0;
    int32_t rc = kafka_connect(pcb, static_cast<uint32_t>(broker));
    if (rc == 0)
        return 0;
    if (rc == ERR_HANDLE)
        return rc; // the session was taken over: its close deals with the batches
    pcb->u32MetadataStale = 1;
    bqx_log_vf(ERR_NO_BROKER_CONNECTED, pcb, kTag, -1, -1, 1,
               pcb->pszTopic ? pcb->pszTopic : "");
    failBatches(pcb, broker, ERR_NO_BROKER_CONNECTED);
    return ERR_NO_BROKER_CONNECTED;
}

// Sends every batch that `broker` leads in one request, without waiting.
// The records of a request that could not be built or sent are failed.
int32_t sendBroker(PCB *pcb, int32_t broker) {
    if (produce_idem_on(pcb))
        return produce_idem_send_broker(pcb, broker);
    int32_t rc = ensureConnected(pcb, broker);
    if (rc != 0)
        return rc;
    BrokerLoad load = loadOf(pcb, broker);
    if (load.records == 0)
        return 0;
    int64_t started = pcb->iDebugLevel != 0 ? getTimeStamp() : 0;
    BuiltRequest built = buildRequest(pcb, broker, load);
    if (built.nothing) {
        markSent(pcb, broker, 0);
        return 0;
    }
    PendingRequest *pending = built.pending;
    if (!pending) {
        rc = produce_no_memory(pcb, "pBuff");
        failBatches(pcb, broker, rc);
        return rc;
    }
    if (pcb->iDebugLevel != 0)
        pcb->ullMarshallTime += static_cast<uint64_t>(getTimeStamp() - started);
    // Sent or not, the batches are done: a request that failed to go out
    // is counted here, one lost later by the transport's drop.
    markSent(pcb, broker, readBe32(pending->abRequest + kCorrelIdAt));
    rc = kafka_sendpending(pcb, static_cast<uint32_t>(broker), pending);
    if (rc != 0) {
        kafka_produce_failed(pcb, built.records, rc);
        kafka_produce_unprobe(pcb, broker);
    }
    return rc;
}

uint32_t pendingAt(const PCB *pcb, int32_t broker) {
    return pcb->pBrokerList[broker].u32PendingCount;
}

bool hasRoom(const PCB *pcb, int32_t broker) {
    uint32_t window = pcb->u32SendWindow ? pcb->u32SendWindow : 1;
    return pendingAt(pcb, broker) < window;
}

// Waits until the partition's leader has room, then sends its batches.
int32_t sendWhenRoom(PCB *pcb, int32_t partition) {
    int32_t broker = leaderOf(pcb, partition);
    if (broker < 0) {
        bqx_log_vf(ERR_NO_BROKER_CONNECTED, pcb, kTag, -1, partition, 1,
                   pcb->pszTopic ? pcb->pszTopic : "");
        failBatches(pcb, -1, ERR_NO_BROKER_CONNECTED);
        return 0;
    }
    int32_t rc = kafka_waitWindow(pcb, static_cast<uint32_t>(broker));
    if (rc != 0)
        return rc;
    // The wait may have dispatched replies that changed the tables.
    broker = leaderOf(pcb, partition);
    return broker < 0 ? sendWhenRoom(pcb, partition) : sendBroker(pcb, broker);
}

// Waits for the reply to the partition's probe. A probe whose broker has
// nothing pending any more was dropped with its connection.
int32_t awaitProbe(PCB *pcb, int32_t partition) {
    for (;;) {
        ProduceBatch *entry = produce_batch_of(pcb, partition);
        if (!entry)
            return produce_no_memory(pcb, "pBuff");
        int32_t broker = entry->i32ProbeBroker;
        if (broker < 0)
            return 0;
        if (static_cast<uint32_t>(broker) >= pcb->u32BrokerCount || pendingAt(pcb, broker) == 0) {
            entry->i32ProbeBroker = -1;
            return 0;
        }
        int32_t rc = kafka_waitReply(pcb, WAIT_REPLY, static_cast<uint32_t>(broker));
        if (rc != 0)
            return rc;
    }
}

// Sends all that the partition holds, its refused records first, each
// probe answered before the next batch goes out.
int32_t drainPartition(PCB *pcb, int32_t partition) {
    for (;;) {
        ProduceBatch *entry = produce_batch_of(pcb, partition);
        if (!entry)
            return produce_no_memory(pcb, "pBuff");
        if (heldRecords(*entry) == 0)
            return 0;
        int32_t rc =
            entry->i32ProbeBroker >= 0 ? awaitProbe(pcb, partition) : sendWhenRoom(pcb, partition);
        if (rc != 0)
            return rc;
    }
}

// Sends the batches of every broker that has room (and, when the session
// compresses, batches worth a request). Called after replies came in,
// which may have made room at brokers other than the caller's.
void sendWhereRoom(PCB *pcb) {
    if (produce_idem_on(pcb)) {
        produce_idem_send_where_room(pcb, true);
        return;
    }
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount && pcb->ullBatchedRecords > 0; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        int32_t broker = leaderOf(pcb, entry->i32Partition);
        if (sendable(entry) && broker >= 0 && hasRoom(pcb, broker) &&
            produce_worth_sending(pcb, broker, *entry))
            sendBroker(pcb, broker);
    }
}

// After an append: the broker's batches go out now if it has room and the
// partition no probe in flight. Otherwise replies that have already
// arrived are taken in first. Looking for them costs a system call, so a
// busy broker is looked at once per 64 KiB appended, every record counting
// as 4 KiB at least: after 16 small records or every large one.
void sendIfRoom(PCB *pcb, int32_t partition, int32_t broker, uint32_t appended) {
    ProduceBatch *entry = produce_batch_of(pcb, partition);
    bool ready = entry && (produce_idem_on(pcb) ? produce_idem_sendable(pcb, entry, broker)
                                                : sendable(entry));
    if (ready && hasRoom(pcb, broker) && produce_worth_sending(pcb, broker, *entry)) {
        pcb->u32UncheckedBytes = 0;
        sendBroker(pcb, broker);
        return;
    }
    pcb->u32UncheckedBytes += appended > kCheckUnit ? appended : kCheckUnit;
    if (pcb->u32UncheckedBytes < kCheckEvery)
        return;
    pcb->u32UncheckedBytes = 0;
    if (!kafka_replyReady(pcb, static_cast<uint32_t>(broker)))
        return;
    kafka_waitReply(pcb, WAIT_POLL, static_cast<uint32_t>(broker));
    sendWhereRoom(pcb);
}

// Converts the message and key and picks the partition as every synch mode
// does; *chosen is the partition-list entry whose leader is connected.
} // namespace

int32_t produce_prepare(PCB *pcb, const char *message, uint32_t messageLen, ProduceValue *value,
                        ProduceKey *key, uint32_t *chosen, bool waitForLeader) {
    uint32_t keyLen = produce_key_length(pcb);
    int32_t rc = produce_ready_tables(pcb);
    if (rc == 0)
        rc = produce_convert_value(pcb, message, messageLen, value);
    if (rc == 0)
        rc = produce_convert_key(pcb, keyLen, key);
    if (rc == 0) {
        produce_stay_with_open_batch(pcb, keyLen, *key, *value);
        rc = produce_choose_partition(pcb, keyLen, chosen, waitForLeader);
    }
    return rc;
}

// Appends the record to its partition's batch, first sending what the
// partition holds when the record does not fit. Returns 0 once the record
// is collected.
int32_t produce_collect(PCB *pcb, int32_t partition, const ProduceKey &key,
                        const ProduceValue &value) {
    uint64_t bound = produce_record_bound(key, value);
    if (kPartitionHeadBytes + kBatchHeaderBytes + bound > kMaxRequestBytes / 2)
        return produce_no_memory(pcb, "pBuff");
    ProduceBatch *batch = produce_batch_of(pcb, partition);
    if (!batch)
        return produce_no_memory(pcb, "pBuff");
    if (!produce_batch_fits(pcb, *batch, bound)) {
        int32_t rc = produce_idem_on(pcb) ? produce_idem_drain(pcb, partition, false)
                                          : drainPartition(pcb, partition);
        if (rc != 0)
            return rc;
        batch = produce_batch_of(pcb, partition);
        if (!batch)
            return produce_no_memory(pcb, "pBuff");
    }
    if (!produce_batch_append(batch, key, value, gpfnProduceClock()))
        return produce_no_memory(pcb, "pBuff");
    pcb->ullBatchedRecords++;
    return 0;
}

int32_t kafka_produce_batched(PCB *pcb, const char *message, uint32_t messageLen) {
    ProduceValue value{};
    ProduceKey key{};
    uint32_t chosen = 0;
    int32_t rc = produce_idem_begin(pcb);
    bool idempotent = produce_idem_on(pcb);
    if (idempotent)
        produce_idem_expire(pcb);
    if (rc == 0)
        rc = produce_prepare(pcb, message, messageLen, &value, &key, &chosen, idempotent);
    if (rc == 0) {
        int32_t partition = pcb->pPartitionList[chosen].i32Partition;
        rc = produce_collect(pcb, partition, key, value);
        int32_t broker = rc == 0 ? leaderOf(pcb, partition) : -1;
        if (broker >= 0)
            sendIfRoom(pcb, partition, broker, key.length + value.length);
    }
    free(value.owned);
    return rc;
}

int32_t kafka_produce_flush(PCB *pcb) {
    if (produce_idem_on(pcb) && (pcb->ullBatchedRecords > 0 || pcb->ullSealedRecords > 0))
        return produce_idem_drain(pcb, -1, true);
    int32_t result = 0;
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount && pcb->ullBatchedRecords > 0; ++i) {
        if (heldRecords(pcb->pProduceBatches[i]) == 0)
            continue;
        int32_t rc = drainPartition(pcb, pcb->pProduceBatches[i].i32Partition);
        if (rc != 0 && result == 0)
            result = rc;
        if (rc == ERR_HANDLE)
            break;
    }
    return result;
}

void kafka_produce_discard(PCB *pcb) {
    if (pcb->ullBatchedRecords > 0) {
        bqx_log_vf(ERR_NO_BROKER_CONNECTED, pcb, kTag, -1, -1, 1,
                   pcb->pszTopic ? pcb->pszTopic : "");
        kafka_produce_failed(pcb, pcb->ullBatchedRecords, ERR_NO_BROKER_CONNECTED);
    }
    for (uint32_t i = 0; i < pcb->u32ProduceBatchCount; ++i) {
        ProduceBatch *entry = &pcb->pProduceBatches[i];
        produce_idem_free(pcb, entry);
        for (uint32_t k = 0; k < entry->u32ResendCount; ++k)
            free(entry->pResend[k].pRecords);
        free(entry->pResend);
        free(entry->pRecords);
    }
    free(pcb->pProduceBatches);
    pcb->pProduceBatches = nullptr;
    pcb->u32ProduceBatchCount = 0;
    pcb->ullBatchedRecords = 0;
    pcb->u32BatchLimit = 0;
    pcb->u32BatchProven = 0;
    pcb->ullSealedRecords = 0;
    // The next BQXCONN's first batch asks for a producer id again.
    pcb->u32ProducerIdState = kProducerIdUnknown;
}

ProduceBatch *produce_next_open(ProduceBatch *entry) { return nextBatch(entry); }

const ProduceBatch *produce_next_open(const ProduceBatch *entry) {
    return entry->u32ResendCount ? entry->pResend : entry;
}

void produce_take_open(PCB *pcb, ProduceBatch *entry) {
    if (entry->u32ResendCount)
        dropFirstResend(pcb, entry);
    else
        emptyBatch(pcb, entry);
}

uint64_t produce_open_records(const ProduceBatch &entry) { return heldRecords(entry); }

void produce_fail_open(PCB *pcb, ProduceBatch *entry, int32_t error) {
    kafka_produce_failed(pcb, heldRecords(*entry), error);
    emptyEntry(pcb, entry);
}

int32_t produce_leader_of(const PCB *pcb, int32_t partition) { return leaderOf(pcb, partition); }

bool produce_has_room(const PCB *pcb, int32_t broker) { return hasRoom(pcb, broker); }
