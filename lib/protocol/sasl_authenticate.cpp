// SaslAuthenticate (key 36, version 2): the PLAIN credentials, an empty
// authorization identity, the user name and the password, each behind a
// zero byte. The password never reaches a log line, and the buffers that
// held it are wiped before they are given up.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kAuthenticateKey = 36;
constexpr int32_t kAuthenticateVersion = 2;
constexpr uint32_t kRequestSize = 1024;
constexpr const char *kTag = "SaslAuth";

// Bytes the text takes on the wire after conversion to UTF-8: it is
// marshalled into scratch space and measured. Negative when it does not fit.
int32_t utf8Length(PCB *pcb, const char *text, uint8_t *scratch, uint32_t scratchSize) {
    int32_t length = kafka_marshall_new(pcb, scratch, scratchSize, 0, "sw", text);
    explicit_bzero(scratch, scratchSize);
    return length;
}

int32_t buildAuthenticate(PCB *pcb, uint32_t brokerIndex, uint8_t *request, uint32_t size) {
    const char *user = pcb->pszSaslUser ? pcb->pszSaslUser : "";
    const char *password = pcb->pszSaslPassword ? pcb->pszSaslPassword : "";
    int32_t userBytes = utf8Length(pcb, user, request, size);
    int32_t passwordBytes = userBytes < 0 ? userBytes : utf8Length(pcb, password, request, size);
    if (passwordBytes < 0)
        return passwordBytes;
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, size, kAuthenticateKey,
                                             kAuthenticateVersion);
    if (position < 1)
        return 0;
    // auth_bytes: NUL user NUL password, its length as a compact count (+1).
    uint64_t authLength = 2 + static_cast<uint64_t>(userBytes) + passwordBytes;
    return kafka_marshall_new(pcb, request, size, position, "i1uvi1swi1swi1", 0, authLength + 1,
                              0, user, 0, password, 0);
}

} // namespace

int32_t kafka_saslauthenticate(PCB *pcb, uint32_t brokerIndex) {
    uint8_t request[kRequestSize];
    int32_t position = buildAuthenticate(pcb, brokerIndex, request, sizeof request);
    int32_t rc;
    if (position == 0)
        rc = -1;
    else if (position < 0)
        rc = kafka_marshall_failure(position);
    else
        rc = kafka_sendqueue(pcb, brokerIndex, request, static_cast<uint32_t>(position),
                             SEND_SYNC);
    explicit_bzero(request, sizeof request);
    return rc;
}

// The reply is read as a 16-bit "Reply Error" (the header's tagged-field
// count and the high byte of error_code) and the low byte as "Error Code".
int32_t kafka_saslauthenticate_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                     uint32_t replyLen) {
    int32_t size = 0, correlationId = 0;
    int16_t replyError = 0;
    uint8_t errorLow = 0, tags = 0;
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i2um", &size,
                                            &correlationId, &replyError, &errorLow, 1u);
    if (position < 0)
        return kafka_reply_malformed(pcb, kTag, broker, "SaslAuthenticate reply too short");
    char *message = nullptr;
    uint8_t *authBytes = nullptr;
    int64_t lifetime = 0;
    position = kafka_unmarshall_new(pcb, reply, replyLen, position, "cscbi8um", &message,
                                    &authBytes, &lifetime, &tags, 1u);
    free(authBytes);
    if (pcb->iDebugLevel > 2)
        bqx_log_vf(INF_SASL_AUTH, pcb, kTag, broker, -1, 2, static_cast<int>(errorLow),
                   static_cast<int>(replyError));
    int32_t errorCode = ((replyError & 0xFF) << 8) | errorLow;
    int32_t rc = 0;
    if (errorCode != 0) {
        bqx_log_vf(ERR_KAFKA, pcb, kTag, broker, -1, 2, errorCode,
                   message ? message : getErrorText(errorCode));
        rc = ERR_KAFKA;
    } else if (replyError != 0) {
        // Tagged fields in the header shift every later field: a reply that
        // cannot be read is never taken for a successful authentication.
        rc = kafka_reply_malformed(pcb, kTag, broker, "SaslAuthenticate reply: header tags");
    } else if (position < 0) {
        rc = kafka_reply_malformed(pcb, kTag, broker, "SaslAuthenticate reply truncated");
    }
    free(message);
    return rc;
}
