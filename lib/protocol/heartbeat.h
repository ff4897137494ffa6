// The heartbeat thread that keeps consumer-group memberships alive.
#ifndef BQX_PROTOCOL_HEARTBEAT_H
#define BQX_PROTOCOL_HEARTBEAT_H

#include <stdint.h>

// Lets the heartbeat thread end and joins it. Called without gMutex held,
// after a session was closed. Returns 0, or 4 while sessions are still open.
int32_t kafka_heartbeat_stop();

#endif
