// Matching a reply to the oldest pending request of its broker and calling
// the reply handler of the request's API key.
#include <stdlib.h>

#include "api/pcb.h"
#include "group/subscription.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kTag = "ProcReply";
constexpr uint32_t kReplyHeaderLength = 8; // size field and correlation id

// The handler that decodes a reply; kNone for keys the library never sends.
enum class Handler {
    kNone,
    kProduce,
    kFetch,
    kListOffsets,
    kMetadata,
    kOffsetCommit,
    kOffsetFetch,
    kFindCoordinator,
    kJoinGroup,
    kHeartbeat,
    kLeaveGroup,
    kSyncGroup,
    kSaslHandshake,
    kApiVersions,
    kSaslAuth,
    kInitProducerId
};

struct ReplyKind {
    int16_t apiKey;
    const char *tag;
    Handler handler;
};

constexpr ReplyKind kReplyKinds[] = {
    {0, "ProducRy", Handler::kProduce},          {1, "FetchRy", Handler::kFetch},
    {2, "ListOfRy", Handler::kListOffsets},      {3, "MetadaRy", Handler::kMetadata},
    {8, "OffsCoRy", Handler::kOffsetCommit},     {9, "OffsFeRy", Handler::kOffsetFetch},
    {10, "FindCoRy", Handler::kFindCoordinator}, {11, "JoinGrRy", Handler::kJoinGroup},
    {12, "HeartBRy", Handler::kHeartbeat},       {13, "LeaveGRy", Handler::kLeaveGroup},
    {14, "SyncGrRy", Handler::kSyncGroup},       {17, "SaslHaRy", Handler::kSaslHandshake},
    {18, "ApiVerRy", Handler::kApiVersions},     {22, "InitPiRy", Handler::kInitProducerId},
    {36, "SaslAuRy", Handler::kSaslAuth},
};

const ReplyKind *findKind(int32_t apiKey) {
    for (const ReplyKind &kind : kReplyKinds)
        if (kind.apiKey == apiKey)
            return &kind;
    return nullptr;
}

// What the dispatcher learns from the matched request; `request` is the
// request copy, taken off the queue and released after its handler ran.
struct MatchedRequest {
    int16_t apiKey;
    int16_t apiVersion;
    uint32_t correlId;
    PendingRequest *request;
};

// Takes the head off the entry's queue.
MatchedRequest takeHead(BrokerEntry *entry) {
    PendingRequest *head = entry->pPendingHead;
    MatchedRequest matched = {transport_readBe16(head->abRequest + 4),
                              transport_readBe16(head->abRequest + 6), head->u32CorrelID, head};
    entry->pPendingHead = head->pNext;
    if (!entry->pPendingHead) {
        entry->pPendingTail = nullptr;
        entry->u32PendingCount = 0;
    } else {
        entry->u32PendingCount--;
    }
    head->pNext = nullptr;
    return matched;
}

int32_t callHandler(PCB *pcb, uint32_t brokerIndex, Handler handler, const uint8_t *reply,
                    uint32_t length, const MatchedRequest &matched) {
    const int16_t apiVersion = matched.apiVersion;
    switch (handler) {
    case Handler::kProduce:
        return kafka_produce_reply_to(pcb, brokerIndex, reply, length,
                                      matched.request->abRequest, matched.request->u32Length);
    case Handler::kFetch:
        return kafka_fetch_reply(pcb, brokerIndex, reply, length, matched.correlId);
    case Handler::kListOffsets:
        return kafka_listoffsets_reply(pcb, brokerIndex, reply, length, apiVersion);
    case Handler::kOffsetCommit:
        return kafka_offsetcommit_reply(pcb, brokerIndex, reply, length);
    case Handler::kOffsetFetch:
        return kafka_fetchoffsets_reply(pcb, brokerIndex, reply, length);
    case Handler::kFindCoordinator:
        return kafka_findcoordinator_reply(pcb, brokerIndex, reply, length);
    case Handler::kJoinGroup:
        return kafka_joingroup_reply(pcb, brokerIndex, reply, length);
    case Handler::kHeartbeat:
        return kafka_heartbeat_reply(pcb, brokerIndex, reply, length);
    case Handler::kLeaveGroup:
        return kafka_leavegroup_reply(pcb, brokerIndex, reply, length);
    case Handler::kSyncGroup:
        return kafka_syncgroup_reply(pcb, brokerIndex, reply, length);
    case Handler::kMetadata:
        // The leader's request for its members' topics has a version of its own.
        if (apiVersion == kTopicCountsMetadataVersion)
            return group_topic_counts_reply(pcb, brokerIndex, reply, length);
        return kafka_meta_reply(pcb, brokerIndex, reply, length);
    case Handler::kSaslHandshake:
        return kafka_saslhandshake_reply(pcb, brokerIndex, reply, length);
    case Handler::kApiVersions:
        return kafka_apiversion_reply(pcb, brokerIndex, reply, length, apiVersion);
    case Handler::kSaslAuth:
        return kafka_saslauthenticate_reply(pcb, brokerIndex, reply, length);
    case Handler::kInitProducerId:
        return kafka_initproducerid_reply(pcb, brokerIndex, reply, length, apiVersion);
    case Handler::kNone:
        break;
    }
    return -1;
}

int32_t dispatch(PCB *pcb, uint32_t brokerIndex, const MatchedRequest &matched,
                 const uint8_t *reply, uint32_t length) {
    const ReplyKind *kind = findKind(matched.apiKey);
    const char *tag = get_ReplyKeyName(matched.apiKey);
    if (!kind || kind->handler == Handler::kNone) {
        bqx_log_vf(ERR_UNSUPPORTED_API, pcb, kTag, pcb->pBrokerList[brokerIndex].i32BrokerID,
                   -1, 4, static_cast<int>(matched.apiKey), static_cast<int>(matched.apiVersion),
                   tag, static_cast<int>(matched.correlId));
        return ERR_UNSUPPORTED_API;
    }
    return callHandler(pcb, brokerIndex, kind->handler, reply, length, matched);
}

// A reply that matches no pending request. While shutting down it is a
// late answer and ignored. Otherwise the connection is out of step (a
// broker answers strictly in request order): it is closed, so that its
// pending requests fail now (5005 each) instead of waiting for replies
// that can no longer be told apart, and the next request reconnects.
int32_t unmatchedReply(PCB *pcb, uint32_t brokerIndex, const BrokerEntry *entry,
                       uint32_t correlId, const uint8_t *reply, uint32_t length) {
    if (pcb->u32ShuttingDown) {
        if (pcb->iDebugLevel > 2)
            bqx_log_vf(INF_SHUTTING_DOWN, pcb, kTag, entry->i32BrokerID, -1, 3,
                       static_cast<int>(correlId), transport_host(entry), entry->i32Port);
        return 0;
    }
    bqx_log_vf(ERR_UNEXPECTED_REPLY, pcb, kTag, entry->i32BrokerID, -1, 3,
               static_cast<int>(correlId), transport_host(entry), entry->i32Port);
    hexdump(pcb, kTag, entry->i32BrokerID, -1, "received Reply Data", reply,
            length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length));
    kafka_clearBroker(pcb, brokerIndex, 0);
    return ERR_UNEXPECTED_REPLY;
}

int32_t handleMatched(PCB *pcb, uint32_t brokerIndex, const BrokerEntry *entry,
                      const MatchedRequest &matched, const uint8_t *reply, uint32_t length,
                      const char *tag) {
    if (pcb->iDebugLevel > 2)
        bqx_log_vf(INF_REPLY_RECEIVED, pcb, tag, entry->i32BrokerID, -1, 3,
                   static_cast<int>(matched.correlId), transport_host(entry), entry->i32Port);
    if (pcb->iDebugLevel > 4)
        hexdump(pcb, tag, entry->i32BrokerID, -1, "Reply from kafka", reply,
                length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length));
    return dispatch(pcb, brokerIndex, matched, reply, length);
}

} // namespace

const char *get_ReplyKeyName(int32_t apiKey) {
    const ReplyKind *kind = findKind(apiKey);
    return kind ? kind->tag : "--";
}

int32_t kafka_processReply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                           uint32_t length) {
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    if (!entry)
        return transport_badIndex(pcb, kTag, "processReply", brokerIndex);
    if (!reply || length < kReplyHeaderLength) {
        bqx_log_vf(ERR_PROTOCOL, pcb, kTag, entry->i32BrokerID, -1, 1,
                   "reply too short for a correlation id");
        return ERR_PROTOCOL;
    }
    uint32_t correlId = transport_readBe32(reply + 4);
    if (!entry->pPendingHead || entry->pPendingHead->u32CorrelID != correlId)
        return unmatchedReply(pcb, brokerIndex, entry, correlId, reply, length);

    MatchedRequest matched = takeHead(entry);
    const char *tag = get_ReplyKeyName(matched.apiKey);
    int32_t rc = handleMatched(pcb, brokerIndex, entry, matched, reply, length, tag);
    transport_freePending(matched.request);
    return rc;
}

