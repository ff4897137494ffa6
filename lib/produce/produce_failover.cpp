// What a producing session does when a partition's leader moves or its
// broker goes away: the session notes that its Metadata is stale, asks a
// broker it can still reach for fresh Metadata before the next message
// picks its partition, and in synch mode 1 sends a message that the old
// leader refused (and therefore did not write) once more to the new one.
#include "api/pcb.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "produce/produce_failover.h"

namespace {

constexpr int16_t kUnknownTopicOrPartition = 3;
constexpr int16_t kLeaderNotAvailable = 5;
constexpr int16_t kNotLeaderOrFollower = 6;

// Errors with which a broker refuses a record it does not lead: the record
// was not written, so sending it to the right leader cannot store it twice.
bool leaderError(int16_t errorCode) {
    return errorCode == kUnknownTopicOrPartition || errorCode == kLeaderNotAvailable ||
           errorCode == kNotLeaderOrFollower;
}

} // namespace

void kafka_produce_leader_error(PCB *pcb, int16_t errorCode) {
    if (!leaderError(errorCode))
        return;
    pcb->u32MetadataStale = 1;
    pcb->i16ProduceLeaderError = errorCode;
}

int32_t kafka_produce_refresh(PCB *pcb) {
    if (!pcb->u32MetadataStale)
        return 0;
    // kafka_meta_refresh has logged its failure. With no broker left to ask
    // the leader cannot be reached either: the call fails at once. Other
    // failures leave the tables as they were; the flag stays set, so the
    // next call asks again.
    int32_t rc = kafka_meta_refresh(pcb);
    return rc == static_cast<int32_t>(ERR_NO_CLUSTER) ? rc : 0;
}

bool kafka_produce_resend_due(const PCB *pcb, int32_t rc) {
    return rc == static_cast<int32_t>(ERR_KAFKA) && pcb->u32Synchronous &&
           pcb->i16ProduceLeaderError != 0;
}
