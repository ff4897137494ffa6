// Metadata (key 3, version 4) for the session's topic. The reply replaces
// the broker table with the brokers of the cluster (keeping the bootstrap
// entry and its connection) and builds the topic's partition list.
//
// The whole reply is decoded into a new table and a new partition list
// before anything of the session changes, so a reply that ends early leaves
// the session as it was.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kMetadataKey = 3;
constexpr int32_t kMetadataVersion = 4;
constexpr uint32_t kRequestSize = 128;
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
    for (uint32_t i = 0; table && i < count; ++i)
        table[i].i32Socket = -1;
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

} // namespace

int32_t kafka_meta(PCB *pcb, uint32_t brokerIndex) {
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
    return kBrokerTableReplaced;
}
