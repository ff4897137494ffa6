// Fetch (key 1, version 11) and the consume loop behind BQXCONS.
//
// A broker has at most one Fetch outstanding, naming every assigned
// partition it leads that has room for another buffered reply. The next
// Fetch goes out while the application reads the buffered replies, once
// none of the broker's partitions holds its full share of them. A partition
// that cannot be fetched (no leader, leader unreachable, an error in a
// reply) is backed off for a while and the others go on.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "api/pcb.h"
#include "api/session.h"
#include "codec/codec.h"
#include "codec/inflate.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr int32_t kFetchKey = 1;
constexpr int32_t kFetchVersion = 11;
// The request's fixed part, and each partition's (partition,
// current_leader_epoch, fetch_offset, log_start_offset, partition_max_bytes).
constexpr uint32_t kRequestBaseSize = 1024;
constexpr uint32_t kRequestPartitionSize = 28;
constexpr int32_t kMaxWaitMs = 500;
constexpr int32_t kMinBytes = 1;
// Defaults of the session's fetch sizes (u32FetchMaxBytes,
// u32PartitionFetchMaxBytes), as the usual clients have them. kMaxBytes is
// also the largest fetch.max.bytes accepted: a reply is bounded by it
// (kafka_fetch_reply_limit).
constexpr int32_t kMaxBytes = 50 << 20;
constexpr int32_t kPartitionMaxBytes = 1 << 20;
// Above this much buffered reply data the session sends no further Fetch
// until the application has read some.
constexpr uint64_t kMaxBufferedBytes = 64ull << 20;
// A partition holds the reply being read and the one after it: deeper
// read-ahead only lets the data go cold before the copy into the caller's
// buffer reads it again (a third and fourth reply per partition cost up to
// a fifth more CPU per message with 16 partitions, and no rate).
constexpr uint32_t kMaxBuffersPerPartition = 2;
// While records are buffered, this many consume calls in a row are served
// from the buffers alone before a full round (group check, replies taken
// in, next Fetches sent) runs again: a round per record would cost more
// than the record.
constexpr uint32_t kBufferedReadsPerRound = 32;
constexpr int32_t kReadCommitted = 1;
// Beyond max_bytes a broker sends at most one batch, when the first one is
// larger. Such a batch is bounded here by the most the library lets one
// batch's records inflate to (64 MiB, codec/inflate.h): the largest batch
// it can deliver at all. The headers, the topic name and the aborted
// transactions' list get 1 MiB.
constexpr uint32_t kReplyHeadRoom = 1u << 20;
constexpr uint32_t kCorrelIdPos = 8;
constexpr const char *kTag = "Fetch";

// Back-off of a failing partition: 100 ms, doubling per failure, at most 2 s.
constexpr int64_t kFirstBackOffMs = 100;
constexpr int64_t kMaxBackOffMs = 2000;
constexpr uint32_t kMaxBackOffShift = 5;
// The longest pause of an idle consume loop, taken without the lock.
constexpr int64_t kIdleSleepMs = 200;
// Pacing of Metadata refreshes: after a success, and doubling after failures.
constexpr int64_t kRefreshIntervalMs = 500;
constexpr int64_t kMaxRefreshIntervalMs = 4000;
constexpr int16_t kOffsetOutOfRange = 1;

int64_t nowMs() { return transport_monotonicMs(); }

const char *topicOf(const PCB *pcb) { return pcb->pszTopic ? pcb->pszTopic : ""; }

bool validBroker(const PCB *pcb, int32_t brokerIndex) {
    return pcb->pBrokerList && brokerIndex >= 0 &&
           static_cast<uint32_t>(brokerIndex) < pcb->u32BrokerCount;
}

int32_t brokerIdOf(const PCB *pcb, int32_t brokerIndex) {
    return validBroker(pcb, brokerIndex) ? pcb->pBrokerList[brokerIndex].i32BrokerID : -1;
}

bool isRetriable(int16_t code) {
    constexpr int16_t known = sizeof gaszKafkaErrors / sizeof gaszKafkaErrors[0];
    return code >= 0 && code < known && gaszKafkaErrors[code].ullRetriable != 0;
}

// Backs the partition off; true for the first failure of an episode. An
// episode ends when a Fetch for the partition succeeds after its retry.
bool backOff(PCB *pcb, uint32_t index, int64_t now) {
    PartitionEntry &entry = pcb->pPartitionList[index];
    bool first = entry.u32FetchErrors == 0;
    if (entry.u32FetchErrors < UINT32_MAX)
        entry.u32FetchErrors++;
    uint32_t shift = entry.u32FetchErrors - 1;
    int64_t delay = kFirstBackOffMs << (shift < kMaxBackOffShift ? shift : kMaxBackOffShift);
    entry.i64RetryAtMs = now + (delay < kMaxBackOffMs ? delay : kMaxBackOffMs);
    return first;
}

// Backs off every assigned partition led by the broker.
void backOffBroker(PCB *pcb, int32_t brokerIndex, int64_t now) {
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].u32Assigned && pcb->pPartitionList[i].i32BrokerIdx == brokerIndex)
            backOff(pcb, i, now);
}

bool fetchOutstanding(const BrokerEntry &broker) {
    for (const PendingRequest *p = broker.pPendingHead; p; p = p->pNext)
        if (p->u32Length >= kRequestMinLength && transport_readBe16(p->abRequest + 4) == kFetchKey)
            return true;
    return false;
}

uint64_t bufferedBytes(const PCB *pcb) {
    uint64_t total = 0;
    for (uint32_t b = 0; pcb->pBrokerList && b < pcb->u32BrokerCount; ++b)
        for (const FetchReplyBuffer *buf = pcb->pBrokerList[b].pReplyBuffer; buf; buf = buf->pNext)
            total += buf->u32Bytes;
    return total;
}

// A broker may get a Fetch when none is outstanding and the session keeps
// less than its bound of fetched data: the next Fetch goes out while the
// application still reads the buffered replies.
bool brokerIdle(const PCB *pcb, const BrokerEntry &broker) {
    return !fetchOutstanding(broker) && bufferedBytes(pcb) < kMaxBufferedBytes;
}

uint32_t buffersOf(const BrokerEntry &broker, uint32_t index) {
    uint32_t count = 0;
    for (const FetchReplyBuffer *buf = broker.pReplyBuffer; buf; buf = buf->pNext)
        count += buf->i32PartitionIdx == static_cast<int32_t>(index);
    return count;
}

// Counts the broker's buffered replies per partition-list entry into
// `counts` (u32PartitionCount entries).
void countBuffers(const PCB *pcb, const BrokerEntry &broker, uint32_t *counts) {
    memset(counts, 0, sizeof(uint32_t) * pcb->u32PartitionCount);
    for (const FetchReplyBuffer *buf = broker.pReplyBuffer; buf; buf = buf->pNext)
        if (buf->i32PartitionIdx >= 0 &&
            static_cast<uint32_t>(buf->i32PartitionIdx) < pcb->u32PartitionCount)
            counts[buf->i32PartitionIdx]++;
}

bool partitionDue(const PartitionEntry &entry, int64_t now) {
    return entry.u32Assigned && entry.i64RetryAtMs <= now;
}

// A partition goes into its leader's next Fetch when it is due, its offset
// is known and fewer than kMaxBuffersPerPartition replies of it are
// buffered (`buffered`): the one being read and a few fetched ahead, so
// that reading never waits for a round trip, and a busy partition cannot
// take the whole session's bound.
bool fetchable(const PCB *pcb, uint32_t index, int32_t brokerIndex, int64_t now,
               uint32_t buffered) {
    const PartitionEntry &entry = pcb->pPartitionList[index];
    return partitionDue(entry, now) && entry.i32BrokerIdx == brokerIndex && entry.i64Offset >= 0 &&
           buffered < kMaxBuffersPerPartition;
}

// Whether a due partition the broker leads holds its full share of
// buffered replies. The broker's next Fetch waits until none does, so that
// one Fetch refills every partition: a Fetch for each reply read, naming
// only its partition, would cost the broker a round per partition buffer.
// `counts` are the buffers per partition (countBuffers), or null to count
// them here.
bool someAtCap(const PCB *pcb, int32_t brokerIndex, int64_t now, const uint32_t *counts) {
    const BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i) {
        const PartitionEntry &entry = pcb->pPartitionList[i];
        if (partitionDue(entry, now) && entry.i32BrokerIdx == brokerIndex &&
            (counts ? counts[i] : buffersOf(broker, i)) >= kMaxBuffersPerPartition)
            return true;
    }
    return false;
}

// The partitions the broker's next Fetch names, at most `capacity`: every
// fetchable one it leads, starting after the one its last Fetch named
// first, so that a partition with a backlog cannot keep the others out of
// the broker's max_bytes. `counts` is scratch room for u32PartitionCount
// entries.
uint32_t partitionsFor(const PCB *pcb, int32_t brokerIndex, int64_t now, uint32_t *out,
                       uint32_t capacity, uint32_t *counts) {
    uint32_t count = pcb->u32PartitionCount;
    if (!pcb->pPartitionList || count == 0 || !validBroker(pcb, brokerIndex))
        return 0;
    countBuffers(pcb, pcb->pBrokerList[brokerIndex], counts);
    if (someAtCap(pcb, brokerIndex, now, counts))
        return 0;
    int32_t last = pcb->pBrokerList[brokerIndex].i32FetchPartitionIdx;
    uint32_t start = last >= 0 && static_cast<uint32_t>(last) < count ? last + 1 : 0;
    uint32_t found = 0;
    for (uint32_t k = 0; k < count && found < capacity; ++k) {
        uint32_t i = (start + k) % count;
        if (fetchable(pcb, i, brokerIndex, now, counts[i]))
            out[found++] = i;
    }
    return found;
}

// Where the partition's next Fetch starts: behind what is buffered or in
// flight, else at the partition's position.
int64_t fetchOffsetOf(const PartitionEntry &entry) {
    return entry.u32HasFetchNext ? entry.i64FetchNext : entry.i64Offset;
}

// The broker may hold the Fetch while it has nothing to send only when
// every partition named came back empty last time: data of one partition
// must not wait for the others.
int32_t maxWaitFor(const PCB *pcb, const uint32_t *indexes, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k)
        if (!pcb->pPartitionList[indexes[k]].u32Drained)
            return 0;
    return kMaxWaitMs;
}

int32_t sizeOr(uint32_t value, int32_t fallback) {
    return value > 0 && value <= static_cast<uint32_t>(kMaxBytes) ? static_cast<int32_t>(value)
                                                                  : fallback;
}

int32_t marshalFetch(PCB *pcb, const char *topic, const uint32_t *indexes, uint32_t count,
                     uint8_t *request, uint32_t size, int32_t position) {
    position = kafka_marshall_new(pcb, request, size, position, "i4i4i4i4i1i4i4i4nsi4", -1,
                                  maxWaitFor(pcb, indexes, count), kMinBytes,
                                  sizeOr(pcb->u32FetchMaxBytes, kMaxBytes), kReadCommitted, 0, -1,
                                  1, topic, 1, static_cast<int32_t>(count));
    int32_t partitionMax = sizeOr(pcb->u32PartitionFetchMaxBytes, kPartitionMaxBytes);
    for (uint32_t k = 0; k < count && position >= 0; ++k) {
        const PartitionEntry &entry = pcb->pPartitionList[indexes[k]];
        position =
            kafka_marshall_new(pcb, request, size, position, "i4i4i8i8i4", entry.i32Partition, -1,
                               fetchOffsetOf(entry), int64_t{-1}, partitionMax);
    }
    if (position < 0)
        return position;
    return kafka_marshall_new(pcb, request, size, position, "i4ns", 0, "", 0);
}

// Notes the Fetch that went out for one partition, and ends the
// partition's failure episode once a retry has been sent and a later Fetch
// follows it.
void recordSent(PCB *pcb, uint32_t index, int32_t brokerIndex, uint32_t correlId) {
    PartitionEntry &entry = pcb->pPartitionList[index];
    BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    int64_t offset = fetchOffsetOf(entry);
    entry.u32RequestedCorrel = correlId;
    entry.i64RequestedOffset = offset;
    entry.u32HasFetchNext = 1;
    entry.i64FetchNext = offset;
    entry.i64LastFetchOffset = entry.i64Offset;
    entry.u32Fetched = 1;
    if (entry.i64RetryAtMs != 0)
        entry.i64RetryAtMs = 0;
    else
        entry.u32FetchErrors = 0;
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_REQUEST_SENT_TO, pcb, kTag, broker.i32BrokerID, entry.i32Partition, 5,
                   broker.pszHost ? broker.pszHost : "", broker.i32Port, topicOf(pcb),
                   static_cast<long long>(offset), static_cast<int>(correlId));
}

int32_t connectBroker(PCB *pcb, int32_t brokerIndex, int32_t partition) {
    const BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_CONNECT_BROKER, pcb, kTag, broker.i32BrokerID, partition, 2,
                   broker.pszHost ? broker.pszHost : "", broker.i32Port);
    return kafka_connect(pcb, static_cast<uint32_t>(brokerIndex));
}

// 7525 for an assigned partition without a leader in the broker table:
// logged once per episode; the partition waits for fresh Metadata.
int32_t noLeader(PCB *pcb, uint32_t index, int64_t now) {
    int32_t partition = pcb->pPartitionList[index].i32Partition;
    pcb->u32MetadataStale = 1;
    if (backOff(pcb, index, now))
        bqx_log_vf(ERR_NO_PARTITION_BROKER, pcb, kTag, -1, partition, 2, partition, topicOf(pcb));
    return ERR_NO_PARTITION_BROKER;
}

// Connects the partition's leader and finds its offset when unknown.
// Failures back the partition (or all of the broker's) off.
int32_t preparePartition(PCB *pcb, uint32_t index, int64_t now) {
    int32_t brokerIndex = pcb->pPartitionList[index].i32BrokerIdx;
    if (!validBroker(pcb, brokerIndex))
        return noLeader(pcb, index, now);
    if (pcb->pBrokerList[brokerIndex].i32Socket == -1) {
        int32_t rc = connectBroker(pcb, brokerIndex, pcb->pPartitionList[index].i32Partition);
        if (rc != 0) {
            pcb->u32MetadataStale = 1;
            backOffBroker(pcb, brokerIndex, now);
            return rc;
        }
    }
    if (pcb->pPartitionList[index].i64Offset >= 0)
        return 0;
    int32_t rc = kafka_listoffsets(pcb, index, topicOf(pcb));
    // The reply may have backed the partition off already (a Kafka error).
    const PartitionEntry &entry = pcb->pPartitionList[index];
    if (rc == 0 && entry.i64Offset >= 0)
        return 0;
    if (entry.i64RetryAtMs <= now)
        backOff(pcb, index, now);
    return rc >= static_cast<int32_t>(ERR_TCPIP) ? rc : 0;
}

bool anyPending(const PCB *pcb) {
    for (uint32_t i = 0; pcb->pBrokerList && i < pcb->u32BrokerCount; ++i)
        if (pcb->pBrokerList[i].pPendingHead)
            return true;
    return false;
}

bool anyBuffered(const PCB *pcb) {
    for (uint32_t i = 0; pcb->pBrokerList && i < pcb->u32BrokerCount; ++i)
        if (pcb->pBrokerList[i].pReplyBuffer)
            return true;
    return false;
}

bool anyBackedOff(const PCB *pcb) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].u32Assigned && pcb->pPartitionList[i].i64RetryAtMs != 0)
            return true;
    return false;
}

// Whether kafka_fetch_all has something to do right now: a due partition
// that needs its leader, its connection or its offset, or whose idle
// broker would fetch it next.
bool workDue(const PCB *pcb, int64_t now) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i) {
        const PartitionEntry &entry = pcb->pPartitionList[i];
        if (!partitionDue(entry, now))
            continue;
        if (!validBroker(pcb, entry.i32BrokerIdx) || entry.i64Offset < 0)
            return true;
        const BrokerEntry &broker = pcb->pBrokerList[entry.i32BrokerIdx];
        if (broker.i32Socket == -1 ||
            (brokerIdle(pcb, broker) &&
             fetchable(pcb, i, entry.i32BrokerIdx, now, buffersOf(broker, i)) &&
             !(entry.u32Drained && broker.pReplyBuffer) &&
             !someAtCap(pcb, entry.i32BrokerIdx, now, nullptr)))
            return true;
    }
    return false;
}

// Milliseconds until the earliest back-off of an assigned partition ends,
// or `limit` when none ends sooner.
int64_t untilNextRetry(const PCB *pcb, int64_t now, int64_t limit) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i) {
        const PartitionEntry &entry = pcb->pPartitionList[i];
        if (entry.u32Assigned && entry.i64RetryAtMs > now && entry.i64RetryAtMs - now < limit)
            limit = entry.i64RetryAtMs - now;
    }
    return limit;
}

// Nothing to send and nothing to wait for: pause without the global lock
// (the heartbeat thread and other sessions run meanwhile), at most until
// the next back-off ends or the call's deadline has passed.
int32_t idlePause(PCB *pcb, int64_t deadline) {
    int64_t now = nowMs();
    int64_t pause = untilNextRetry(pcb, now, kIdleSleepMs);
    if (deadline != 0 && deadline - now + 1 < pause)
        pause = deadline - now + 1;
    return bqx_pause(pcb, kTag, pause);
}

// When the Metadata of a moved leader is fetched again; refreshes are paced.
struct RefreshPacing {
    int64_t nextAtMs;
    int64_t intervalMs;
};

void refreshIfStale(PCB *pcb, RefreshPacing *pacing) {
    kafka_meta_check_age(pcb);
    int64_t now = nowMs();
    if (!pcb->u32MetadataStale || now < pacing->nextAtMs)
        return;
    // A failure has been logged where it was met; a later round tries again.
    if (kafka_meta_refresh(pcb) == 0) {
        pacing->intervalMs = kRefreshIntervalMs;
    } else if (pacing->intervalMs < kMaxRefreshIntervalMs) {
        pacing->intervalMs *= 2;
    }
    pacing->nextAtMs = now + pacing->intervalMs;
}

// The end of a call whose deadline has passed: a partition error that
// lasted until now is the result, else 7543.
int32_t expired(PCB *pcb, int32_t timeoutSeconds, int32_t partitionError) {
    if (partitionError != 0 && anyBackedOff(pcb))
        return partitionError;
    bqx_log_vf(ERR_CONSUME_TIMEOUT, pcb, kTag, -1, -1, 1, timeoutSeconds);
    return ERR_CONSUME_TIMEOUT;
}

// Wait results that mean one connection failed (closed by the broker, out
// of step, or silent past the reply wait). The transport has logged them;
// the connection's partitions are fetched again on a new connection.
bool connectionFailed(int32_t rc) {
    return rc == ERR_TCPIP || rc == ERR_AUTH_REQUIRED || rc == ERR_UNEXPECTED_REPLY ||
           rc == ERR_TIMEOUT;
}

// A wait result that ends the consume call: errors other than a failed
// connection, and a failed connection once the deadline has passed. After
// a failed connection the loop pauses briefly before it reconnects.
bool waitEndsCall(PCB *pcb, int32_t rc, int64_t deadline) {
    if (rc < static_cast<int32_t>(ERR_TCPIP))
        return false;
    // A group reply (Heartbeat, OffsetCommit) that cost the membership: the
    // next round finds the coordinator again and rejoins.
    if (rc == ERR_KAFKA && (pcb->u32RejoinNeeded || pcb->u32CoordinatorLost))
        return deadline != 0 && nowMs() > deadline;
    if (!connectionFailed(rc) || (deadline != 0 && nowMs() > deadline))
        return true;
    idlePause(pcb, deadline);
    return false;
}

// A record from the buffers without a round, while the membership stands
// and the last full round is recent; -1 when a full round is due.
int32_t fromBuffers(PCB *pcb, const char *topic, char *buffer, uint32_t *length) {
    if (pcb->u32BufferedReads >= kBufferedReadsPerRound || pcb->u32RejoinNeeded ||
        pcb->u32CoordinatorLost || pcb->u32MetadataStale || !anyBuffered(pcb))
        return -1;
    int32_t rc = kafka_checkReplyBuffers(pcb, topic, buffer, length);
    if (rc == 0)
        pcb->u32BufferedReads++;
    return rc;
}

int32_t consumeLoop(PCB *pcb, const char *topic, char *buffer, uint32_t *length,
                    int32_t timeoutSeconds, int64_t deadline) {
    pcb->u32BufferedReads = 0;
    RefreshPacing pacing = {0, kRefreshIntervalMs / 2};
    int32_t partitionError = 0;
    for (;;) {
        // Without a group (never the case for BQXCONS) there is no
        // membership to recover.
        int32_t rc = pcb->pszGroupID ? kafka_group_recover(pcb) : 0;
        if (rc == ERR_CONSUME_TIMEOUT) // the JoinGroup is still in flight
            return expired(pcb, timeoutSeconds, 0);
        if (rc != 0)
            return rc;
        refreshIfStale(pcb, &pacing);
        rc = kafka_fetch_all(pcb);
        if (rc != 0)
            partitionError = rc;
        else if (!anyBackedOff(pcb))
            partitionError = 0;
        rc = kafka_waitReply(pcb, WAIT_POLL, 0);
        if (waitEndsCall(pcb, rc, deadline))
            return rc;
        if (anyBuffered(pcb)) {
            rc = kafka_checkReplyBuffers(pcb, topic, buffer, length);
            if (rc != -1)
                return rc;
        }
        if (anyPending(pcb))
            rc = kafka_waitReply(pcb, WAIT_ONCE, 0);
        else if (!workDue(pcb, nowMs()))
            rc = idlePause(pcb, deadline);
        if (waitEndsCall(pcb, rc, deadline))
            return rc;
        if (deadline != 0 && nowMs() > deadline)
            return expired(pcb, timeoutSeconds, partitionError);
    }
}

// Sends the broker one Fetch for the partitions at `indexes`.
int32_t sendFetch(PCB *pcb, const char *topic, int32_t brokerIndex, const uint32_t *indexes,
                  uint32_t count) {
    if (!kafka_api_check(pcb, static_cast<uint32_t>(brokerIndex), kFetchKey, kFetchVersion, kTag))
        return ERR_PROTOCOL;
    uint32_t size =
        kRequestBaseSize + static_cast<uint32_t>(strlen(topic)) + count * kRequestPartitionSize;
    auto *request = static_cast<uint8_t *>(malloc(size));
    if (!request) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, brokerIdOf(pcb, brokerIndex), -1, 1, "Fetch Request");
        return ERR_MEMORY;
    }
    int32_t position = kafka_marshall_ReqHdr(pcb, static_cast<uint32_t>(brokerIndex), request, size,
                                             kFetchKey, kFetchVersion);
    if (position >= 1)
        position = marshalFetch(pcb, topic, indexes, count, request, size, position);
    int32_t rc = position < 1 ? (position < 0 ? kafka_marshall_failure(position) : -1) : 0;
    uint32_t correlId = position >= 1 ? transport_readBe32(request + kCorrelIdPos) : 0;
    if (rc == 0)
        rc = kafka_sendqueue(pcb, static_cast<uint32_t>(brokerIndex), request,
                             static_cast<uint32_t>(position), SEND_NOWAIT);
    free(request);
    if (rc != 0)
        return rc;
    BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    broker.u32FetchCorrelID = correlId;
    broker.i32FetchPartitionIdx = static_cast<int32_t>(indexes[0]);
    broker.i64FetchOffset = fetchOffsetOf(pcb->pPartitionList[indexes[0]]);
    for (uint32_t k = 0; k < count; ++k)
        recordSent(pcb, indexes[k], brokerIndex, correlId);
    return 0;
}

// The broker's next Fetch, if it may get one: every partition it leads
// that is fetchable. -1 when nothing was sent.
int32_t fetchBroker(PCB *pcb, const char *topic, int32_t brokerIndex, int64_t now) {
    if (!validBroker(pcb, brokerIndex) || !brokerIdle(pcb, pcb->pBrokerList[brokerIndex]))
        return -1;
    // The partitions named, then room to count their buffers.
    auto *indexes = static_cast<uint32_t *>(malloc(2 * sizeof(uint32_t) * pcb->u32PartitionCount));
    if (!indexes)
        return -1;
    uint32_t count = partitionsFor(pcb, brokerIndex, now, indexes, pcb->u32PartitionCount,
                                   indexes + pcb->u32PartitionCount);
    // A Fetch the broker would hold (every partition named came back empty)
    // waits until the broker's buffered replies are read: held meanwhile,
    // it would keep the Fetch of the busy partitions back for its wait.
    if (count > 0 && pcb->pBrokerList[brokerIndex].pReplyBuffer &&
        maxWaitFor(pcb, indexes, count) != 0)
        count = 0;
    int32_t rc = -1;
    if (count > 0) {
        if (pcb->iDebugLevel > 1)
            bqx_log_vf(INF_OFFSET, pcb, kTag, brokerIdOf(pcb, brokerIndex),
                       pcb->pPartitionList[indexes[0]].i32Partition, 1,
                       static_cast<long long>(fetchOffsetOf(pcb->pPartitionList[indexes[0]])));
        rc = sendFetch(pcb, topic, brokerIndex, indexes, count);
        // A failed send is logged where it failed; the partitions are tried
        // again once their back-off has passed.
        for (uint32_t k = 0; rc != 0 && k < count; ++k)
            backOff(pcb, indexes[k], now);
    }
    free(indexes);
    return rc;
}

} // namespace

void kafka_fetch_partition_error(PCB *pcb, uint32_t partitionIndex, int16_t errorCode) {
    if (!pcb->pPartitionList || partitionIndex >= pcb->u32PartitionCount || errorCode == 0)
        return;
    PartitionEntry &entry = pcb->pPartitionList[partitionIndex];
    entry.u32HasFetchNext = 0; // fetched again from where it stands
    if (errorCode == kOffsetOutOfRange)
        entry.i64Offset = -1; // ListOffsets finds the earliest offset again
    else if (isRetriable(errorCode))
        pcb->u32MetadataStale = 1; // leadership or replica trouble: ask where it went
    bool first = backOff(pcb, partitionIndex, nowMs());
    // The reply's decoder has logged the error itself.
    if (first && pcb->iDebugLevel > 1)
        bqx_log_vf(INF_KAFKA_INFO, pcb, kTag, brokerIdOf(pcb, entry.i32BrokerIdx),
                   entry.i32Partition, 2, static_cast<int>(errorCode), getErrorText(errorCode));
}

int32_t kafka_fetch_send(PCB *pcb, const char *topic, uint32_t partitionIndex) {
    int64_t now = nowMs();
    if (!pcb->pPartitionList || partitionIndex >= pcb->u32PartitionCount || !pcb->pBrokerList)
        return -1;
    int32_t brokerIndex = pcb->pPartitionList[partitionIndex].i32BrokerIdx;
    if (!validBroker(pcb, brokerIndex) ||
        !fetchable(pcb, partitionIndex, brokerIndex, now,
                   buffersOf(pcb->pBrokerList[brokerIndex], partitionIndex)) ||
        !brokerIdle(pcb, pcb->pBrokerList[brokerIndex]))
        return -1;
    if (pcb->pBrokerList[brokerIndex].i32Socket == -1) {
        int32_t rc =
            connectBroker(pcb, brokerIndex, pcb->pPartitionList[partitionIndex].i32Partition);
        if (rc != 0)
            return rc;
    }
    return fetchBroker(pcb, topic ? topic : topicOf(pcb), brokerIndex, now);
}

uint32_t kafka_fetch_reply_limit() {
    return static_cast<uint32_t>(kMaxBytes) + kMaxInflatedBytes + kReplyHeadRoom;
}

int32_t kafka_fetch_all(PCB *pcb) {
    if (!pcb->pPartitionList || !pcb->pBrokerList)
        return 0;
    int32_t roundError = 0;
    // The list may grow while replies are taken in: its count is read anew.
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i) {
        int64_t now = nowMs();
        if (!partitionDue(pcb->pPartitionList[i], now))
            continue;
        int32_t rc = preparePartition(pcb, i, now);
        if (rc != 0 && roundError == 0)
            roundError = rc;
    }
    for (uint32_t b = 0; pcb->pBrokerList && b < pcb->u32BrokerCount; ++b) {
        if (pcb->pBrokerList[b].i32Socket == -1)
            continue;
        int32_t rc = fetchBroker(pcb, topicOf(pcb), static_cast<int32_t>(b), nowMs());
        if (rc >= static_cast<int32_t>(ERR_TCPIP) && roundError == 0)
            roundError = rc;
    }
    return roundError;
}

int32_t kafka_fetch(PCB *pcb, const char *topic, char *buffer, uint32_t *length,
                    int32_t timeoutSeconds) {
    // A record straight from the buffers needs no deadline (nor the clock
    // read it costs, a tenth of such a call).
    if (fromBuffers(pcb, topic, buffer, length) == 0)
        return 0;
    // A timeout of 0 (or below) sets no limit.
    int64_t deadline = timeoutSeconds > 0 ? nowMs() + int64_t{timeoutSeconds} * 1000 : 0;
    pcb->i64ConsumeDeadlineMs = deadline;
    int32_t rc = consumeLoop(pcb, topic, buffer, length, timeoutSeconds, deadline);
    pcb->i64ConsumeDeadlineMs = 0;
    return rc;
}
