// BQXPROD: produces one message, with an optional key, to the session's
// topic.
#include <stdio.h>
#include <string.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"

namespace {

constexpr const char *kTag = "BQXPROD";
constexpr int kShownMessage = 127;

// The key is kept up to its 31st byte; a zero byte ends it earlier.
void storeKey(PCB *pcb, const char *key, uint32_t keyLen) {
    memset(pcb->szMsgKey, 0, sizeof pcb->szMsgKey);
    uint32_t kept = keyLen < static_cast<uint32_t>(kMaxKeyLen) ? keyLen : kMaxKeyLen;
    if (kept > 0)
        memcpy(pcb->szMsgKey, key, kept);
}

int32_t produce(PCB *pcb, const char *key, uint32_t keyLen, const char *message,
                uint32_t messageLen, uint32_t convert) {
    int32_t rc = bqx_check_buffer(pcb, kTag, "key", key, keyLen);
    if (rc == 0)
        rc = bqx_check_buffer(pcb, kTag, "message", message, messageLen);
    if (rc != 0)
        return rc;
    pcb->u32Convert = convert;
    storeKey(pcb, key, keyLen);
    if (pcb->iDebugLevel > 2) {
        // The line shows at most 127 characters; the precision must stay
        // positive so that the text is never read beyond messageLen.
        int shown = messageLen < static_cast<uint32_t>(kShownMessage) ? static_cast<int>(messageLen) : kShownMessage;
        bqx_log_vf(INF_MESSAGE, pcb, kTag, -1, -1, 3, shown, message ? message : "",
                   static_cast<int>(messageLen));
    }
    // Acknowledged messages are counted by the reply handler.
    uint64_t failedBefore = pcb->ullProduceFailed;
    rc = pcb->u32Batched ? kafka_produce_batched(pcb, message, messageLen)
                         : kafka_produce(pcb, message, messageLen);
    kafka_produce_reported(pcb, failedBefore, rc);
    return rc;
}

} // namespace

int32_t BQXPROD(int32_t handle, const char *key, uint32_t keyLen, const char *message,
                uint32_t messageLen, uint32_t convert) {
    PCB *pcb = bqx_enter(kTag, handle);
    if (!pcb)
        return ERR_HANDLE;
    int32_t rc = produce(pcb, key, keyLen, message, messageLen, convert);
    bqx_leave(pcb, kTag);
    return rc;
}
