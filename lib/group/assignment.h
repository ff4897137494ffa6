// A member's assignment as the coordinator hands it out with SyncGroup:
// version, topics (name, partition ids), user data. Every version of it
// (0 to 3) has this layout; the user data may be missing.
#ifndef BQX_GROUP_ASSIGNMENT_H
#define BQX_GROUP_ASSIGNMENT_H

#include <stdint.h>

struct PCB;

// Reads the `length` bytes of an assignment and marks as assigned exactly
// the partitions of the session's topic it names; other topics, and ids the
// partition list does not know, are skipped. No topic at all is an empty
// assignment. Returns null, or what is malformed (and nothing changed).
const char *group_apply_assignment(PCB *pcb, const uint8_t *bytes, uint32_t length, int32_t broker);

// Ends the ownership of every partition: none is assigned, and none keeps
// a position, so that a partition assigned again starts from its committed
// offset and nothing is committed for a partition not owned.
void group_revoke_partitions(PCB *pcb);

#endif
