// The error line for a reply that ends before its fields do, the broker
// column of the protocol log lines, and the Kafka errors that only mean
// "not ready yet".
#include "api/pcb.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"

int32_t kafka_reply_malformed(PCB *pcb, const char *tag, int32_t broker, const char *what) {
    bqx_log_vf(ERR_PROTOCOL, pcb, tag, broker, -1, 1, what ? what : "");
    return ERR_PROTOCOL;
}

int32_t kafka_broker_id(const PCB *pcb, uint32_t brokerIndex) {
    if (!pcb || !pcb->pBrokerList || brokerIndex >= pcb->u32BrokerCount)
        return -1;
    return pcb->pBrokerList[brokerIndex].i32BrokerID;
}

bool kafka_leader_not_ready(int16_t code) {
    // UNKNOWN_TOPIC_OR_PARTITION, LEADER_NOT_AVAILABLE, NOT_LEADER_OR_FOLLOWER,
    // FENCED_LEADER_EPOCH, UNKNOWN_LEADER_EPOCH, OFFSET_NOT_AVAILABLE.
    static constexpr int16_t kNotReady[] = {3, 5, 6, 74, 75, 78};
    for (int16_t transient : kNotReady)
        if (code == transient)
            return true;
    return false;
}
