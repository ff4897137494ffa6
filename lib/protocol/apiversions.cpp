// ApiVersions (key 18, version 3): the first request on every new broker
// connection. The reply is only checked for its error code; the versions the
// broker supports are logged at debug level 6, never stored, since the
// library sends fixed versions.
#include "api/pcb.h"
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

// Logs info 8 for each API key of the reply that the library knows by name.
void logSupportedApis(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply, uint32_t replyLen,
                      int32_t position, int32_t count, int32_t requestVersion) {
    const BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    for (int32_t i = 0; i < count && position >= 0; ++i) {
        if (static_cast<int64_t>(replyLen) - position < kApiEntryMinBytes)
            break;
        int16_t apiKey = 0, lowest = 0, highest = 0;
        uint8_t tags = 0;
        position = kafka_unmarshall_new(pcb, reply, replyLen, position, "i2i2i2", &apiKey,
                                        &lowest, &highest);
        if (requestVersion >= 3)
            position = kafka_unmarshall_new(pcb, reply, replyLen, position, "um", &tags, 1u);
        const char *name = get_KeyName(apiKey);
        if (position < 0 || !name || name[0] == '-')
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
    bool brokerKnown = pcb->pBrokerList && brokerIndex < pcb->u32BrokerCount;
    if (pcb->iDebugLevel >= kListAtDebugLevel && brokerKnown)
        logSupportedApis(pcb, brokerIndex, reply, replyLen, position, count, requestVersion);
    return 0;
}
