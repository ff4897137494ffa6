// Metadata (key 3, version 4) for the session's topic. The reply to
// BQXCONN's request replaces the broker table with the brokers of the
// cluster (keeping the bootstrap entry and its connection) and builds the
// topic's partition list. A refresh of a consuming session merges the reply
// into the tables instead, so that connections, buffered replies, offsets
// and assignment survive and only the leaders move.
//
// The whole reply is decoded into a new table and a new partition list
// before anything of the session changes, so a reply that ends early leaves
// the session as it was.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr int32_t kMetadataKey = 3;
constexpr int32_t kMetadataVersion = 4;
constexpr uint32_t kRequestSize = 1024;
constexpr int32_t kBrokerMinBytes = 12;    // node id, host length, port, rack length
constexpr int32_t kPartitionMinBytes = 18; // error, id, leader, both array counts
constexpr int32_t kNodeIdBytes = 4;
constexpr const char *kTag = "MetaData";

// The reply being decoded and the position reached.
struct MetaReader {
    PCB *pcb;
    const uint8_t *reply;
    uint32_t replyLen;
    int32_t position;
    int32_t broker; // node id of the replying broker, for the log columns
};

// Whether `count` elements of at least `minBytes` each can still follow.
// Checked before a count from the wire sizes an allocation or a loop.
bool countFits(const MetaReader &r, int32_t count, int32_t minBytes) {
    if (count < 0 || r.position < 0)
        return false;
    int64_t left = static_cast<int64_t>(r.replyLen) - r.position;
    return static_cast<int64_t>(count) * minBytes <= left;
}

int32_t malformed(const MetaReader &r, const char *what) {
    return kafka_reply_malformed(r.pcb, kTag, r.broker, what);
}

void freeBrokerTable(BrokerEntry *table, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        free(table[i].pszHost);
    free(table);
}

BrokerEntry *newBrokerTable(uint32_t count) {
    auto *table = static_cast<BrokerEntry *>(calloc(count, sizeof(BrokerEntry)));
    for (uint32_t i = 0; table && i < count; ++i) {
        table[i].i32Socket = -1;
        table[i].i32FetchPartitionIdx = -1;
    }
    return table;
}

int32_t readBrokers(MetaReader &r, BrokerEntry *table, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        BrokerEntry &entry = table[i];
        char *rack = nullptr;
        r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4nsi4ns",
                                          &entry.i32BrokerID, &entry.pszHost, &entry.i32Port,
                                          &rack);
        if (r.position >= 0 && r.pcb->iDebugLevel >= 2)
            bqx_log_vf(INF_BROKERLIST, r.pcb, kTag, entry.i32BrokerID, -1, 4, entry.i32BrokerID,
                       entry.pszHost ? entry.pszHost : "", entry.i32Port, rack ? rack : "");
        free(rack);
        if (r.position < 0)
            return malformed(r, "Metadata reply: broker list truncated");
    }
    return 0;
}

// The index of `leader` among the first `brokerCount` entries, -1 if absent.
int32_t findLeader(const BrokerEntry *table, int32_t brokerCount, int32_t leader) {
    int32_t index = brokerCount - 1;
    while (index >= 0 && table[index].i32BrokerID != leader)
        --index;
    return index;
}

// Skips the replica list and keeps the last in-sync replica (-1 if none).
int32_t readReplicas(MetaReader &r, PartitionEntry &entry) {
    int32_t replicas = 0, inSync = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4", &replicas);
    if (!countFits(r, replicas, kNodeIdBytes))
        return malformed(r, "Metadata reply: replica list truncated");
    r.position += replicas * kNodeIdBytes;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4", &inSync);
    if (!countFits(r, inSync, kNodeIdBytes))
        return malformed(r, "Metadata reply: isr list truncated");
    entry.i32Isr = -1;
    for (int32_t i = 0; i < inSync; ++i)
        r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4",
                                          &entry.i32Isr);
    return 0;
}

int32_t readPartition(MetaReader &r, PartitionEntry &entry, const BrokerEntry *table,
                      int32_t brokerCount) {
    entry.u32Assigned = 1;
    entry.i64Offset = -1;
    entry.i64HighWatermark = -1;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i2i4i4",
                                      &entry.u16PartErrorCode, &entry.i32Partition,
                                      &entry.i32Leader);
    if (r.position < 0)
        return malformed(r, "Metadata reply: partition truncated");
    entry.i32BrokerIdx = findLeader(table, brokerCount, entry.i32Leader);
    int32_t rc = readReplicas(r, entry);
    if (rc == 0 && r.pcb->iDebugLevel >= 2)
        bqx_log_vf(INF_PARTITION, r.pcb, kTag, r.broker, entry.i32Partition, 6,
                   entry.i32Partition, entry.i32Leader, entry.i32BrokerIdx, entry.i32Isr,
                   static_cast<int>(entry.u16PartErrorCode),
                   getErrorText(entry.u16PartErrorCode));
    return rc;
}

// Reads the partition array into a new list; *list stays null on failure.
int32_t readPartitions(MetaReader &r, const BrokerEntry *table, int32_t brokerCount,
                       PartitionEntry **list, uint32_t *count) {
    int32_t partitions = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "i4", &partitions);
    if (!countFits(r, partitions, kPartitionMinBytes))
        return malformed(r, "Metadata reply: partition count beyond reply");
    size_t slots = partitions > 0 ? static_cast<size_t>(partitions) : 1;
    auto *entries = static_cast<PartitionEntry *>(calloc(slots, sizeof(PartitionEntry)));
    if (!entries) {
        bqx_log_vf(ERR_MEMORY, r.pcb, kTag, r.broker, -1, 1, "PartitionList");
        return ERR_MEMORY;
    }
    for (int32_t i = 0; i < partitions; ++i) {
        int32_t rc = readPartition(r, entries[i], table, brokerCount);
        if (rc != 0) {
            free(entries);
            return rc;
        }
    }
    // Brokers list partitions in no particular order. Sorted by id, the
    // leader's range assignment gives each member consecutive partitions,
    // as other members of a group expect of a range assignor.
    std::sort(entries, entries + partitions, [](const PartitionEntry &a, const PartitionEntry &b) {
        return a.i32Partition < b.i32Partition;
    });
    *list = entries;
    *count = static_cast<uint32_t>(partitions);
    return 0;
}

// Reads cluster id, controller and the first topic's header. Returns 0 with
// the topic's error code in *errorCode, or the error logged.
int32_t readTopicHeader(MetaReader &r, int16_t *errorCode) {
    char *clusterId = nullptr, *topicName = nullptr;
    int32_t controller = 0, topics = 0;
    uint8_t internalFlag = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.reply, r.replyLen, r.position, "nsi4i4i2nsum",
                                      &clusterId, &controller, &topics, errorCode, &topicName,
                                      &internalFlag, 1u);
    free(clusterId);
    free(topicName);
    if (r.position < 0)
        return malformed(r, "Metadata reply: topic section truncated");
    return 0;
}

// Replaces the session's broker table by `table` (brokerCount brokers and
// the two reserved entries). The bootstrap entry moves with its connection
// and pending requests; the old table is cleared without warnings.
void installBrokerTable(PCB *pcb, BrokerEntry *table, uint32_t brokerCount) {
    if (pcb->pBrokerList && pcb->u32BrokerCount >= 2) {
        BrokerEntry &bootstrap = pcb->pBrokerList[pcb->u32BrokerCount - 2];
        table[brokerCount] = bootstrap;
        memset(&bootstrap, 0, sizeof bootstrap);
        bootstrap.i32Socket = -1;
    }
    kafka_clearBrokers(pcb);
    pcb->pBrokerList = table;
    pcb->u32BrokerCount = brokerCount + 2;
}

void installPartitionList(PCB *pcb, PartitionEntry *list, uint32_t count) {
    free(pcb->pPartitionList);
    pcb->pPartitionList = list;
    pcb->u32PartitionCount = count;
    pcb->u32PartitionListIdx = 0;
}

// Empties an entry whose contents moved to another table, so that clearing
// the old table neither closes nor frees them.
void detach(BrokerEntry &entry) {
    memset(&entry, 0, sizeof entry);
    entry.i32Socket = -1;
}

bool sameBroker(const BrokerEntry &a, const BrokerEntry &b) {
    return a.pszHost && b.pszHost && a.i32BrokerID == b.i32BrokerID && a.i32Port == b.i32Port &&
           strcmp(a.pszHost, b.pszHost) == 0;
}

// Installs `table` (brokerCount brokers of the reply and two empty reserved
// entries). A broker that stays (same node id, host and port) moves over
// with its connection, queue, buffered reply and fetch state; the bootstrap
// and coordinator entries move over as they are. Brokers that vanished are
// cleared, with a warning for each request they will never answer.
void mergeBrokerTable(PCB *pcb, BrokerEntry *table, uint32_t brokerCount) {
    BrokerEntry *old = pcb->pBrokerList;
    uint32_t oldCount = old ? pcb->u32BrokerCount : 0;
    uint32_t oldBrokers = oldCount >= 2 ? oldCount - 2 : 0;
    for (uint32_t i = 0; i < brokerCount; ++i) {
        for (uint32_t j = 0; j < oldBrokers; ++j) {
            if (!sameBroker(table[i], old[j]))
                continue;
            free(table[i].pszHost);
            table[i] = old[j];
            detach(old[j]);
            break;
        }
    }
    if (oldCount >= 2) {
        table[brokerCount] = old[oldCount - 2];
        table[brokerCount + 1] = old[oldCount - 1];
        detach(old[oldCount - 2]);
        detach(old[oldCount - 1]);
    }
    for (uint32_t j = 0; j < oldCount; ++j)
        kafka_clearBroker(pcb, j, 0);
    kafka_clearBrokers(pcb);
    pcb->pBrokerList = table;
    pcb->u32BrokerCount = brokerCount + 2;
}

const PartitionEntry *findPartition(const PartitionEntry *list, uint32_t count, int32_t id) {
    for (uint32_t i = 0; list && i < count; ++i)
        if (list[i].i32Partition == id)
            return &list[i];
    return nullptr;
}

uint32_t countNewPartitions(const PCB *pcb, const PartitionEntry *fresh, uint32_t freshCount) {
    uint32_t added = 0;
    for (uint32_t i = 0; i < freshCount; ++i)
        if (!findPartition(pcb->pPartitionList, pcb->u32PartitionCount, fresh[i].i32Partition))
            ++added;
    return added;
}

// Builds the merged partition list in `merged` (room for the old entries
// and the new ones) and installs it. Old entries keep their place, offsets,
// assignment and back-off and take the new leader; a partition whose leader
// changed is tried at once. New partitions are appended unassigned, with
// their offset unknown.
void mergePartitionList(PCB *pcb, PartitionEntry *merged, const PartitionEntry *fresh,
                        uint32_t freshCount) {
    uint32_t count = pcb->u32PartitionCount;
    if (count)
        memcpy(merged, pcb->pPartitionList, count * sizeof(PartitionEntry));
    for (uint32_t i = 0; i < count; ++i) {
        PartitionEntry &entry = merged[i];
        const PartitionEntry *now = findPartition(fresh, freshCount, entry.i32Partition);
        if (now && now->i32Leader != entry.i32Leader)
            entry.i64RetryAtMs = 0;
        entry.i32Leader = now ? now->i32Leader : -1;
        entry.i32BrokerIdx = now ? now->i32BrokerIdx : -1;
        entry.i32Isr = now ? now->i32Isr : -1;
        entry.u16PartErrorCode = now ? now->u16PartErrorCode : 0;
    }
    for (uint32_t i = 0; i < freshCount; ++i) {
        if (findPartition(merged, count, fresh[i].i32Partition))
            continue;
        merged[count] = fresh[i];
        merged[count].u32Assigned = 0;
        merged[count].i64Offset = -1;
        ++count;
    }
    free(pcb->pPartitionList);
    pcb->pPartitionList = merged;
    pcb->u32PartitionCount = count;
}

// The topic has more partitions than the session knew: a group member
// joins again, so that the leader assigns the new ones too.
void partitionsAdded(const MetaReader &r, uint32_t before) {
    PCB *pcb = r.pcb;
    if (!pcb->pszGroupID)
        return;
    pcb->u32RejoinNeeded = 1;
    bqx_log_vf(INF_PARTITIONS_ADDED, pcb, kTag, r.broker, -1, 3, pcb->pszTopic ? pcb->pszTopic : "",
               static_cast<int>(pcb->u32PartitionCount), static_cast<int>(before));
}

// The refresh mode of the reply: nothing of the session changes unless the
// whole reply was read and the merged list could be allocated.
int32_t mergeReply(MetaReader &r, BrokerEntry *table, int32_t brokers, int16_t topicError) {
    uint32_t tableCount = static_cast<uint32_t>(brokers) + 2;
    if (topicError != 0) {
        freeBrokerTable(table, tableCount);
        bqx_log_vf(ERR_KAFKA, r.pcb, kTag, r.broker, -1, 2, static_cast<int>(topicError),
                   getErrorText(topicError));
        return ERR_KAFKA;
    }
    PartitionEntry *fresh = nullptr;
    uint32_t freshCount = 0;
    int32_t rc = readPartitions(r, table, brokers, &fresh, &freshCount);
    if (rc != 0) {
        freeBrokerTable(table, tableCount);
        return rc;
    }
    size_t slots = static_cast<size_t>(r.pcb->u32PartitionCount) +
                   countNewPartitions(r.pcb, fresh, freshCount);
    auto *merged = static_cast<PartitionEntry *>(calloc(slots ? slots : 1, sizeof(PartitionEntry)));
    if (!merged) {
        free(fresh);
        freeBrokerTable(table, tableCount);
        bqx_log_vf(ERR_MEMORY, r.pcb, kTag, r.broker, -1, 1, "PartitionList");
        return ERR_MEMORY;
    }
    uint32_t before = r.pcb->u32PartitionCount;
    mergeBrokerTable(r.pcb, table, static_cast<uint32_t>(brokers));
    mergePartitionList(r.pcb, merged, fresh, freshCount);
    free(fresh);
    if (r.pcb->u32PartitionCount != before)
        partitionsAdded(r, before);
    return kBrokerTableReplaced;
}

int32_t sendMetadata(PCB *pcb, uint32_t brokerIndex) {
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, sizeof request,
                                             kMetadataKey, kMetadataVersion);
    if (position < 1)
        return -1;
    const char *topic = pcb->pszTopic ? pcb->pszTopic : "";
    position = kafka_marshall_new(pcb, request, sizeof request, position, "i4nsi1", 1, topic, 1,
                                  0);
    if (position < 0)
        return kafka_marshall_failure(position);
    return kafka_sendqueue(pcb, brokerIndex, request, static_cast<uint32_t>(position), SEND_SYNC);
}

// The broker a refresh asks next among those not yet `tried`: a connected
// one without outstanding requests, else any connected one, else the first
// that accepts a connection (a refused connect fails at once). The
// coordinator slot is left to the group's requests. -1 when none.
int32_t refreshBroker(PCB *pcb, const uint8_t *tried) {
    uint32_t candidates = pcb->u32BrokerCount - 1;
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t i = 0; i < candidates; ++i) {
            const BrokerEntry &entry = pcb->pBrokerList[i];
            if (!tried[i] && entry.i32Socket != -1 && (pass == 1 || !entry.pPendingHead))
                return static_cast<int32_t>(i);
        }
    for (uint32_t i = 0; i < candidates; ++i)
        if (!tried[i] && pcb->pBrokerList[i].pszHost && pcb->pBrokerList[i].pszHost[0] &&
            kafka_connect(pcb, i) == 0)
            return static_cast<int32_t>(i);
    return -1;
}

// Results of a refresh request that mean its connection failed (the
// transport has logged them): another broker may still answer.
bool connectionFailed(int32_t rc) {
    return rc == ERR_TCPIP || rc == ERR_AUTH_REQUIRED || rc == ERR_UNEXPECTED_REPLY ||
           rc == ERR_TIMEOUT;
}

// Asks the brokers in refreshBroker's order until one answers or a result
// other than a lost connection ends the search. A connection that was open
// may belong to a broker that has just gone; each broker is asked once.
int32_t askBrokers(PCB *pcb, uint8_t *tried) {
    const BrokerEntry *table = pcb->pBrokerList;
    for (;;) {
        int32_t brokerIndex = refreshBroker(pcb, tried);
        if (brokerIndex < 0) {
            bqx_log_vf(ERR_NO_CLUSTER, pcb, kTag, -1, -1, 1, "");
            return ERR_NO_CLUSTER;
        }
        tried[brokerIndex] = 1;
        // From now on every Metadata reply of this connection merges, also
        // one that arrives after its wait gave up.
        pcb->u32MetadataMerge = 1;
        int32_t rc = sendMetadata(pcb, static_cast<uint32_t>(brokerIndex));
        if (rc == -1) {
            bqx_log_vf(ERR_REQUEST_HEADER, pcb, kTag, -1, -1, 1, "");
            return ERR_REQUEST_HEADER;
        }
        // A new table has new indexes: the search cannot go on in it.
        if (!connectionFailed(rc) || pcb->pBrokerList != table)
            return rc;
    }
}

} // namespace

int32_t kafka_meta(PCB *pcb, uint32_t brokerIndex) {
    pcb->u32MetadataMerge = 0; // a new connection: the reply builds the tables
    return sendMetadata(pcb, brokerIndex);
}

int32_t kafka_meta_refresh(PCB *pcb) {
    if (!pcb->pBrokerList || pcb->u32BrokerCount < 2) {
        bqx_log_vf(ERR_NO_BROKERLIST, pcb, kTag, -1, -1, 1, "");
        return ERR_NO_BROKERLIST;
    }
    auto *tried = static_cast<uint8_t *>(calloc(pcb->u32BrokerCount, 1));
    if (!tried) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, "BrokerList");
        return ERR_MEMORY;
    }
    int32_t rc = askBrokers(pcb, tried);
    free(tried);
    if (rc == 0)
        pcb->u32MetadataStale = 0;
    return rc;
}

int32_t kafka_meta_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                         uint32_t replyLen) {
    MetaReader r{pcb, reply, replyLen, 0, kafka_broker_id(pcb, brokerIndex)};
    int32_t size = 0, correlationId = 0, throttle = 0, brokers = 0;
    r.position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i4i4", &size, &correlationId,
                                      &throttle, &brokers);
    if (!countFits(r, brokers, kBrokerMinBytes))
        return malformed(r, "Metadata reply: broker count beyond reply");
    uint32_t brokerCount = static_cast<uint32_t>(brokers);
    BrokerEntry *table = newBrokerTable(brokerCount + 2);
    if (!table) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, r.broker, -1, 1, "BrokerList");
        return ERR_MEMORY;
    }
    int16_t topicError = 0;
    int32_t rc = readBrokers(r, table, brokers);
    if (rc == 0)
        rc = readTopicHeader(r, &topicError);
    if (rc != 0) {
        freeBrokerTable(table, brokerCount + 2);
        return rc;
    }
    if (pcb->u32MetadataMerge) {
        rc = mergeReply(r, table, brokers, topicError);
        if (rc == kBrokerTableReplaced)
            pcb->i64MetadataAtMs = transport_monotonicMs();
        return rc;
    }
    if (topicError != 0) {
        installBrokerTable(pcb, table, brokerCount);
        installPartitionList(pcb, nullptr, 0);
        bqx_log_vf(ERR_KAFKA, pcb, kTag, r.broker, -1, 2, static_cast<int>(topicError),
                   getErrorText(topicError));
        return ERR_KAFKA;
    }
    PartitionEntry *list = nullptr;
    uint32_t partitions = 0;
    rc = readPartitions(r, table, brokers, &list, &partitions);
    if (rc != 0) {
        freeBrokerTable(table, brokerCount + 2);
        return rc;
    }
    installBrokerTable(pcb, table, brokerCount);
    installPartitionList(pcb, list, partitions);
    pcb->i64MetadataAtMs = transport_monotonicMs();
    return kBrokerTableReplaced;
}

void kafka_meta_check_age(PCB *pcb) {
    if (pcb->u32MetadataMaxAgeMs != 0 &&
        transport_monotonicMs() - pcb->i64MetadataAtMs >= pcb->u32MetadataMaxAgeMs)
        pcb->u32MetadataStale = 1;
}
