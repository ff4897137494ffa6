// The session table, handles, the global lock and the open/close/terminate
// entry points.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/session.h"
#include "codec/codec.h"
#include "group/heartbeat.h"
#include "log/log.h"
#include "log/messages.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

#ifndef BQX_BUILD_STAMP
#define BQX_BUILD_STAMP __DATE__ " " __TIME__
#endif

PCB *gpcbList[BQX_MAX_SESSIONS];
pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;
int32_t giDebugLevel;
int32_t giThreadActive;
pthread_t gThreadId;
char gpszVersion[53] = "BqX Kafka Connector for Linux Version 1.2.1";

static_assert(sizeof("BqX Kafka Connector for Linux Version 1.2.1") <= 53);

PCB *get_BQXPCB(int32_t handle) {
    if (handle < 0 || handle >= BQX_MAX_SESSIONS) return nullptr;
    return gpcbList[handle];
}

static int32_t lock_result(int rc, const char *what, const char *tag) {
    if (rc != 0) {
        bqx_log_vf(ERR_MUTEX, nullptr, tag, -1, -1, 3, what, rc, strerror(rc));
        return ERR_MUTEX;
    }
    if (giDebugLevel > 1)
        bqx_log_vf(INF_MUTEX, nullptr, tag, -1, -1, 1, what[0] == 'L' ? "Locked" : "Unlocked");
    return 0;
}

int32_t kafka_lock(const char *tag) {
    return lock_result(pthread_mutex_lock(&gMutex), "Lock", tag);
}

int32_t kafka_unlock(const char *tag) {
    return lock_result(pthread_mutex_unlock(&gMutex), "Unlock", tag);
}

char *bqx_copy_text(const char *text, uint32_t length) {
    if (length > UINT32_MAX - 2) return nullptr;
    char *copy = static_cast<char *>(calloc(1, static_cast<size_t>(length) + 2));
    if (copy && length > 0) memcpy(copy, text, length);
    return copy;
}

int32_t bqx_check_buffer(PCB *pcb, const char *tag, const char *what, const void *data,
                         int64_t length) {
    char reason[64];
    if (length < 0)
        snprintf(reason, sizeof reason, "invalid argument: %s length %lld", what,
                 static_cast<long long>(length));
    else if (!data && length > 0)
        snprintf(reason, sizeof reason, "invalid argument: null %s with length %lld", what,
                 static_cast<long long>(length));
    else
        return 0;
    bqx_log_vf(ERR_PROTOCOL, pcb, tag, -1, -1, 1, reason);
    return ERR_PROTOCOL;
}

static int32_t first_free_slot() {
    for (int32_t i = 0; i < BQX_MAX_SESSIONS; i++)
        if (!gpcbList[i]) return i;
    return -1;
}

static bool any_session_open() {
    for (PCB *pcb : gpcbList)
        if (pcb) return true;
    return false;
}

static void set_defaults(PCB *pcb) {
    memset(pcb, 0, sizeof(*pcb));
    pcb->i32CoordinatorID = -1;
    pcb->iDebugLevel = 0;
    pcb->u32SendWindow = 100;
    pcb->u32ReceiveWindow = 1;
    pcb->i16Acks = -1;
    pcb->ullStartTime = static_cast<uint64_t>(getTimeStamp());
    pcb->u32Timeout = 30;
    pcb->u32MetadataMaxAgeMs = 300000;
    pcb->u32FetchMaxBytes = 50u << 20;              // fetch.max.bytes
    pcb->u32PartitionFetchMaxBytes = 1u << 20;      // max.partition.fetch.bytes
    pcb->u32CheckCrcs = 1;                          // check.crcs
    pcb->u32Idempotence = 1;                        // enable.idempotence
    pcb->u32IdempotentRun = 1;
    pcb->u32DeliveryTimeoutMs = 120000;             // delivery.timeout.ms
    pcb->i64MetadataAtMs = transport_monotonicMs(); // the age counts from the open
}

static void ignore_sigpipe() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGPIPE, &action, nullptr);
}

int32_t BQXOPEN(void) {
    kafka_lock("BQXOPEN");
    if (!any_session_open())
        bqx_log_configure(); // BQX_LOG is read anew by the first session
    bqx_log_vf(INF_VERSION, nullptr, "BQXOPEN", -1, -1, 2, gpszVersion, BQX_BUILD_STAMP);
    int32_t slot = first_free_slot();
    if (slot < 0) {
        bqx_log_vf(ERR_SESSION_LIMIT, nullptr, "BQXOPEN", -1, -1, 1, BQX_MAX_SESSIONS);
        kafka_unlock("BQXOPEN");
        return -1;
    }
    PCB *pcb = static_cast<PCB *>(malloc(sizeof(PCB)));
    if (!pcb) {
        bqx_log_vf(ERR_MEMORY, nullptr, "BQXOPEN", -1, -1, 1, "");
        kafka_unlock("BQXOPEN");
        return -1;
    }
    set_defaults(pcb);
    int32_t error = 0;
    if (iconv_init(pcb, &error) != 0) {
        // Nothing else was acquired yet: release the block at once rather
        // than leave a half-opened session in the table.
        free(pcb);
        kafka_unlock("BQXOPEN");
        return -1;
    }
    bqx_wake_open(pcb);
    gpcbList[slot] = pcb;
    ignore_sigpipe();
    kafka_unlock("BQXOPEN");
    return slot;
}

// Closes the session in `slot` and empties the slot. Caller holds gMutex
// and has the session to itself.
static void close_slot(int32_t slot) {
    PCB *pcb = gpcbList[slot];
    kafka_close(pcb);
    bqx_wake_close(pcb);
    bqx_settings_free(pcb);
    bqx_delivered_forget(pcb);
    free(pcb);
    gpcbList[slot] = nullptr;
    bqx_session_changed();
}

// A close marks the session closing first, so that new calls get 7502 and
// calls waiting in it give up; it frees the session only once none of them
// is inside any more. A second close of the same handle gets 7502.
int32_t BQXCLSE(int32_t handle) {
    PCB *pcb = bqx_enter("BQXCLSE", handle);
    if (!pcb) return ERR_HANDLE;
    bqx_begin_close(pcb);
    bqx_claim(pcb, "BQXCLSE"); // a closer always gets the session
    close_slot(handle);
    bool othersOpen = any_session_open();
    kafka_unlock("BQXCLSE");
    if (othersOpen) return 4;
    return kafka_heartbeat_stop();
}

// Closes every session that no other close has begun on. All are marked
// first, so that their waiting calls give up together.
int32_t BQXTERM(void) {
    kafka_lock("BQXTERM");
    bool mine[BQX_MAX_SESSIONS] = {};
    for (int32_t slot = 0; slot < BQX_MAX_SESSIONS; slot++) {
        PCB *pcb = gpcbList[slot];
        if (!pcb || pcb->u32Closing) continue;
        bqx_begin_close(pcb);
        mine[slot] = true;
    }
    for (int32_t slot = 0; slot < BQX_MAX_SESSIONS; slot++) {
        if (!mine[slot]) continue;
        bqx_await_calls_out(gpcbList[slot]);
        if (gpcbList[slot]->iDebugLevel != 0)
            bqx_log_vf(WRN_ALL_CLOSED, nullptr, "BQXTERM", -1, -1, 1, "");
        close_slot(slot);
    }
    kafka_unlock("BQXTERM");
    kafka_heartbeat_stop();
    return 0;
}
