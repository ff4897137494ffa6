// SaslAuthenticate (key 36, version 2): the PLAIN credentials, an empty
// authorization identity, the user name and the password, each behind a
// zero byte; or, with SCRAM, two rounds: client-first, then client-final,
// each answered by the server's message in auth_bytes. The password never
// reaches a log line, and the buffers that held it are wiped before they
// are given up.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "codec/conv.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "auth/sasl_scram.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kAuthenticateKey = 36;
constexpr int32_t kAuthenticateVersion = 2;
constexpr uint32_t kRequestSize = 1024;
constexpr const char *kTag = "SaslAuth";

// The bytes of one auth_bytes field: the PLAIN message, or a SCRAM client
// message. Wiped by its owner.
struct AuthBytes {
    char bytes[kRequestSize];
    uint32_t length;
};

int32_t tooLong(PCB *pcb, uint64_t required, uint32_t available) {
    int32_t shown = required > INT32_MAX ? INT32_MAX : static_cast<int32_t>(required);
    bqx_log_vf(ERR_MARSHALL, pcb, kTag, -1, -1, 2, shown, available);
    return ERR_MARSHALL;
}

// A credential in UTF-8. Its conversion never dumps its bytes; input the
// converter rejects goes out unchanged, as any text does (7544 is logged).
// Measured first, so that a conversion is never cut short by the room.
// Wiped by its owner.
int32_t credentialToUtf8(PCB *pcb, const char *text, AuthBytes *out) {
    uint32_t length = static_cast<uint32_t>(strlen(text));
    uint64_t needed = conv_measure(pcb, kToUtf8, text, length);
    if (needed > sizeof out->bytes)
        return tooLong(pcb, needed, static_cast<uint32_t>(sizeof out->bytes));
    out->length = static_cast<uint32_t>(sizeof out->bytes);
    uint32_t error = 0;
    int32_t rc = iconv_convert_secret(pcb, text, length, out->bytes, &out->length, &error,
                                      kToUtf8);
    if (rc == -1)
        return tooLong(pcb, length, static_cast<uint32_t>(sizeof out->bytes));
    return rc == ERR_CONVERT ? 0 : rc;
}

// The PLAIN message: an empty authorization identity, then the user and the
// password in UTF-8, each behind a zero byte.
int32_t buildPlain(PCB *pcb, AuthBytes *message) {
    AuthBytes user, password;
    int32_t rc = credentialToUtf8(pcb, pcb->pszSaslUser ? pcb->pszSaslUser : "", &user);
    if (rc == 0)
        rc = credentialToUtf8(pcb, pcb->pszSaslPassword ? pcb->pszSaslPassword : "", &password);
    uint64_t needed = rc == 0 ? 2 + static_cast<uint64_t>(user.length) + password.length : 0;
    if (needed > sizeof message->bytes)
        rc = tooLong(pcb, needed, static_cast<uint32_t>(sizeof message->bytes));
    if (rc == 0) {
        message->bytes[0] = '\0';
        memcpy(message->bytes + 1, user.bytes, user.length);
        message->bytes[1 + user.length] = '\0';
        memcpy(message->bytes + 2 + user.length, password.bytes, password.length);
        message->length = static_cast<uint32_t>(needed);
    }
    explicit_bzero(&user, sizeof user);
    explicit_bzero(&password, sizeof password);
    return rc;
}

// Returns the request's length, or a negative marshaller result, or the
// error that was logged.
int32_t buildAuthenticate(PCB *pcb, uint32_t brokerIndex, const AuthBytes &message,
                          uint8_t *request, uint32_t size) {
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, size, kAuthenticateKey,
                                             kAuthenticateVersion);
    if (position < 1)
        return -1;
    // auth_bytes: its length as a compact count (+1), then the message.
    position = kafka_marshall_new(pcb, request, size, position, "i1uv", 0,
                                  static_cast<uint64_t>(message.length) + 1);
    if (position < 0)
        return position;
    uint64_t required = static_cast<uint64_t>(position) + message.length + 1;
    if (required > size) {
        tooLong(pcb, required, size);
        return kCodecOverrun;
    }
    memcpy(request + position, message.bytes, message.length);
    position += static_cast<int32_t>(message.length);
    return kafka_marshall_new(pcb, request, size, position, "i1", 0);
}

int32_t sendMessage(PCB *pcb, uint32_t brokerIndex, const AuthBytes &message) {
    uint8_t request[kRequestSize];
    int32_t position = buildAuthenticate(pcb, brokerIndex, message, request, sizeof request);
    int32_t rc = position > 0 ? kafka_sendqueue(pcb, brokerIndex, request,
                                                static_cast<uint32_t>(position), SEND_SYNC)
                              : kafka_marshall_failure(position);
    explicit_bzero(request, sizeof request);
    return rc;
}

// Sends the SCRAM exchange's next message: client-first on a new
// connection, client-final once the server's first answer was accepted.
int32_t sendScram(PCB *pcb, uint32_t brokerIndex, BrokerEntry *entry) {
    int32_t broker = entry->i32BrokerID;
    if (!entry->pScram) {
        AuthBytes user;
        int32_t rc = credentialToUtf8(pcb, pcb->pszSaslUser ? pcb->pszSaslUser : "", &user);
        if (rc == 0)
            rc = scram_start(pcb, broker, entry->u32SaslMechanism, user.bytes, user.length,
                             &entry->pScram);
        explicit_bzero(&user, sizeof user);
        if (rc != 0)
            return rc;
    }
    ScramState *state = entry->pScram;
    if (state->u32Stage != kScramFirstReady && state->u32Stage != kScramFirstRead)
        return kafka_reply_malformed(pcb, kTag, broker, "SCRAM: no message to send");
    AuthBytes message;
    memcpy(message.bytes, state->abMessage, state->u32MessageLength);
    message.length = state->u32MessageLength;
    // Wiped and moved on before the send: its wait dispatches the answer.
    scram_sent(state);
    int32_t rc = sendMessage(pcb, brokerIndex, message);
    explicit_bzero(&message, sizeof message);
    return rc;
}

// Reads the server's SCRAM message in an accepted reply.
int32_t scramAnswer(PCB *pcb, uint32_t brokerIndex, BrokerEntry *entry, const uint8_t *bytes,
                    uint32_t length) {
    int32_t broker = entry->i32BrokerID;
    ScramState *state = entry->pScram;
    if (!state)
        return kafka_reply_malformed(pcb, kTag, broker, "SaslAuthenticate reply: no SCRAM");
    if (state->u32Stage == kScramFinalSent) {
        int32_t rc = scram_serverFinal(pcb, broker, state, bytes, length);
        if (rc == 0)
            entry->u32SaslStep = 2;
        return rc;
    }
    AuthBytes password;
    int32_t rc = credentialToUtf8(pcb, pcb->pszSaslPassword ? pcb->pszSaslPassword : "",
                                  &password);
    if (rc == 0)
        rc = scram_serverFirst(pcb, broker, state, password.bytes, password.length, bytes, length,
                               static_cast<int32_t>(brokerIndex));
    explicit_bzero(&password, sizeof password);
    return rc;
}

} // namespace

int32_t kafka_saslauthenticate(PCB *pcb, uint32_t brokerIndex) {
    BrokerEntry *entry = pcb->pBrokerList && brokerIndex < pcb->u32BrokerCount
                             ? &pcb->pBrokerList[brokerIndex]
                             : nullptr;
    if (entry && entry->u32SaslMechanism != kSaslPlain)
        return sendScram(pcb, brokerIndex, entry);
    AuthBytes message;
    int32_t rc = buildPlain(pcb, &message);
    if (rc == 0)
        rc = sendMessage(pcb, brokerIndex, message);
    explicit_bzero(&message, sizeof message);
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
    // error_message, then auth_bytes, read in place: their length is
    // checked against the bytes left.
    char *message = nullptr;
    uint64_t authPlusOne = 0;
    position = kafka_unmarshall_new(pcb, reply, replyLen, position, "csuv", &message,
                                    &authPlusOne);
    const uint8_t *authBytes = nullptr;
    uint32_t authLength = 0;
    if (position >= 0 && authPlusOne > 0) {
        if (authPlusOne - 1 > replyLen - static_cast<uint32_t>(position)) {
            position = kCodecOverrun;
        } else {
            authBytes = reply + position;
            authLength = static_cast<uint32_t>(authPlusOne - 1);
            position += static_cast<int32_t>(authLength);
        }
    }
    int64_t lifetime = 0;
    position = kafka_unmarshall_new(pcb, reply, replyLen, position, "i8um", &lifetime, &tags, 1u);
    if (pcb->iDebugLevel > 2)
        bqx_log_vf(INF_SASL_AUTH, pcb, kTag, broker, -1, 2, static_cast<int>(errorLow),
                   static_cast<int>(replyError));
    int32_t errorCode = ((replyError & 0xFF) << 8) | errorLow;
    BrokerEntry *entry = pcb->pBrokerList && brokerIndex < pcb->u32BrokerCount
                             ? &pcb->pBrokerList[brokerIndex]
                             : nullptr;
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
    } else if (entry && entry->u32SaslMechanism != kSaslPlain) {
        rc = scramAnswer(pcb, brokerIndex, entry, authBytes, authLength);
    } else if (entry) {
        entry->u32SaslStep = 2;
    }
    free(message);
    return rc;
}
