// TEMPORARY: placeholders for consumer functions not yet written. Each
// unit that implements a function deletes it here; the file goes when empty.
#include "api/pcb.h"
#include "protocol/consumer.h"

int32_t kafka_fetchoffsets(PCB *) { return 7536; }
int32_t kafka_fetchoffsets_reply(PCB *, uint32_t, const uint8_t *, uint32_t) { return 7536; }
int32_t kafka_offsetcommit(PCB *) { return 7536; }
int32_t kafka_offsetcommit_reply(PCB *, uint32_t, const uint8_t *, uint32_t) { return 7536; }
int32_t kafka_heartbeat(PCB *) { return 7536; }
int32_t kafka_heartbeat_send(PCB *, int32_t) { return 7536; }
int32_t kafka_heartbeat_reply(PCB *, uint32_t, const uint8_t *, uint32_t) { return 7536; }
