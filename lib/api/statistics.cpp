// statistics.interval.ms: the statistics lines every interval, written at
// the end of a call of the session once the interval has passed, with the
// lag of each assigned partition.
#include <stdio.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kTag = "STATS";

// High watermark less the next offset to deliver, from the last Fetch
// reply; partitions without both are left out.
void logLag(PCB *pcb) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i) {
        const PartitionEntry &entry = pcb->pPartitionList[i];
        if (!entry.u32Assigned || entry.i64HighWatermark < 0 || entry.i64Offset < 0)
            continue;
        int64_t lag = entry.i64HighWatermark - entry.i64Offset;
        char name[33];
        snprintf(name, sizeof name, "lag partition %d", entry.i32Partition);
        bqx_log_vf(INF_FIELD_NUMBER, pcb, kTag, -1, entry.i32Partition, 2, name,
                   static_cast<long long>(lag > 0 ? lag : 0));
    }
}

} // namespace

void bqx_statistics_if_due(PCB *pcb) {
    if (pcb->u32StatsIntervalMs == 0 || pcb->u32Closing)
        return;
    int64_t now = transport_monotonicMs();
    if (pcb->i64StatsDueMs == 0) { // the interval starts with the first call
        pcb->i64StatsDueMs = now + pcb->u32StatsIntervalMs;
        return;
    }
    if (now < pcb->i64StatsDueMs)
        return;
    pcb->i64StatsDueMs = now + pcb->u32StatsIntervalMs;
    kafka_log_statistics(pcb, kTag);
    if (pcb->pszGroupID)
        logLag(pcb);
}
