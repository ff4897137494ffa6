// The heartbeat thread that keeps consumer-group memberships alive.
#ifndef BQX_GROUP_HEARTBEAT_H
#define BQX_GROUP_HEARTBEAT_H

#include <stdint.h>
#include <time.h>

struct PCB;

// Lets the heartbeat thread end and joins it. Called without gMutex held,
// after a session was closed. Returns 0, or 4 while sessions are still open
// (also when one was opened while the thread was being stopped).
int32_t kafka_heartbeat_stop();

// The thread's body; the argument is not used.
void *kafka_hb_thread(void *argument);

// One session's step of a thread pass: sends a heartbeat to the coordinator
// entry when the session is a joined member with a connected coordinator,
// no rejoin pending, and more than u32Timeout / 10 seconds have passed
// since its last one at `now` (seconds). Returns the send's result, or 0
// when nothing was due. Caller holds gMutex.
int32_t kafka_heartbeat_if_due(PCB *pcb, time_t now);

// Heartbeat threads created by this process so far. Read under gMutex.
extern uint32_t gu32HeartbeatThreadsCreated;

#endif
