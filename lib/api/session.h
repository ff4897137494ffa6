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
// with `tag` and resolves the handle, and counts the call as inside the
// session until bqx_leave. While another call has the session to itself
// (a reconnect), the call waits for it. An unknown or closing handle is
// logged as 7502 and the lock released again; the caller then returns 7502.
PCB *bqx_enter(const char *tag, int32_t handle);

// The end of every entry point that entered with bqx_enter: the call is
// no longer inside the session; gMutex is released.
void bqx_leave(PCB *pcb, const char *tag);

// Makes the calling entry point the only call running in its session, for
// BQXCONN and the close. Other calls running in it are woken and give up
// at their next wait; new calls wait (or, once closing, get 7502). Waits
// with gMutex released. Returns 0, or 7502 (logged) when a close began
// meanwhile and this call is not the close.
int32_t bqx_claim(PCB *pcb, const char *tag);

// True when another call has taken, or is taking, the session over (a
// close or a reconnect): a call that finds this after a wait gives up.
bool bqx_session_taken(const PCB *pcb);

// 0, or 7502 (logged once per call) when the session is taken over: a call
// checks this before it releases gMutex for a wait.
int32_t bqx_check_taken(PCB *pcb, const char *tag);

// The reading end of the session's wake pipe, or -1. A wait adds it to
// its readiness set, so that a close or reconnect wakes it at once.
int bqx_wake_fd(const PCB *pcb);

// Releases gMutex for a wait inside the session, and takes it again.
// bqx_retake returns 0, or 7502 (logged once per call) when the session
// was taken over meanwhile; `woken` tells that the wait saw the wake pipe.
void bqx_release(const char *tag);
int32_t bqx_retake(PCB *pcb, const char *tag, bool woken);

// Sleeps up to `ms` with gMutex released, waking early when the session is
// taken over. Returns 0 or 7502 as bqx_retake does.
int32_t bqx_pause(PCB *pcb, const char *tag, int64_t ms);

// Session lifetime, for the open and close calls: the wake pipe of a new
// session and its release; bqx_begin_close marks a session closing and
// wakes its waits; bqx_await_calls_out (BQXTERM) waits until no call runs
// in a closing session and gives it to the caller; bqx_session_changed tells
// waiting calls that a slot was emptied or a session's state changed.
// Caller holds gMutex.
void bqx_wake_open(PCB *pcb);
void bqx_wake_close(PCB *pcb);
void bqx_begin_close(PCB *pcb);
void bqx_await_calls_out(PCB *pcb);
void bqx_session_changed();

// Waits, with gMutex released, until bqx_session_changed is called for any
// session. Returns 0, or 7502 when the session was taken over.
int32_t bqx_await_session_change(PCB *pcb, const char *tag);

// Checks a caller's pointer and length pair: a negative length, or a null
// pointer with a length above 0, is logged as 7536 with `what` named and
// returned; otherwise 0.
int32_t bqx_check_buffer(PCB *pcb, const char *tag, const char *what, const void *data,
                         int64_t length);

// Copies `length` caller bytes into a new zeroed heap text of length + 2
// bytes. Null when it cannot be allocated.
char *bqx_copy_text(const char *text, uint32_t length);

// Frees what BQXCONF stored (the password wiped first), and the whole key
// kept for the murmur2 partitioner.
void bqx_settings_free(PCB *pcb);

// With statistics.interval.ms set: the statistics lines and each assigned
// partition's lag once the interval has passed (api/statistics.cpp). Every
// call of the session checks at its end.
void bqx_statistics_if_due(PCB *pcb);

// Forgets the message BQXINFO reports (a new connect, the close).
void bqx_delivered_forget(PCB *pcb);

#endif
