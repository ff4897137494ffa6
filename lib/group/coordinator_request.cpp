// Sizing of coordinator requests and stepping over tagged fields.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "codec/conv.h"
#include "codec/wire.h"
#include "log/log.h"
#include "log/messages.h"
#include "group/coordinator_request.h"

int32_t kafka_coordinator_index(const PCB *pcb) {
    if (!pcb->pBrokerList || pcb->u32BrokerCount == 0)
        return -1;
    return static_cast<int32_t>(pcb->u32BrokerCount - 1);
}

bool kafka_coordinator_connected(const PCB *pcb) {
    int32_t index = kafka_coordinator_index(pcb);
    return index >= 0 && pcb->pBrokerList[index].i32Socket != -1;
}

uint64_t kafka_compact_text_bytes(PCB *pcb, const char *tag, const char *text) {
    if (!text)
        return 1;
    size_t length = strlen(text);
    uint64_t bytes = length;
    if (length <= kMaxWireTextBytes) {
        // Conversion to UTF-8 may lengthen the text: measure what is sent.
        uint64_t converted = conv_measure(pcb, kToUtf8, text, static_cast<uint32_t>(length));
        if (converted > bytes)
            bytes = converted;
    }
    if (bytes > kMaxWireTextBytes) {
        int32_t shown = bytes > kMaxWirePosition ? static_cast<int32_t>(kMaxWirePosition)
                                                 : static_cast<int32_t>(bytes);
        bqx_log_vf(ERR_MARSHALL, pcb, tag, -1, -1, 2, shown,
                   static_cast<uint32_t>(kMaxWireTextBytes));
        return 0;
    }
    return bytes + uvarint_size(bytes + 1);
}

uint64_t kafka_request_header_bytes(const PCB *pcb) {
    // The client id is converted with room for twice its length.
    return 14 + 2 * static_cast<uint64_t>(strlen(bqx_client_id(pcb)));
}

int32_t kafka_request_alloc(PCB *pcb, const char *tag, const char *what, uint32_t brokerIndex,
                            int32_t apiKey, int32_t apiVersion, uint64_t bodyBytes,
                            SizedRequest *out) {
    constexpr uint64_t kMaxRequestBytes = 0x7FFFFFFF; // positions are signed 32-bit
    uint64_t size = kafka_request_header_bytes(pcb) + bodyBytes;
    out->bytes = size <= kMaxRequestBytes ? static_cast<uint8_t *>(malloc(size)) : nullptr;
    if (!out->bytes) {
        bqx_log_vf(ERR_MEMORY, pcb, tag, -1, -1, 1, what);
        return ERR_MEMORY;
    }
    out->capacity = static_cast<uint32_t>(size);
    out->position = kafka_marshall_ReqHdr(pcb, brokerIndex, out->bytes, out->capacity, apiKey,
                                          apiVersion);
    if (out->position < 1) {
        free(out->bytes);
        out->bytes = nullptr;
        return -1;
    }
    return 0;
}

int32_t kafka_skip_tagged_fields(PCB *pcb, const uint8_t *reply, uint32_t replyLen,
                                 int32_t position) {
    uint64_t count = 0;
    position = kafka_unmarshall_new(pcb, reply, replyLen, position, "uv", &count);
    for (uint64_t i = 0; position >= 0 && i < count; ++i) {
        uint64_t tag = 0, size = 0;
        position = kafka_unmarshall_new(pcb, reply, replyLen, position, "uvuv", &tag, &size);
        if (position < 0 || size > replyLen - static_cast<uint32_t>(position))
            return kCodecOverrun;
        position += static_cast<int32_t>(size);
    }
    return position;
}
