// ApiVersions (key 18, version 3): the first request on every new broker
// connection. The version ranges the broker offers are kept in the broker
// entry, so that a request the broker no longer serves (ListOffsets 0 on
// Kafka 4) is replaced or refused before it is sent; they are logged at
// debug level 6.
#include <stdio.h>

#include "api/pcb.h"
#include "protocol/consumer.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kApiVersionsKey = 18;
constexpr int32_t kApiVersionsVersion = 3;
constexpr uint32_t kRequestSize = 1024;
constexpr int32_t kApiEntryMinBytes = 7; // key, lowest, highest, tag byte
constexpr int32_t kListAtDebugLevel = 6;

// Stores the version range of every API key of the reply in the broker
// entry, and logs info 8 for each key the library knows by name at debug
// level 6. Keys the reply does not list stay "not offered".
void storeSupportedApis(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply, uint32_t replyLen,
                        int32_t position, int32_t count, int32_t requestVersion) {
    BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    for (int key = 0; key < kApiKeyLimit; ++key)
        broker.ai16ApiMinVersion[key] = broker.ai16ApiMaxVersion[key] = -1;
    broker.u32ApiVersionsKnown = 1;
    for (int32_t i = 0; i < count && position >= 0; ++i) {
        if (static_cast<int64_t>(replyLen) - position < kApiEntryMinBytes)
            break;
        int16_t apiKey = 0, lowest = 0, highest = 0;
        uint8_t tags = 0;
        position = kafka_unmarshall_new(pcb, reply, replyLen, position, "i2i2i2", &apiKey,
                                        &lowest, &highest);
        if (requestVersion >= 3)
            position = kafka_unmarshall_new(pcb, reply, replyLen, position, "um", &tags, 1u);
        if (position < 0)
            break;
        if (apiKey >= 0 && apiKey < kApiKeyLimit) {
            broker.ai16ApiMinVersion[apiKey] = lowest;
            broker.ai16ApiMaxVersion[apiKey] = highest;
        }
        const char *name = get_KeyName(apiKey);
        if (pcb->iDebugLevel < kListAtDebugLevel || !name || name[0] == '-')
            continue;
        bqx_log_vf(INF_API_VERSION, pcb, "ApiVerRy", broker.i32BrokerID, -1, 5,
                   broker.pszHost ? broker.pszHost : "", broker.i32Port, name,
                   static_cast<int>(lowest), static_cast<int>(highest));
    }
}

} // namespace

int32_t kafka_apiversion(PCB *pcb, uint32_t brokerIndex) {
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, sizeof request,
                                             kApiVersionsKey, kApiVersionsVersion);
    if (position < 1)
        return -1;
    position = kafka_marshall_new(pcb, request, sizeof request, position, "i1cscsi1", 0,
                                  gpszClientID, gpszClientVer, 0);
    if (position < 0)
        return kafka_marshall_failure(position);
    return kafka_sendqueue(pcb, brokerIndex, request, static_cast<uint32_t>(position), SEND_SYNC);
}

int32_t kafka_apiversion_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                               uint32_t replyLen, int32_t requestVersion) {
    int32_t size = 0, correlationId = 0, count = 0;
    int16_t errorCode = 0;
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i2", &size,
                                            &correlationId, &errorCode);
    if (position < 0)
        return kafka_reply_malformed(pcb, "ApiVerRy", broker, "ApiVersions reply too short");
    if (errorCode != 0) {
        bqx_log_vf(ERR_KAFKA, pcb, "ApiVerRy", broker, -1, 2, static_cast<int>(errorCode),
                   getErrorText(errorCode));
        return ERR_KAFKA;
    }
    position = kafka_unmarshall_new(pcb, reply, replyLen, position,
                                    requestVersion < 3 ? "i4" : "u3", &count);
    if (position < 0)
        return kafka_reply_malformed(pcb, "ApiVerRy", broker, "ApiVersions reply without api_keys");
    if (pcb->pBrokerList && brokerIndex < pcb->u32BrokerCount)
        storeSupportedApis(pcb, brokerIndex, reply, replyLen, position, count, requestVersion);
    return 0;
}

bool kafka_api_offers(const PCB *pcb, uint32_t brokerIndex, int32_t apiKey, int32_t version) {
    if (!pcb->pBrokerList || brokerIndex >= pcb->u32BrokerCount)
        return false;
    const BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    if (!broker.u32ApiVersionsKnown)
        return true;
    if (apiKey < 0 || apiKey >= kApiKeyLimit)
        return false;
    return broker.ai16ApiMinVersion[apiKey] >= 0 && version >= broker.ai16ApiMinVersion[apiKey] &&
           version <= broker.ai16ApiMaxVersion[apiKey];
}

bool kafka_api_check(PCB *pcb, uint32_t brokerIndex, int32_t apiKey, int32_t version,
                     const char *tag) {
    if (kafka_api_offers(pcb, brokerIndex, apiKey, version))
        return true;
    char what[64];
    snprintf(what, sizeof what, "broker lacks %s version %d", get_KeyName(apiKey),
             static_cast<int>(version));
    bqx_log_vf(ERR_PROTOCOL, pcb, tag, kafka_broker_id(pcb, brokerIndex), -1, 1, what);
    return false;
}
