// BQXPROD: produces one message, with an optional key, to the session's
// topic.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"

namespace {

constexpr const char *kTag = "BQXPROD";
constexpr int kShownMessage = 127;

// The murmur2 partitioner sends the key whole, zero bytes included; it is
// kept in the session's own buffer, grown as needed.
int32_t storeWholeKey(PCB *pcb, const char *key, uint32_t keyLen) {
    if (keyLen > kMaxWholeKeyLen) {
        char reason[64];
        snprintf(reason, sizeof reason, "key longer than %u bytes", kMaxWholeKeyLen);
        bqx_log_vf(ERR_PROTOCOL, pcb, kTag, -1, -1, 1, reason);
        return ERR_PROTOCOL;
    }
    if (keyLen > pcb->u32WholeKeyCapacity) {
        char *grown = static_cast<char *>(realloc(pcb->pWholeKey, keyLen));
        if (!grown) {
            bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, "Message Key");
            return ERR_MEMORY;
        }
        pcb->pWholeKey = grown;
        pcb->u32WholeKeyCapacity = keyLen;
    }
    if (keyLen > 0)
        memcpy(pcb->pWholeKey, key, keyLen);
    pcb->u32WholeKeyLen = keyLen;
    return 0;
}

// The default partitioner keeps the key up to its 31st byte (a zero byte
// ends it earlier); the first key of the session that is cut is warned of.
int32_t storeKey(PCB *pcb, const char *key, uint32_t keyLen) {
    memset(pcb->szMsgKey, 0, sizeof pcb->szMsgKey);
    uint32_t kept = keyLen < static_cast<uint32_t>(kMaxKeyLen) ? keyLen : kMaxKeyLen;
    if (kept > 0)
        memcpy(pcb->szMsgKey, key, kept);
    if (pcb->u32Partitioner == kPartitionerMurmur2)
        return storeWholeKey(pcb, key, keyLen);
    if (keyLen > kept && !pcb->u32KeyCutWarned) {
        pcb->u32KeyCutWarned = 1;
        bqx_log_vf(WRN_KEY_CUT, pcb, kTag, -1, -1, 2, keyLen, kMaxKeyLen);
    }
    return 0;
}

int32_t produce(PCB *pcb, const char *key, uint32_t keyLen, const char *message,
                uint32_t messageLen, uint32_t convert) {
    int32_t rc = bqx_check_buffer(pcb, kTag, "key", key, keyLen);
    if (rc == 0)
        rc = bqx_check_buffer(pcb, kTag, "message", message, messageLen);
    if (rc != 0)
        return rc;
    pcb->u32Convert = convert;
    rc = storeKey(pcb, key, keyLen);
    if (rc != 0)
        return rc;
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
