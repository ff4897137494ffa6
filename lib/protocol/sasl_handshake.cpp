// SaslHandshake (key 17, version 1): asks the broker for mechanism PLAIN.
#include <stdlib.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kHandshakeKey = 17;
constexpr int32_t kHandshakeVersion = 1;
constexpr uint32_t kRequestSize = 1024;
constexpr const char *kTag = "SaslHand";

} // namespace

int32_t kafka_saslhandshake(PCB *pcb, uint32_t brokerIndex) {
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, sizeof request,
                                             kHandshakeKey, kHandshakeVersion);
    if (position < 1)
        return -1;
    position = kafka_marshall_new(pcb, request, sizeof request, position, "st", "PLAIN");
    if (position < 0)
        return kafka_marshall_failure(position);
    return kafka_sendqueue(pcb, brokerIndex, request, static_cast<uint32_t>(position), SEND_SYNC);
}

int32_t kafka_saslhandshake_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                  uint32_t replyLen) {
    int32_t size = 0, correlationId = 0, mechanisms = 0;
    int16_t errorCode = 0;
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i2i4", &size,
                                            &correlationId, &errorCode, &mechanisms);
    if (position < 0)
        return kafka_reply_malformed(pcb, kTag, broker, "SaslHandshake reply too short");
    char *mechanism = nullptr;
    // An empty mechanism list carries no name to read.
    if (mechanisms > 0)
        position = kafka_unmarshall_new(pcb, reply, replyLen, position, "st", &mechanism);
    if (pcb->iDebugLevel > 2)
        bqx_log_vf(INF_MECHANISMS, pcb, kTag, broker, -1, 3, mechanisms,
                   mechanism ? mechanism : "", static_cast<int>(errorCode));
    free(mechanism);
    if (errorCode != 0) {
        bqx_log_vf(ERR_KAFKA, pcb, kTag, broker, -1, 2, static_cast<int>(errorCode),
                   getErrorText(errorCode));
        return ERR_KAFKA;
    }
    if (position < 0)
        return kafka_reply_malformed(pcb, kTag, broker, "SaslHandshake reply: mechanism truncated");
    if (pcb->pBrokerList && brokerIndex < pcb->u32BrokerCount)
        pcb->pBrokerList[brokerIndex].u32SaslStep = 1;
    return 0;
}
