// Members' subscriptions as the leader reads them from the JoinGroup reply,
// and the partition counts of the topics they name besides the session's.
#include "group/subscription.h"

#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "group/coordinator_request.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kMetadataKey = 3;
constexpr const char *kTag = "TopicCounts";
constexpr uint64_t kUtf8Factor = 4;
constexpr int64_t kTextMinBytes = 2;
constexpr int64_t kOwnedTopicMinBytes = 6; // empty name, partition count
constexpr int64_t kBrokerMinBytes = 12;    // node id, empty host, port, null rack
constexpr int64_t kTopicMinBytes = 9;      // error, empty name, internal, partition count
constexpr int64_t kPartitionMinBytes = 22; // error, id, leader, three array counts

// A reader over bytes that stops at the first field beyond them: from then
// on `position` is negative and every later read fails.
struct Reader {
    PCB *pcb;
    const uint8_t *bytes;
    uint32_t length;
    int32_t position;
};

bool fits(const Reader &r, int32_t count, int64_t minBytes) {
    return kafka_array_fits(r.position, r.length, count, minBytes);
}

// Steps over an array of `width`-byte elements.
bool skipArray(Reader &r, int64_t width) {
    int32_t count = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &count);
    if (!fits(r, count, width))
        return false;
    r.position += count > 0 ? static_cast<int32_t>(count * width) : 0;
    return true;
}

bool skipText(Reader &r) {
    char *text = nullptr;
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "ns", &text);
    free(text);
    return r.position >= 0;
}

// Steps over version 1's owned partitions: [topic, [partition]].
bool skipOwnedPartitions(Reader &r) {
    int32_t topics = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &topics);
    if (!fits(r, topics, kOwnedTopicMinBytes))
        return false;
    for (int32_t t = 0; t < topics; ++t)
        if (!skipText(r) || !skipArray(r, 4))
            return false;
    return true;
}

bool readTopics(Reader &r, MemberTopics *out) {
    int32_t count = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &count);
    if (!fits(r, count, kTextMinBytes))
        return false;
    if (count <= 0)
        return true;
    out->apszTopics = static_cast<char **>(calloc(static_cast<size_t>(count), sizeof(char *)));
    if (!out->apszTopics)
        return false;
    for (int32_t i = 0; i < count; ++i) {
        char *topic = nullptr;
        r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "ns", &topic);
        if (r.position < 0)
            return false;
        if (topic)
            out->apszTopics[out->u32Count++] = topic;
    }
    return true;
}

void freeTopics(MemberTopics &topics) {
    for (uint32_t i = 0; i < topics.u32Count; ++i)
        free(topics.apszTopics[i]);
    free(topics.apszTopics);
    topics = MemberTopics{};
}

void freeCounts(PCB *pcb) {
    for (uint32_t i = 0; i < pcb->u32OtherTopics; ++i)
        free(pcb->pOtherTopics[i].pszTopic);
    free(pcb->pOtherTopics);
    pcb->pOtherTopics = nullptr;
    pcb->u32OtherTopics = 0;
}

bool sameText(const char *a, const char *b) { return a && b && strcmp(a, b) == 0; }

bool listed(const PCB *pcb, const char *topic) {
    for (uint32_t i = 0; i < pcb->u32OtherTopics; ++i)
        if (sameText(pcb->pOtherTopics[i].pszTopic, topic))
            return true;
    return false;
}

// Lists every subscribed topic but the session's own once, count unknown.
bool listOtherTopics(PCB *pcb) {
    uint32_t most = 0;
    for (uint32_t j = 0; j < pcb->u32NumMembers; ++j)
        most += pcb->aMemberTopics[j].u32Count;
    if (most == 0)
        return true;
    pcb->pOtherTopics =
        static_cast<TopicPartitionCount *>(calloc(most, sizeof(TopicPartitionCount)));
    if (!pcb->pOtherTopics)
        return false;
    for (uint32_t j = 0; j < pcb->u32NumMembers; ++j)
        for (uint32_t t = 0; t < pcb->aMemberTopics[j].u32Count; ++t) {
            const char *topic = pcb->aMemberTopics[j].apszTopics[t];
            if (sameText(topic, pcb->pszTopic) || listed(pcb, topic))
                continue;
            char *copy = strdup(topic);
            if (!copy)
                return false;
            pcb->pOtherTopics[pcb->u32OtherTopics++] = {copy, -1};
        }
    return true;
}

int32_t sendRequest(PCB *pcb) {
    uint64_t textBytes = 0;
    for (uint32_t i = 0; i < pcb->u32OtherTopics; ++i) {
        size_t length = strlen(pcb->pOtherTopics[i].pszTopic);
        if (length > kMaxWireTextBytes)
            return ERR_MARSHALL;
        textBytes += 2 + kUtf8Factor * length;
    }
    uint32_t slot = static_cast<uint32_t>(kafka_coordinator_index(pcb));
    SizedRequest q;
    int32_t rc = kafka_request_alloc(pcb, kTag, "Metadata Request", slot, kMetadataKey,
                                     kTopicCountsMetadataVersion, 4 + textBytes + 1, &q);
    if (rc != 0)
        return rc;
    int32_t position = kafka_marshall_new(pcb, q.bytes, q.capacity, q.position, "i4",
                                          static_cast<int32_t>(pcb->u32OtherTopics));
    for (uint32_t i = 0; i < pcb->u32OtherTopics; ++i)
        position = kafka_marshall_new(pcb, q.bytes, q.capacity, position, "ns",
                                      pcb->pOtherTopics[i].pszTopic, 1);
    // allow_auto_topic_creation: a member's subscription creates no topic.
    position = kafka_marshall_new(pcb, q.bytes, q.capacity, position, "i1", 0);
    rc = position < 0
             ? kafka_marshall_failure(position)
             : kafka_sendqueue(pcb, slot, q.bytes, static_cast<uint32_t>(position), SEND_SYNC);
    free(q.bytes);
    return rc;
}

bool skipBrokers(Reader &r) {
    int32_t brokers = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &brokers);
    if (!fits(r, brokers, kBrokerMinBytes))
        return false;
    for (int32_t i = 0; i < brokers; ++i) {
        int32_t nodeId = 0, port = 0;
        r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &nodeId);
        if (!skipText(r))
            return false;
        r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &port);
        if (!skipText(r))
            return false;
    }
    return true;
}

// Reads one topic and sets its count when it is listed and error-free.
bool readTopic(Reader &r) {
    int16_t error = 0;
    char *name = nullptr;
    uint8_t internal = 0;
    int32_t partitions = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i2nsum", &error, &name,
                                      &internal, 1u);
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &partitions);
    bool ok = fits(r, partitions, kPartitionMinBytes);
    for (int32_t p = 0; ok && p < partitions; ++p) {
        int16_t partitionError = 0;
        int32_t id = 0, leader = 0;
        r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i2i4i4",
                                          &partitionError, &id, &leader);
        ok = skipArray(r, 4) && skipArray(r, 4) && skipArray(r, 4);
    }
    for (uint32_t i = 0; ok && error == 0 && i < r.pcb->u32OtherTopics; ++i)
        if (sameText(r.pcb->pOtherTopics[i].pszTopic, name))
            r.pcb->pOtherTopics[i].i32Partitions = partitions < 0 ? 0 : partitions;
    free(name);
    return ok;
}

} // namespace

bool group_read_subscription(PCB *pcb, const uint8_t *bytes, uint32_t length, MemberTopics *out) {
    *out = MemberTopics{};
    Reader r{pcb, bytes, length, 0};
    int16_t version = 0;
    r.position = kafka_unmarshall_new(pcb, bytes, length, 0, "i2", &version);
    bool ok = r.position >= 0 && readTopics(r, out);
    // User data, then version 1's owned partitions, when the bytes go on.
    if (ok && r.position < static_cast<int32_t>(length))
        ok = skipArray(r, 1);
    if (ok && version >= 1 && r.position < static_cast<int32_t>(length))
        ok = skipOwnedPartitions(r);
    if (!ok)
        freeTopics(*out);
    return ok;
}

void group_free_subscriptions(PCB *pcb) {
    for (MemberTopics &topics : pcb->aMemberTopics)
        freeTopics(topics);
    freeCounts(pcb);
}

bool group_subscribes(const PCB *pcb, uint32_t index, const char *topic) {
    const MemberTopics &topics = pcb->aMemberTopics[index];
    for (uint32_t i = 0; i < topics.u32Count; ++i)
        if (sameText(topics.apszTopics[i], topic))
            return true;
    return false;
}

int32_t group_fetch_topic_counts(PCB *pcb) {
    freeCounts(pcb);
    if (!listOtherTopics(pcb)) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, "Topic Counts");
        return ERR_MEMORY;
    }
    return pcb->u32OtherTopics == 0 ? 0 : sendRequest(pcb);
}

int32_t group_topic_counts_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                 uint32_t replyLen) {
    Reader r{pcb, reply, replyLen, 0};
    int32_t size = 0, correlationId = 0, throttle = 0, controller = 0, topics = 0;
    r.position =
        kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i4", &size, &correlationId, &throttle);
    bool ok = skipBrokers(r) && skipText(r);
    r.position =
        kafka_unmarshall_new(pcb, reply, replyLen, r.position, "i4i4", &controller, &topics);
    ok = ok && fits(r, topics, kTopicMinBytes);
    for (int32_t t = 0; ok && t < topics; ++t)
        ok = readTopic(r);
    if (!ok)
        return kafka_reply_malformed(pcb, "MetadaRy", kafka_broker_id(pcb, brokerIndex),
                                     "Metadata reply for the members' topics truncated");
    return 0;
}
