// SaslHandshake (key 17, version 1): names the connection's mechanism,
// PLAIN first. A broker that refuses PLAIN and offers SCRAM gets a second
// handshake with SCRAM-SHA-512, or else SCRAM-SHA-256.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "auth/sasl_scram.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kHandshakeKey = 17;
constexpr int32_t kHandshakeVersion = 1;
constexpr uint32_t kRequestSize = 1024;
constexpr const char *kTag = "SaslHand";
constexpr int16_t kUnsupportedMechanism = 33;
constexpr size_t kNamesShown = 96;

// The broker's enabled mechanisms: what bqx can use, and their names for
// the log.
struct OfferedMechanisms {
    bool plain = false;
    bool scramSha256 = false;
    bool scramSha512 = false;
    char first[64] = "";
    char names[kNamesShown] = "";
};

void noteMechanism(const char *name, OfferedMechanisms *offered) {
    offered->plain |= strcmp(name, "PLAIN") == 0;
    offered->scramSha256 |= strcmp(name, "SCRAM-SHA-256") == 0;
    offered->scramSha512 |= strcmp(name, "SCRAM-SHA-512") == 0;
    if (!offered->first[0])
        snprintf(offered->first, sizeof offered->first, "%s", name);
    size_t used = strlen(offered->names);
    snprintf(offered->names + used, sizeof offered->names - used, "%s%s", used ? "," : "", name);
    log_sanitise(offered->names + used);
}

// Reads `count` names from `position`. Each takes at least its two length
// bytes, so a count the reply cannot hold is refused before the loop.
int32_t readMechanisms(PCB *pcb, const uint8_t *reply, uint32_t replyLen, int32_t position,
                       int32_t count, OfferedMechanisms *offered) {
    if (count > 0 && static_cast<uint32_t>(count) > (replyLen - static_cast<uint32_t>(position)) / 2)
        return kCodecOverrun;
    for (int32_t i = 0; i < count && position >= 0; ++i) {
        char *name = nullptr;
        position = kafka_unmarshall_new(pcb, reply, replyLen, position, "st", &name);
        if (position >= 0)
            noteMechanism(name ? name : "", offered);
        free(name);
    }
    return position;
}

// SCRAM in place of PLAIN when the broker offers it and not PLAIN.
uint32_t scramInstead(const OfferedMechanisms &offered) {
    if (offered.plain)
        return kSaslPlain;
    return offered.scramSha512 ? kSaslScramSha512
                               : offered.scramSha256 ? kSaslScramSha256 : kSaslPlain;
}

int32_t logRefusal(PCB *pcb, int32_t broker, int16_t errorCode, const OfferedMechanisms &offered) {
    char text[128];
    if (errorCode == kUnsupportedMechanism)
        snprintf(text, sizeof text, "%s Enabled: %s", getErrorText(errorCode),
                 offered.names[0] ? offered.names : "none");
    else
        snprintf(text, sizeof text, "%s", getErrorText(errorCode));
    bqx_log_vf(ERR_KAFKA, pcb, kTag, broker, -1, 2, static_cast<int>(errorCode), text);
    return ERR_KAFKA;
}

BrokerEntry *entryOf(PCB *pcb, uint32_t brokerIndex) {
    return pcb->pBrokerList && brokerIndex < pcb->u32BrokerCount ? &pcb->pBrokerList[brokerIndex]
                                                                 : nullptr;
}

} // namespace

int32_t kafka_saslhandshake(PCB *pcb, uint32_t brokerIndex) {
    const BrokerEntry *entry = entryOf(pcb, brokerIndex);
    const char *mechanism = sasl_mechanismName(entry ? entry->u32SaslMechanism : kSaslPlain);
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, sizeof request,
                                             kHandshakeKey, kHandshakeVersion);
    if (position < 1)
        return -1;
    position = kafka_marshall_new(pcb, request, sizeof request, position, "st", mechanism);
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
    OfferedMechanisms offered;
    position = readMechanisms(pcb, reply, replyLen, position, mechanisms, &offered);
    if (pcb->iDebugLevel > 2)
        bqx_log_vf(INF_MECHANISMS, pcb, kTag, broker, -1, 3, mechanisms, offered.first,
                   static_cast<int>(errorCode));
    BrokerEntry *entry = entryOf(pcb, brokerIndex);
    // PLAIN refused: the connection step asks again with the SCRAM named here.
    if (errorCode == kUnsupportedMechanism && position >= 0 && entry &&
        pcb->u32SaslMechanismSet == 0 && entry->u32SaslMechanism == kSaslPlain &&
        scramInstead(offered) != kSaslPlain) {
        entry->u32SaslMechanism = scramInstead(offered);
        return 0;
    }
    if (errorCode != 0)
        return logRefusal(pcb, broker, errorCode, offered);
    if (position < 0)
        return kafka_reply_malformed(pcb, kTag, broker, "SaslHandshake reply: mechanisms truncated");
    if (entry)
        entry->u32SaslStep = 1;
    return 0;
}
