// TEMPORARY: placeholders for consumer functions not yet written. Each
// unit that implements a function deletes it here; the file goes when empty.
#include "api/pcb.h"
#include "protocol/consumer.h"

int32_t kafka_listoffsets(PCB *, uint32_t, const char *) { return 7536; }
int32_t kafka_listoffsets_reply(PCB *, uint32_t, const uint8_t *, uint32_t, int32_t) { return 7536; }
int32_t kafka_fetch(PCB *, const char *, char *, uint32_t *, int32_t) { return 7536; }
int32_t kafka_fetch_all(PCB *) { return 7536; }
int32_t kafka_fetch_send(PCB *, const char *, uint32_t) { return 7536; }
int32_t kafka_fetch_reply(PCB *, uint32_t, const uint8_t *, uint32_t, uint32_t) { return 7536; }
int32_t kafka_checkReplyBuffers(PCB *, const char *, char *, uint32_t *) { return 7536; }
int32_t kafka_checkReplyBuffers_ex(PCB *, const char *, char *, uint32_t *, uint32_t) { return 7536; }
int32_t kafka_process_fetchreply(PCB *, uint32_t, uint32_t, char **, uint32_t *, char **, uint32_t *) { return 7536; }
int32_t kafka_cleanupReceive(PCB *, uint32_t) { return 7536; }
int32_t kafka_findcoordinator(PCB *, int8_t) { return 7536; }
int32_t kafka_findcoordinator_reply(PCB *, uint32_t, const uint8_t *, uint32_t) { return 7536; }
int32_t kafka_joingroup(PCB *) { return 7536; }
int32_t kafka_joingroup_send(PCB *, uint32_t, int32_t) { return 7536; }
int32_t kafka_joingroup_reply(PCB *, uint32_t, const uint8_t *, uint32_t) { return 7536; }
int32_t kafka_rejoingroup(PCB *) { return 7536; }
int32_t kafka_leavegroup(PCB *) { return 7536; }
int32_t kafka_leavegroup_reply(PCB *, uint32_t, const uint8_t *, uint32_t) { return 7536; }
void kafka_group_error(PCB *, int16_t) {  }
int32_t kafka_group_recover(PCB *) { return 7536; }
int32_t kafka_syncgroup(PCB *) { return 7536; }
int32_t kafka_syncgroup_reply(PCB *, uint32_t, const uint8_t *, uint32_t) { return 7536; }
void kafka_fetch_partition_error(PCB *, uint32_t, int16_t) {}
int32_t kafka_meta_refresh(PCB *) { return 7536; }
