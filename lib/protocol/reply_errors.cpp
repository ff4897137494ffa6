// The error line for a reply that ends before its fields do, and the broker
// column of the protocol log lines.
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
