// BQXINFO: the key, partition, offset and timestamp of the message the last
// BQXCONS of the session handed out.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"

namespace {

constexpr const char *kTag = "BQXINFO";

int32_t badArgument(PCB *pcb, const char *reason) {
    bqx_log_vf(ERR_PROTOCOL, pcb, kTag, -1, -1, 1, reason);
    return ERR_PROTOCOL;
}

// A key longer than the buffer is cut as a value is: warning 5000, which
// BQXGERR then reports, and the call returns 0.
void cutKey(PCB *pcb, uint32_t keyLen, uint32_t capacity) {
    const DeliveredMessage &last = pcb->delivered;
    bqx_log_vf(WRN_TRUNCATED, pcb, kTag, -1, last.i32Partition, 2, static_cast<int>(keyLen),
               static_cast<int>(capacity));
    pcb->i32LastError = WRN_TRUNCATED;
    snprintf(pcb->szLastError, sizeof pcb->szLastError, aszBqxWrnMsgs[0], static_cast<int>(keyLen),
             static_cast<int>(capacity));
}

int32_t info(PCB *pcb, char *keyBuffer, uint32_t *keyLength, int32_t *partition, int64_t *offset,
             int64_t *timestamp, uint32_t *flags) {
    if (!keyLength || !partition || !offset || !timestamp || !flags)
        return badArgument(pcb, "invalid argument: null length or result pointer");
    uint32_t capacity = *keyLength;
    *keyLength = 0;
    if (!keyBuffer && capacity > 0)
        return badArgument(pcb, "invalid argument: null key buffer");
    const DeliveredMessage &last = pcb->delivered;
    if (!last.u32Valid) {
        bqx_log_vf(ERR_NO_MESSAGE, pcb, kTag, -1, -1, 1, "");
        return ERR_NO_MESSAGE;
    }
    uint32_t copied = last.u32KeyLen;
    if (copied > capacity) {
        cutKey(pcb, last.u32KeyLen, capacity);
        copied = capacity;
    }
    if (copied > 0 && last.pKey)
        memcpy(keyBuffer, last.pKey, copied);
    *keyLength = copied;
    *partition = last.i32Partition;
    *offset = last.i64Offset;
    *timestamp = last.i64Timestamp;
    *flags = last.u32Flags;
    return 0;
}

} // namespace

int32_t BQXINFO(int32_t handle, char *keyBuffer, uint32_t *keyLength, int32_t *partition,
                int64_t *offset, int64_t *timestamp, uint32_t *flags) {
    PCB *pcb = bqx_enter(kTag, handle);
    if (!pcb)
        return ERR_HANDLE;
    int32_t rc = info(pcb, keyBuffer, keyLength, partition, offset, timestamp, flags);
    bqx_leave(pcb, kTag);
    return rc;
}

void bqx_delivered_forget(PCB *pcb) {
    free(pcb->delivered.pKey);
    pcb->delivered = {};
}
