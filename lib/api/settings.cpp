// Settings calls: debug level, consumer load balancing, server connection
// timeout, and the last error.
#include <string.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"

int32_t BQXDBUG(int32_t handle, int32_t level) {
    PCB *pcb = bqx_enter("BQXDBUG", handle);
    if (!pcb) return ERR_HANDLE;
    pcb->iDebugLevel = level < 0 ? 0 : level;
    if (pcb->iDebugLevel != 0)
        bqx_log_vf(INF_IS_SET_TO, nullptr, "BQXDBUG", -1, -1, 2, "DebugLevel", pcb->iDebugLevel);
    bqx_leave(pcb, "BQXDBUG");
    return 0;
}

int32_t BQXCLDB(int32_t handle, int32_t enable) {
    PCB *pcb = bqx_enter("BQXCLDB", handle);
    if (!pcb) return ERR_HANDLE;
    pcb->u32ConsumerLoadBalancing = static_cast<uint32_t>(enable);
    if (pcb->iDebugLevel != 0)
        bqx_log_vf(INF_LOAD_BALANCING, nullptr, "BQXCLDB", -1, -1, 1,
                   enable ? "enabled" : "disabled");
    bqx_leave(pcb, "BQXCLDB");
    return 0;
}

int32_t BQXTIMO(int32_t handle, uint32_t seconds) {
    PCB *pcb = bqx_enter("BQXTIMO", handle);
    if (!pcb) return ERR_HANDLE;
    pcb->u32Timeout = seconds;
    if (pcb->iDebugLevel != 0)
        bqx_log_vf(INF_IS_SET_TO, nullptr, "BQXTIMO", -1, -1, 2, "Server Connection Timeout",
                   static_cast<int32_t>(seconds));
    bqx_leave(pcb, "BQXTIMO");
    return 0;
}

// Logs a BQXGERR argument error. Without the PCB, so that the error the
// caller asks for is not replaced by this one.
static int32_t gerr_argument_error(const char *reason) {
    kafka_lock("BQXGERR");
    bqx_log_vf(ERR_PROTOCOL, nullptr, "BQXGERR", -1, -1, 1, reason);
    kafka_unlock("BQXGERR");
    return ERR_PROTOCOL;
}

int32_t BQXGERR(int32_t handle, char *buffer, int32_t *length) {
    if (!length) return gerr_argument_error("invalid argument: null length pointer");
    int32_t size = *length;
    *length = 0;
    if (size < 0) return gerr_argument_error("invalid argument: negative buffer length");
    if (!buffer && size > 0) return gerr_argument_error("invalid argument: null buffer");
    if (size > 0) buffer[0] = '\0'; // a zero-sized buffer has no first byte to clear
    PCB *pcb = bqx_enter("BQXGERR", handle);
    if (!pcb) return ERR_HANDLE;
    int32_t textLen = static_cast<int32_t>(strnlen(pcb->szLastError, sizeof(pcb->szLastError)));
    int32_t copied = textLen < size ? textLen : size;
    if (copied > 0) memcpy(buffer, pcb->szLastError, static_cast<size_t>(copied));
    *length = copied;
    int32_t lastError = pcb->i32LastError;
    bqx_leave(pcb, "BQXGERR");
    return lastError;
}
