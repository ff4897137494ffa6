// Produce failover: stale Metadata after a leader error or a lost leader
// connection, its refresh, and the one resend of a refused message.
#ifndef BQX_PRODUCE_PRODUCE_FAILOVER_H
#define BQX_PRODUCE_PRODUCE_FAILOVER_H

#include <stdint.h>

struct PCB;

// Called by the Produce reply handler with the partition's error code:
// NOT_LEADER_OR_FOLLOWER, LEADER_NOT_AVAILABLE and UNKNOWN_TOPIC_OR_PARTITION
// mark the Metadata stale and are kept for kafka_produce_resend_due.
void kafka_produce_leader_error(PCB *pcb, int16_t errorCode);

// Refreshes stale Metadata. Returns 0 (also when the refresh failed but
// the old tables may still serve) or 7521 when no broker could be reached.
int32_t kafka_produce_refresh(PCB *pcb);

// Whether the result `rc` of a synch-mode-1 send is a leader error that
// allows one more attempt.
bool kafka_produce_resend_due(const PCB *pcb, int32_t rc);

#endif
