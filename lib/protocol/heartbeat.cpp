// The heartbeat thread: stopping and joining it.
#include <pthread.h>

#include "api/session.h"
#include "protocol/heartbeat.h"

static bool any_session_open() {
    for (PCB *pcb : gpcbList)
        if (pcb) return true;
    return false;
}

// Takes the identifier of a thread that was created and not yet joined, and
// clears it, so that a thread is joined at most once. Caller holds gMutex.
static pthread_t take_thread_to_join() {
    pthread_t thread = gThreadId;
    gThreadId = pthread_t();
    return thread;
}

int32_t kafka_heartbeat_stop() {
    kafka_lock("HBThStp");
    if (giThreadActive && any_session_open()) {
        kafka_unlock("HBThStp2");
        return 4;
    }
    // An active thread notices the empty table within about a second and
    // ends; an inactive one has already left its loop.
    const char *tag = giThreadActive ? "HBThStp1" : "HBThStp2";
    pthread_t thread = take_thread_to_join();
    kafka_unlock(tag);
    if (thread != pthread_t()) pthread_join(thread, nullptr);
    return 0;
}
