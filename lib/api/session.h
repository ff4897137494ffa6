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

// The common start of every entry point that takes a handle: takes gMutex
// with `tag` and resolves the handle. An unknown handle is logged as 7502
// and the lock released again; the caller then returns 7502.
PCB *bqx_enter(const char *tag, int32_t handle);

// Checks a caller's pointer and length pair: a negative length, or a null
// pointer with a length above 0, is logged as 7536 with `what` named and
// returned; otherwise 0.
int32_t bqx_check_buffer(PCB *pcb, const char *tag, const char *what, const void *data,
                         int64_t length);

// Copies `length` caller bytes into a new zeroed heap text of length + 2
// bytes. Null when it cannot be allocated.
char *bqx_copy_text(const char *text, uint32_t length);

#endif
