// The calls the record decoder makes into the fetch loop and the offset
// commit. They are reached through these pointers so that tests and the
// fuzz driver can observe them without a broker; the library never
// changes them.
#ifndef BQX_CONSUME_FETCH_REPLY_H
#define BQX_CONSUME_FETCH_REPLY_H

#include <stdint.h>

struct PCB;

extern int32_t (*gpfnFetchSend)(PCB *pcb, const char *topic, uint32_t partitionIndex);
extern int32_t (*gpfnOffsetCommit)(PCB *pcb);
extern void (*gpfnFetchPartitionError)(PCB *pcb, uint32_t partitionIndex, int16_t errorCode);

#endif
