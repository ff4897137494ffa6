// The session table, handles and the global lock.
#ifndef BQX_API_SESSION_H
#define BQX_API_SESSION_H

#include <stdint.h>

#include "api/pcb.h"

// The PCB of an open session, or null. The caller holds gMutex.
PCB *get_BQXPCB(int32_t handle);

// Take and release gMutex; `tag` names the caller in the trace and error
// lines. Return 0 or 7532.
int32_t kafka_lock(const char *tag);
int32_t kafka_unlock(const char *tag);

// Copies `length` caller bytes into a new zeroed heap text of length + 2
// bytes. Null when it cannot be allocated.
char *bqx_copy_text(const char *text, uint32_t length);

#endif
