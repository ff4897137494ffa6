// BQXCONS: consume one message as a member of a consumer group.
#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"

// The consumer (group membership, fetch and offset commit) is not part of
// this version: the call validates its handle and reports that consuming
// is unavailable, so that no caller mistakes it for an empty topic.
int32_t BQXCONS(int32_t handle, const char *group, int32_t groupLen, char *buffer,
                uint32_t *bufferLen, int32_t convert, int32_t timeoutSeconds) {
    (void)group, (void)groupLen, (void)buffer, (void)convert, (void)timeoutSeconds;
    PCB *pcb = bqx_enter("BQXCONS", handle);
    if (!pcb) return ERR_HANDLE;
    if (bufferLen) *bufferLen = 0;
    bqx_log_vf(ERR_PROTOCOL, pcb, "BQXCONS", -1, -1, 1, "consuming is not available in this version");
    kafka_unlock("BQXCONS");
    return ERR_PROTOCOL;
}
