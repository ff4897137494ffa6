// The request header: size hole, API key, API version, correlation id and
// client id.
#include <string.h>

#include "api/pcb.h"
#include "bqx.h"
#include "codec/codec.h"
#include "codec/marshall.h"
#include "codec/wire.h"

namespace {

// Size hole, API key, API version, correlation id, client id length.
constexpr uint32_t kFixedHeaderBytes = 4 + 2 + 2 + 4 + 2;
constexpr uint32_t kSizeFieldBytes = 4;

// The next correlation id of a broker entry: starts at 1, never 0.
uint32_t next_correlation_id(BrokerEntry &broker) {
    if (++broker.u32LastCorrelID == 0)
        broker.u32LastCorrelID = 1;
    return broker.u32LastCorrelID;
}

} // namespace

const char *bqx_client_id(const PCB *pcb) {
    return pcb && pcb->pszClientId ? pcb->pszClientId : gpszClientID;
}

int32_t kafka_marshall_ReqHdr(PCB *pcb, uint32_t brokerIndex, uint8_t *buffer,
                              uint32_t bufferSize, int32_t apiKey, int32_t apiVersion) {
    if (!pcb || !buffer || !pcb->pBrokerList || brokerIndex >= pcb->u32BrokerCount)
        return 0;
    // The client id is converted first so that the header's size is known
    // before anything is written or a correlation id is used up.
    const char *id = bqx_client_id(pcb);
    uint32_t idLength = static_cast<uint32_t>(strnlen(id, kMaxClientIdBytes));
    char clientId[2 * kMaxClientIdBytes];
    uint32_t idBytes = 2 * idLength;
    uint32_t error = 0;
    iconv_convert(pcb, id, idLength, clientId, &idBytes, &error, kToUtf8);
    uint32_t headerBytes = kFixedHeaderBytes + idBytes;
    if (bufferSize < headerBytes) {
        marshall_report_overrun(pcb, headerBytes, bufferSize);
        return 0;
    }
    memset(buffer, 0, bufferSize);
    WireWriter out{buffer, bufferSize, kSizeFieldBytes};
    put_be(out, static_cast<uint32_t>(apiKey), 2);
    put_be(out, static_cast<uint32_t>(apiVersion), 2);
    put_be(out, next_correlation_id(pcb->pBrokerList[brokerIndex]), 4);
    put_be(out, idBytes, 2);
    memcpy(out.buf + out.pos, clientId, idBytes);
    return static_cast<int32_t>(out.pos + idBytes);
}
