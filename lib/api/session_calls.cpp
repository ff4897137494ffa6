// Calls inside a session: entering and leaving, having the session to
// oneself (close, reconnect), and the waits that release the global lock.
//
// A call keeps its session pointer while a wait has released gMutex. So a
// session is freed, or its tables replaced, only by a call that has it to
// itself: bqx_claim waits until no other call runs in it. Calls that wait
// meanwhile are woken through the session's wake pipe and give up with
// 7502 when they take the lock again.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "transport/transport_internal.h"

namespace {

// Signalled under gMutex whenever a call leaves a session, a claim ends or
// a session is freed.
pthread_cond_t gSessionChanged = PTHREAD_COND_INITIALIZER;

// A call logs its giving-up once, however many waits find the session taken.
thread_local bool tlsGaveUp;

bool ownsSession(const PCB *pcb) {
    return pcb->u32Exclusive && pthread_equal(pcb->tExclusiveOwner, pthread_self());
}

// Wakes the session's calls: those in a readiness wait through the pipe,
// those waiting for a change of the session through the condition.
void wake(PCB *pcb) {
    pthread_cond_broadcast(&gSessionChanged);
    if (!pcb->u32WakeOpen)
        return;
    char byte = 1;
    // A full pipe already wakes every wait: a failed write loses nothing.
    ssize_t written = write(pcb->ai32WakePipe[1], &byte, 1);
    (void)written;
}

void drainWake(PCB *pcb) {
    if (!pcb->u32WakeOpen)
        return;
    char bytes[64];
    while (read(pcb->ai32WakePipe[0], bytes, sizeof bytes) > 0) {
    }
}

int32_t gaveUp(PCB *pcb, const char *tag) {
    if (!tlsGaveUp)
        bqx_log_vf(ERR_HANDLE, pcb, tag, -1, -1, 1,
                   "(the session was closed or reconnected by another call)");
    tlsGaveUp = true;
    return ERR_HANDLE;
}

} // namespace

PCB *bqx_enter(const char *tag, int32_t handle) {
    kafka_lock(tag);
    tlsGaveUp = false;
    PCB *pcb = get_BQXPCB(handle);
    // A reconnect in progress has the session to itself: wait for its end.
    // The slot is read anew after each wait, since the session may be gone.
    while (pcb && !pcb->u32Closing && (pcb->u32Exclusive || pcb->u32ClaimWaiters)) {
        pthread_cond_wait(&gSessionChanged, &gMutex);
        pcb = get_BQXPCB(handle);
    }
    if (!pcb || pcb->u32Closing) {
        bqx_log_vf(ERR_HANDLE, nullptr, tag, -1, -1, 1, "");
        kafka_unlock(tag);
        return nullptr;
    }
    pcb->u32CallsInside++;
    return pcb;
}

void bqx_leave(PCB *pcb, const char *tag) {
    bqx_statistics_if_due(pcb);
    if (pcb->u32CallsInside > 0)
        pcb->u32CallsInside--;
    if (ownsSession(pcb))
        pcb->u32Exclusive = 0;
    pthread_cond_broadcast(&gSessionChanged);
    kafka_unlock(tag);
}

int32_t bqx_claim(PCB *pcb, const char *tag) {
    bool closer = pcb->u32Closing != 0;
    // While waiting, this call does not count as running: a second claimer
    // would otherwise wait for it for ever.
    pcb->u32CallsInside--;
    pcb->u32ClaimWaiters++;
    wake(pcb);
    while (pcb->u32CallsInside > 0 || pcb->u32Exclusive ||
           (closer && pcb->u32ClaimWaiters > 1)) {
        if (!closer && pcb->u32Closing)
            break;
        pthread_cond_wait(&gSessionChanged, &gMutex);
    }
    pcb->u32ClaimWaiters--;
    pcb->u32CallsInside++;
    if (!closer && pcb->u32Closing) {
        pthread_cond_broadcast(&gSessionChanged);
        return gaveUp(pcb, tag);
    }
    pcb->u32Exclusive = 1;
    pcb->tExclusiveOwner = pthread_self();
    drainWake(pcb); // the calls it woke have left
    return 0;
}

bool bqx_session_taken(const PCB *pcb) {
    if (ownsSession(pcb))
        return false;
    return pcb->u32Closing || pcb->u32Exclusive || pcb->u32ClaimWaiters;
}

int bqx_wake_fd(const PCB *pcb) { return pcb->u32WakeOpen ? pcb->ai32WakePipe[0] : -1; }

void bqx_release(const char *tag) { kafka_unlock(tag); }

int32_t bqx_retake(PCB *pcb, const char *tag, bool woken) {
    kafka_lock(tag);
    if (bqx_session_taken(pcb))
        return gaveUp(pcb, tag);
    // Woken for a claim that this call, the session's owner, does not
    // yield to: empty the pipe so that the next wait does not spin.
    if (woken)
        drainWake(pcb);
    return 0;
}

int32_t bqx_check_taken(PCB *pcb, const char *tag) {
    return bqx_session_taken(pcb) ? gaveUp(pcb, tag) : 0;
}

int32_t bqx_pause(PCB *pcb, const char *tag, int64_t ms) {
    if (bqx_session_taken(pcb))
        return gaveUp(pcb, tag);
    if (ms <= 0)
        return 0;
    pollfd wakeFd = {bqx_wake_fd(pcb), POLLIN, 0};
    int64_t deadline = transport_monotonicMs() + ms;
    bqx_release(tag);
    int rc = 0;
    for (int64_t left = ms; left > 0; left = deadline - transport_monotonicMs()) {
        rc = poll(&wakeFd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (rc >= 0 || errno != EINTR)
            break;
    }
    return bqx_retake(pcb, tag, rc > 0);
}

// The wake pipe of a new session; without one, waits are only not woken
// early, so a failure here does not fail the open.
void bqx_wake_open(PCB *pcb) {
    pcb->u32WakeOpen = pipe2(pcb->ai32WakePipe, O_NONBLOCK | O_CLOEXEC) == 0;
}

void bqx_wake_close(PCB *pcb) {
    if (!pcb->u32WakeOpen)
        return;
    close(pcb->ai32WakePipe[0]);
    close(pcb->ai32WakePipe[1]);
    pcb->u32WakeOpen = 0;
}

void bqx_begin_close(PCB *pcb) {
    pcb->u32Closing = 1;
    wake(pcb);
}

void bqx_await_calls_out(PCB *pcb) {
    while (pcb->u32CallsInside > 0 || pcb->u32ClaimWaiters > 0)
        pthread_cond_wait(&gSessionChanged, &gMutex);
    pcb->u32Exclusive = 1;
    pcb->tExclusiveOwner = pthread_self();
    drainWake(pcb);
}

void bqx_session_changed() { pthread_cond_broadcast(&gSessionChanged); }

int32_t bqx_await_session_change(PCB *pcb, const char *tag) {
    int32_t rc = bqx_check_taken(pcb, tag);
    if (rc != 0)
        return rc;
    pthread_cond_wait(&gSessionChanged, &gMutex);
    return bqx_check_taken(pcb, tag);
}
