// The heartbeat thread and the Heartbeat request (key 12, version 4). One
// thread per process sends the heartbeats of every joined session; it ends
// by itself once no session is open, and the closing call joins it.
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "api/session.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "group/coordinator_request.h"
#include "group/heartbeat.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

uint32_t gu32HeartbeatThreadsCreated;

namespace {

constexpr int32_t kHeartbeatKey = 12;
constexpr int32_t kHeartbeatVersion = 4;
constexpr const char *kTag = "HeartBeat";
constexpr const char *kReplyTag = "HeartBRy";
constexpr int16_t kRebalanceInProgress = 27;

// Set under gMutex from the moment a thread is created until it has set
// giThreadActive (or its creation failed), so that a second start in that
// window creates no second thread.
bool gbThreadStarting;
// Signalled under gMutex when the thread leaves its loop.
pthread_cond_t gThreadEnded = PTHREAD_COND_INITIALIZER;

bool anySessionOpen() {
    for (PCB *pcb : gpcbList)
        if (pcb)
            return true;
    return false;
}

bool threadRunning() { return giThreadActive || gbThreadStarting; }

// Takes the identifier of a thread that was created and not yet joined, and
// clears it, so that a thread is joined at most once. Caller holds gMutex.
pthread_t takeThreadToJoin() {
    pthread_t thread = gThreadId;
    gThreadId = pthread_t();
    return thread;
}

int32_t threadCallFailed(const char *call, int error) {
    bqx_log_vf(ERR_MUTEX, nullptr, kTag, -1, -1, 3, call, error, strerror(error));
    return ERR_MUTEX;
}

int32_t createThread() {
    pthread_attr_t attributes;
    int rc = pthread_attr_init(&attributes);
    if (rc != 0)
        return threadCallFailed("pthread_attr_init()", rc);
    rc = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
    if (rc != 0) {
        pthread_attr_destroy(&attributes);
        return threadCallFailed("pthread_attr_setdetachstate()", rc);
    }
    pthread_t thread;
    rc = pthread_create(&thread, &attributes, kafka_hb_thread, nullptr);
    pthread_attr_destroy(&attributes);
    if (rc != 0)
        return threadCallFailed("pthread_create()", rc);
    gThreadId = thread;
    gbThreadStarting = true;
    ++gu32HeartbeatThreadsCreated;
    return 0;
}

// Waits, with gMutex released, until the thread has left its loop. False
// when a session was opened meanwhile: the thread then serves it on.
bool awaitThreadEnd() {
    while (threadRunning()) {
        if (anySessionOpen())
            return false;
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 1;
        pthread_cond_timedwait(&gThreadEnded, &gMutex, &until);
    }
    return true;
}

// A session whose call is connecting a broker (lock released) may be in
// the middle of that connection's handshake: its turn comes next second.
bool eligible(const PCB *pcb) {
    return !pcb->u32Connecting && pcb->u32GroupJoined && pcb->pszGroupID && pcb->pszMemberID && !pcb->u32RejoinNeeded &&
           kafka_coordinator_connected(pcb);
}

// One pass over the session table. Caller holds gMutex.
void heartbeatPass() {
    time_t now = time(nullptr);
    for (PCB *pcb : gpcbList)
        if (pcb)
            kafka_heartbeat_if_due(pcb, now);
}

void napOneSecond() {
    timespec second = {1, 0};
    while (nanosleep(&second, &second) != 0 && errno == EINTR) {
    }
}

} // namespace

int32_t kafka_heartbeat(PCB *pcb) {
    if (threadRunning()) {
        if (pcb->iDebugLevel > 4)
            bqx_log_vf(INF_HEARTBEAT, pcb, kTag, -1, -1, 1,
                       "Not Starting thread, it's already running");
        return 0;
    }
    if (pcb->iDebugLevel > 4)
        bqx_log_vf(INF_HEARTBEAT, pcb, kTag, -1, -1, 1, "Starting Thread");
    // A thread that ended and was not joined yet has left its loop and
    // released the lock for the last time: joining it here is quick.
    pthread_t ended = takeThreadToJoin();
    if (ended != pthread_t())
        pthread_join(ended, nullptr);
    return createThread();
}

void *kafka_hb_thread(void *) {
    kafka_lock("HBThread");
    giThreadActive = 1;
    gbThreadStarting = false;
    kafka_unlock("HBThread");
    for (;;) {
        napOneSecond();
        kafka_lock("HBThread");
        if (!anySessionOpen()) {
            giThreadActive = 0;
            pthread_cond_broadcast(&gThreadEnded);
            kafka_unlock("HBTerm");
            return nullptr;
        }
        heartbeatPass();
        kafka_unlock("HBThread");
    }
}

int32_t kafka_heartbeat_if_due(PCB *pcb, time_t now) {
    if (!eligible(pcb))
        return 0;
    if (pcb->tLastHeartbeat + static_cast<time_t>(pcb->u32Timeout / 10) >= now)
        return 0;
    // A heartbeat that cannot be sent is not retried before its next turn.
    pcb->tLastHeartbeat = now;
    return kafka_heartbeat_send(pcb, kafka_coordinator_index(pcb));
}

int32_t kafka_heartbeat_send(PCB *pcb, int32_t brokerIndex) {
    if (brokerIndex < 0 || !pcb->pBrokerList ||
        static_cast<uint32_t>(brokerIndex) >= pcb->u32BrokerCount ||
        pcb->pBrokerList[brokerIndex].i32Socket < 0)
        return 0;
    if (!pcb->pszGroupID || !pcb->pszMemberID)
        return -1;
    uint64_t groupBytes = kafka_compact_text_bytes(pcb, kTag, pcb->pszGroupID);
    uint64_t memberBytes = groupBytes ? kafka_compact_text_bytes(pcb, kTag, pcb->pszMemberID) : 0;
    if (!memberBytes)
        return ERR_MARSHALL;
    uint32_t index = static_cast<uint32_t>(brokerIndex);
    SizedRequest q;
    int32_t rc = kafka_request_alloc(pcb, kTag, "Heartbeat Request", index, kHeartbeatKey,
                                     kHeartbeatVersion, 1 + groupBytes + 4 + memberBytes + 2, &q);
    if (rc != 0)
        return rc;
    uint8_t *request = q.bytes;
    // Null group instance id, then the request's empty tagged fields.
    int32_t position = kafka_marshall_new(pcb, request, q.capacity, q.position, "i1csi4csi2", 0,
                                          pcb->pszGroupID, pcb->i32GenerationID,
                                          pcb->pszMemberID, 0);
    rc = position < 0 ? kafka_marshall_failure(position)
                      : kafka_sendqueue(pcb, index, request, static_cast<uint32_t>(position),
                                        SEND_NOWAIT);
    free(request);
    return rc;
}

int32_t kafka_heartbeat_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                              uint32_t replyLen) {
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t size = 0, correlationId = 0, throttle = 0;
    int16_t errorCode = 0;
    int32_t position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4", &size,
                                            &correlationId);
    position = kafka_skip_tagged_fields(pcb, reply, replyLen, position);
    position = kafka_unmarshall_new(pcb, reply, replyLen, position, "i4i2", &throttle,
                                    &errorCode);
    position = kafka_skip_tagged_fields(pcb, reply, replyLen, position);
    if (position < 0)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "Heartbeat reply too short");
    if (errorCode == 0)
        return 0;
    if (errorCode == kRebalanceInProgress) {
        pcb->u32RejoinNeeded = 1;
        if (pcb->iDebugLevel > 1)
            bqx_log_vf(INF_REBALANCING, pcb, kReplyTag, broker, -1, 1, "");
        kafka_group_error(pcb, errorCode);
        return 0;
    }
    bqx_log_vf(ERR_KAFKA, pcb, kReplyTag, broker, -1, 2, static_cast<int>(errorCode),
               getErrorText(errorCode));
    if (kafka_is_membership_error(errorCode))
        kafka_group_error(pcb, errorCode);
    return ERR_KAFKA;
}

int32_t kafka_heartbeat_stop() {
    kafka_lock("HBThStp");
    bool wasRunning = threadRunning();
    // An active thread notices the empty table within about a second and
    // ends; a session opened meanwhile keeps it going.
    if (wasRunning && !awaitThreadEnd()) {
        kafka_unlock("HBThStp2");
        return 4;
    }
    pthread_t thread = takeThreadToJoin();
    kafka_unlock(wasRunning ? "HBThStp1" : "HBThStp2");
    if (thread != pthread_t())
        pthread_join(thread, nullptr);
    return 0;
}
