// FindCoordinator (key 10, version 2): asks any broker of the cluster which
// broker coordinates the session's group, and fills the coordinator slot
// (the last broker-table entry) from the answer.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "group/group_internal.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "auth/sasl_scram.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kFindCoordinatorKey = 10;
constexpr int32_t kFindCoordinatorVersion = 2;
constexpr uint32_t kRequestSize = 1024;
constexpr const char *kTag = "FindCoord";
constexpr const char *kReplyTag = "FindCoRy";

// The first connected entry among the Metadata brokers and the bootstrap
// entry, or -1.
int32_t firstConnected(const PCB *pcb) {
    for (uint32_t i = 0; i + 1 < pcb->u32BrokerCount; ++i)
        if (pcb->pBrokerList[i].i32Socket != -1)
            return static_cast<int32_t>(i);
    return -1;
}

// Connects the entries in table order up to the first that accepts; -1 when
// none does (logged as 7521).
int32_t connectAny(PCB *pcb) {
    for (uint32_t i = 0; i + 1 < pcb->u32BrokerCount; ++i) {
        const BrokerEntry &entry = pcb->pBrokerList[i];
        if (!entry.pszHost)
            continue;
        if (pcb->iDebugLevel > 1)
            bqx_log_vf(INF_CONNECT_BROKER, pcb, kTag, entry.i32BrokerID, -1, 2, entry.pszHost,
                       entry.i32Port);
        if (kafka_connect(pcb, i) == 0)
            return static_cast<int32_t>(i);
    }
    bqx_log_vf(ERR_NO_CLUSTER, pcb, kTag, -1, -1, 1, "...");
    return -1;
}

int32_t sendRequest(PCB *pcb, uint32_t brokerIndex, int8_t keyType) {
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, brokerIndex, request, sizeof request,
                                             kFindCoordinatorKey, kFindCoordinatorVersion);
    if (position < 1)
        return -1;
    position = kafka_marshall_new(pcb, request, sizeof request, position, "nsi1",
                                  pcb->pszGroupID, 1, static_cast<int32_t>(keyType));
    if (position < 0)
        return kafka_marshall_failure(position);
    return kafka_sendqueue(pcb, brokerIndex, request, static_cast<uint32_t>(position), SEND_SYNC);
}

// The Metadata broker (entries 0 to count-3) with node id `nodeId`, or -1.
int32_t findBroker(const PCB *pcb, int32_t nodeId) {
    for (uint32_t i = 0; i + 2 < pcb->u32BrokerCount; ++i)
        if (pcb->pBrokerList[i].i32BrokerID == nodeId)
            return static_cast<int32_t>(i);
    return -1;
}

// Makes the coordinator slot a fresh, unconnected copy of broker `source`
// with the reply's host. A connection the slot still holds (to a previous
// coordinator) is closed first; nothing is shared with the source entry.
void fillCoordinator(PCB *pcb, uint32_t source, char *host) {
    uint32_t slot = static_cast<uint32_t>(kafka_coordinator_index(pcb));
    kafka_clearBroker(pcb, slot, 1);
    BrokerEntry &entry = pcb->pBrokerList[slot];
    free(entry.pszHost);
    entry = pcb->pBrokerList[source];
    entry.pszHost = host;
    entry.i32BrokerID = -2;
    entry.i32Socket = -1;
    entry.pTls = nullptr;
    entry.u32LastCorrelID = 0;
    entry.u32FetchCorrelID = 0;
    entry.pPendingHead = nullptr;
    entry.pPendingTail = nullptr;
    entry.u32PendingCount = 0;
    entry.pReplyBuffer = nullptr;
    entry.pPartialReply = nullptr;
    entry.u32PartialLength = 0;
    entry.u32PartialReceived = 0;
    entry.u32ApiVersionsKnown = 0; // learnt again on the new connection
    entry.u32SaslStep = 0;
    entry.pScram = nullptr;        // the source's SCRAM exchange stays its own
    entry.u32SaslMechanism = kSaslPlain; // PLAIN first, as on every connection
}

} // namespace

int32_t kafka_findcoordinator(PCB *pcb, int8_t keyType) {
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_FIND_COORDINATOR, pcb, kTag, -1, -1, 2, static_cast<int>(keyType),
                   pcb->pszGroupID ? pcb->pszGroupID : "");
    if (!pcb->pBrokerList || pcb->u32BrokerCount < 2) {
        bqx_log_vf(ERR_NO_CLUSTER, pcb, kTag, -1, -1, 1, "...");
        return -1;
    }
    if (!pcb->pszGroupID) {
        bqx_log_vf(ERR_NO_COORDINATOR, pcb, kTag, -1, -1, 1, "");
        return -1;
    }
    if (!group_text_fits(pcb, kTag, -1, pcb->pszGroupID))
        return ERR_MARSHALL;
    int32_t chosen = firstConnected(pcb);
    bool opened = false;
    if (chosen < 0) {
        chosen = connectAny(pcb);
        if (chosen < 0)
            return -1;
        opened = true;
    }
    uint32_t index = static_cast<uint32_t>(chosen);
    int32_t rc = sendRequest(pcb, index, keyType);
    if (opened)
        kafka_clearBroker(pcb, index, 1);
    return rc;
}

int32_t kafka_findcoordinator_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                    uint32_t replyLen) {
    int32_t size = 0, correlationId = 0, throttle = 0, nodeId = -1, port = 0;
    int16_t errorCode = 0;
    char *message = nullptr, *host = nullptr;
    int32_t position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i4i2nsi4nsi4", &size,
                                            &correlationId, &throttle, &errorCode, &message,
                                            &nodeId, &host, &port);
    if (position < 0) {
        free(message);
        free(host);
        return kafka_reply_malformed(pcb, kReplyTag, kafka_broker_id(pcb, brokerIndex),
                                     "FindCoordinator reply too short");
    }
    pcb->u16LastKafkaError = static_cast<uint16_t>(errorCode);
    pcb->i32CoordinatorID = nodeId;
    int32_t rc = 0;
    int32_t source = -1;
    if (errorCode != 0) {
        bqx_log_vf(ERR_KAFKA, pcb, kReplyTag, nodeId, -1, 2, static_cast<int>(errorCode),
                   message ? message : getErrorText(errorCode));
        kafka_group_error(pcb, errorCode);
        rc = ERR_KAFKA;
    } else if ((source = findBroker(pcb, nodeId)) < 0) {
        bqx_log_vf(ERR_COORDINATOR_UNKNOWN, pcb, kReplyTag, nodeId, -1, 2,
                   pcb->pszGroupID ? pcb->pszGroupID : "", nodeId);
        rc = ERR_COORDINATOR_UNKNOWN;
    } else if (!host) {
        rc = kafka_reply_malformed(pcb, kReplyTag, nodeId, "FindCoordinator reply without host");
    }
    free(message);
    if (rc != 0) {
        free(host);
        return rc;
    }
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_FOUND_COORDINATOR, pcb, kReplyTag, nodeId, -1, 4,
                   pcb->pszGroupID ? pcb->pszGroupID : "", nodeId, host, port);
    fillCoordinator(pcb, static_cast<uint32_t>(source), host);
    // The membership lived on the old connection: heartbeats wait for the rejoin.
    pcb->u32GroupJoined = 0;
    return 0;
}
