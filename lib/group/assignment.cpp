// Reading a member's assignment, and ending the ownership of partitions.
#include "group/assignment.h"

#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol_internal.h"

namespace {

constexpr const char *kTag = "SyncGrpRy";
constexpr int64_t kTopicMinBytes = 6; // empty name, partition count
constexpr int64_t kIdBytes = 4;

// The assignment being read: `apply` is off for the checking pass and on
// for the pass that marks the partitions.
struct AssignmentReader {
    PCB *pcb;
    const uint8_t *bytes;
    uint32_t length;
    int32_t position;
    int32_t broker;
    bool apply;
};

bool fits(const AssignmentReader &r, int32_t count, int64_t minBytes) {
    return kafka_array_fits(r.position, r.length, count, minBytes);
}

void markPartition(AssignmentReader &r, int32_t id) {
    PCB *pcb = r.pcb;
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].i32Partition == id)
            pcb->pPartitionList[i].u32Assigned = 1;
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_FIELD_NUMBER, pcb, kTag, r.broker, id, 2, "Assigned PartID",
                   static_cast<long long>(id));
}

const char *readTopic(AssignmentReader &r) {
    char *name = nullptr;
    int32_t count = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "nsi4", &name, &count);
    bool own = name && r.pcb->pszTopic && strcmp(name, r.pcb->pszTopic) == 0;
    free(name);
    if (!fits(r, count, kIdBytes))
        return "assignment: partition list beyond its bytes";
    for (int32_t n = 0; n < count; ++n) {
        int32_t id = 0;
        r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &id);
        if (own && r.apply)
            markPartition(r, id);
    }
    return nullptr;
}

// One pass over the whole assignment.
const char *readAssignment(AssignmentReader &r) {
    int16_t version = 0;
    int32_t topics = 0;
    r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, 0, "i2i4", &version, &topics);
    if (!fits(r, topics, kTopicMinBytes))
        return "assignment too short for its topic list";
    for (int32_t t = 0; t < topics; ++t) {
        const char *reason = readTopic(r);
        if (reason)
            return reason;
    }
    // The user data (null: -1) is not used, but must lie within the bytes.
    if (static_cast<int64_t>(r.length) - r.position >= 4) {
        int32_t userData = 0;
        r.position = kafka_unmarshall_new(r.pcb, r.bytes, r.length, r.position, "i4", &userData);
        if (userData > static_cast<int64_t>(r.length) - r.position)
            return "assignment: user data beyond its bytes";
    }
    return nullptr;
}

} // namespace

const char *group_apply_assignment(PCB *pcb, const uint8_t *bytes, uint32_t length,
                                   int32_t broker) {
    AssignmentReader check{pcb, bytes, length, 0, broker, false};
    const char *reason = readAssignment(check);
    if (reason)
        return reason;
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        pcb->pPartitionList[i].u32Assigned = 0;
    if (!pcb->pPartitionList)
        return nullptr;
    AssignmentReader mark{pcb, bytes, length, 0, broker, true};
    readAssignment(mark);
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i)
        if (!pcb->pPartitionList[i].u32Assigned)
            pcb->pPartitionList[i].i64Offset = -1;
    return nullptr;
}

void group_revoke_partitions(PCB *pcb) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i) {
        pcb->pPartitionList[i].u32Assigned = 0;
        pcb->pPartitionList[i].i64Offset = -1;
    }
}
