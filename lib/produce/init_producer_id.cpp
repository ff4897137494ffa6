// InitProducerId (key 22, versions 0 to 5, null transactional id): the
// producer id and epoch that an idempotent session stamps on its record
// batches. Asked once per BQXCONN, before the first batch of synch mode 1
// or 4, and again when a partition has used up the 32,767 epochs of its id
// (produce_idem_renew). A broker without the key, or one that refuses the
// first id (the cluster's ACLs deny idempotent writes), leaves the session
// producing without one.
#include "api/pcb.h"
#include "api/session.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "produce/produce_idem.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr const char *kTag = "InitPid";
constexpr const char *kReplyTag = "InitPiRy";
constexpr int32_t kInitProducerIdKey = 22;
constexpr int32_t kHighestVersion = 5;
constexpr int32_t kFirstFlexible = 2;
constexpr int32_t kFirstWithProducerId = 3;
constexpr uint32_t kRequestSize = 512;
constexpr int kAttempts = 5;
constexpr int64_t kFirstPauseMs = 100;

// Errors after which the same request may succeed a moment later.
bool retriable(int16_t errorCode) {
    constexpr int16_t kRetriable[] = {7, 13, 14, 15, 16, 51};
    for (int16_t code : kRetriable)
        if (code == errorCode)
            return true;
    return false;
}

// A connected broker, else the first of the table that accepts a
// connection; -1 when none does, ERR_HANDLE when the session was taken over.
int32_t anyBroker(PCB *pcb) {
    for (uint32_t i = 0; i < pcb->u32BrokerCount; ++i)
        if (pcb->pBrokerList[i].i32Socket != -1)
            return static_cast<int32_t>(i);
    for (uint32_t i = 0; i < pcb->u32BrokerCount; ++i) {
        int32_t rc = kafka_connect(pcb, i);
        if (rc == 0 || rc == ERR_HANDLE)
            return rc == 0 ? static_cast<int32_t>(i) : rc;
    }
    return -1;
}

// The highest version both sides offer; -1 when the broker lacks the key
// or did not say which keys it offers.
int32_t chooseVersion(const PCB *pcb, uint32_t brokerIndex) {
    if (!pcb->pBrokerList[brokerIndex].u32ApiVersionsKnown)
        return -1;
    for (int32_t version = kHighestVersion; version >= 0; --version)
        if (kafka_api_offers(pcb, brokerIndex, kInitProducerIdKey, version))
            return version;
    return -1;
}

int32_t sendRequest(PCB *pcb, uint32_t brokerIndex, int32_t version) {
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, sizeof request,
                                             kInitProducerIdKey, version);
    if (position < 1)
        return ERR_REQUEST_HEADER;
    if (version >= kFirstFlexible) // header tags, null compact string, timeout
        position = kafka_marshall_new(pcb, request, sizeof request, position, "i1uvi4", 0,
                                      uint64_t{0}, int32_t{-1});
    else // null string, timeout
        position = kafka_marshall_new(pcb, request, sizeof request, position, "i2i4", -1, -1);
    if (version >= kFirstWithProducerId)
        position =
            kafka_marshall_new(pcb, request, sizeof request, position, "i8i2", int64_t{-1}, -1);
    if (version >= kFirstFlexible)
        position = kafka_marshall_new(pcb, request, sizeof request, position, "i1", 0);
    if (position < 0)
        return kafka_marshall_failure(position);
    return kafka_sendqueue(pcb, brokerIndex, request, static_cast<uint32_t>(position), SEND_SYNC);
}

void refuse(PCB *pcb, const char *why) {
    pcb->u32ProducerIdState = kProducerIdRefused;
    bqx_log_vf(WRN_NO_PRODUCER_ID, pcb, kTag, -1, -1, 1, why);
}

// Asks until a reply brings a producer id: 0 with the id in the session,
// ERR_HANDLE, ERR_NO_BROKER_CONNECTED (asked again later), or 1 with `why`
// saying why none came.
int32_t ask(PCB *pcb, const char **why) {
    int64_t pauseMs = kFirstPauseMs;
    for (int attempt = 0; attempt < kAttempts; ++attempt, pauseMs *= 2) {
        int32_t broker = anyBroker(pcb);
        if (broker == ERR_HANDLE)
            return ERR_HANDLE;
        if (broker < 0)
            return ERR_NO_BROKER_CONNECTED;
        int32_t version = chooseVersion(pcb, static_cast<uint32_t>(broker));
        if (version < 0) {
            *why = "the broker does not offer it";
            return 1;
        }
        pcb->i16ProducerIdError = -1;
        int32_t rc = sendRequest(pcb, static_cast<uint32_t>(broker), version);
        if (rc == ERR_HANDLE)
            return rc;
        if (rc == 0 && pcb->i16ProducerIdError == 0)
            return 0;
        if (rc == 0 && pcb->i16ProducerIdError > 0 && !retriable(pcb->i16ProducerIdError)) {
            *why = getErrorText(pcb->i16ProducerIdError);
            return 1;
        }
        rc = bqx_pause(pcb, kTag, pauseMs);
        if (rc != 0)
            return rc;
    }
    *why = "no producer id after repeated attempts";
    return 1;
}

} // namespace

int32_t kafka_initproducerid(PCB *pcb) {
    const char *why = "";
    int32_t rc = ask(pcb, &why);
    if (rc != 1)
        return rc;
    refuse(pcb, why);
    return 0;
}

int32_t kafka_initproducerid_again(PCB *pcb, const char **why) {
    *why = "";
    int32_t rc = ask(pcb, why);
    return rc == 1 ? static_cast<int32_t>(ERR_MAYBE_LOST) : rc;
}

int32_t kafka_initproducerid_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                   uint32_t replyLen, int16_t version) {
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t size = 0, correlationId = 0, throttle = 0;
    int16_t errorCode = 0, epoch = 0;
    int64_t producerId = -1;
    uint8_t headerTags = 0;
    int32_t position =
        version >= kFirstFlexible
            ? kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i1i4i2i8i2", &size, &correlationId,
                                   &headerTags, &throttle, &errorCode, &producerId, &epoch)
            : kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i4i2i8i2", &size, &correlationId,
                                   &throttle, &errorCode, &producerId, &epoch);
    if (position < 0)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "InitProducerId reply too short");
    if (errorCode != 0) {
        pcb->i16ProducerIdError = errorCode;
        bqx_log_vf(ERR_KAFKA, pcb, kReplyTag, broker, -1, 2, static_cast<int>(errorCode),
                   getErrorText(errorCode));
        return 0; // kafka_initproducerid decides: try again, or go on without an id
    }
    if (producerId < 0 || epoch < 0)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "InitProducerId reply without id");
    pcb->i64ProducerId = producerId;
    pcb->i16ProducerEpoch = epoch;
    pcb->u32ProducerIdState = kProducerIdHeld;
    pcb->i16ProducerIdError = 0;
    return 0;
}
