// Closing broker entries, dropping the broker table, and the teardown of a
// session on reconnect and close.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "api/pcb.h"
#include "auth/sasl_scram.h"
#include "codec/codec.h"
#include "group/coordinator_request.h"
#include "group/subscription.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kDisconnectTag = "Disconnect";
constexpr const char *kCloseTag = "BQXCLSE";
constexpr uint32_t kDroppedDumpLimit = 128;

// Logs and releases one request whose reply can no longer come. Returns
// 5005 when it warned, else 0.
int32_t dropRequest(PCB *pcb, const BrokerEntry *entry, PendingRequest *request,
                    int32_t quiet) {
    int32_t result = 0;
    if (pcb->iDebugLevel > 4)
        transport_dumpRequest(pcb, kDisconnectTag, entry->i32BrokerID,
                              "No Reply for this Request", request->abRequest,
                              request->u32Length, kDroppedDumpLimit);
    if (!quiet) {
        int16_t apiKey = transport_readBe16(request->abRequest + 4);
        bqx_log_vf(WRN_NO_REPLY, pcb, kDisconnectTag, entry->i32BrokerID, -1, 5,
                   static_cast<int>(apiKey), get_KeyName(apiKey),
                   static_cast<int>(request->u32CorrelID), transport_host(entry),
                   entry->i32Port);
        result = WRN_NO_REPLY;
    }
    transport_freePending(request);
    return result;
}

void freeText(char **text) {
    free(*text);
    *text = nullptr;
}

// Overwrites a secret before its memory goes back to the allocator.
void freeSecret(char **text) {
    if (*text)
        explicit_bzero(*text, strlen(*text));
    freeText(text);
}

bool anyReplyAwaited(const PCB *pcb) {
    for (uint32_t i = 0; pcb->pBrokerList && i < pcb->u32BrokerCount; ++i) {
        const BrokerEntry &entry = pcb->pBrokerList[i];
        if (entry.pPendingHead && entry.i32Socket != -1)
            return true;
    }
    return false;
}

void releaseSessionTexts(PCB *pcb) {
    freeText(&pcb->pszGroupID);
    freeText(&pcb->pszTopic);
    for (char *&member : pcb->apszMembers)
        freeText(&member);
    group_free_subscriptions(pcb);
    freeText(&pcb->pszMemberID);
    pcb->szLastError[0] = '\0';
    pcb->szMsgKey[0] = '\0';
}

} // namespace

void kafka_log_statistics(PCB *pcb, const char *tag) {
    long long connectionTime = getTimeStamp() - static_cast<long long>(pcb->ullStartTime);
    bqx_log_vf(INF_STATS_MSGS, pcb, tag, -1, -1, 3, static_cast<long long>(pcb->ullMsgsProduced),
               static_cast<long long>(pcb->ullMsgsConsumed), connectionTime);
    bqx_log_vf(INF_STATS_TIMES, pcb, tag, -1, -1, 6, static_cast<long long>(pcb->ullSndTime),
               static_cast<long long>(pcb->ullRcvTime), static_cast<long long>(pcb->ullWaitTime),
               static_cast<long long>(pcb->ullMarshallTime),
               static_cast<long long>(pcb->ullUnmarshallTime),
               static_cast<long long>(pcb->ullSendWinExh));
    bqx_log_vf(INF_STATS_PRODUCE, pcb, tag, -1, -1, 3, static_cast<long long>(pcb->ullMsgsProduced),
               static_cast<long long>(pcb->ullMsgsFailed),
               static_cast<long long>(pcb->ullRetriedRequests));
    bqx_log_vf(INF_STATS_COUNTS, pcb, tag, -1, -1, 6, static_cast<long long>(pcb->ullSends),
               static_cast<long long>(pcb->ullSndBytes), static_cast<long long>(pcb->ullRcvs),
               static_cast<long long>(pcb->ullRcvBytes), static_cast<long long>(pcb->ullSelWait),
               static_cast<long long>(pcb->ullSelNoWait));
}

int32_t kafka_clearBroker(PCB *pcb, uint32_t brokerIndex, int32_t quiet) {
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    if (!entry)
        return 0;
    // A connection lost while the session runs (the broker closed it, a
    // send or receive failed) may mean that its broker has gone: the
    // session asks for the partitions' leaders again.
    if (!quiet && !pcb->u32ShuttingDown && (entry->i32Socket != -1 || entry->pPendingHead))
        pcb->u32MetadataStale = 1;
    transport_closeSocket(entry, true);
    kafka_produce_unprobe(pcb, brokerIndex);
    int32_t result = 0;
    while (PendingRequest *request = entry->pPendingHead) {
        entry->pPendingHead = request->pNext;
        kafka_produce_dropped(pcb, brokerIndex, request->abRequest, request->u32Length);
        if (dropRequest(pcb, entry, request, quiet) != 0)
            result = WRN_NO_REPLY;
    }
    entry->pPendingTail = nullptr;
    entry->u32PendingCount = 0;
    kafka_fetch_drop_replies(entry);
    entry->u32FetchCorrelID = 0;
    entry->u32ApiVersionsKnown = 0; // the next connection asks again
    scram_clear(entry);             // and starts its SASL with PLAIN
    return result;
}

int32_t kafka_clearBrokers(PCB *pcb) {
    int32_t result = 0;
    if (pcb->pBrokerList) {
        for (uint32_t i = 0; i < pcb->u32BrokerCount; ++i) {
            int32_t rc = kafka_clearBroker(pcb, i, 1);
            if (rc > result)
                result = rc;
            freeText(&pcb->pBrokerList[i].pszHost);
        }
    }
    pcb->u32BrokerCount = 0;
    free(pcb->pBrokerList);
    pcb->pBrokerList = nullptr;
    return result;
}

int32_t kafka_disconnect(PCB *pcb) {
    pcb->u32ShuttingDown = 1;
    // A consumer commits what it delivered and leaves its group while the
    // coordinator connection is still open (without it there is nobody to
    // tell: the coordinator drops the member after its timeout); neither
    // result stops the teardown.
    if (pcb->pszGroupID && kafka_coordinator_connected(pcb)) {
        if (pcb->u32GroupJoined)
            kafka_offsetcommit(pcb);
        kafka_leavegroup(pcb);
    }
    kafka_group_forget(pcb);
    pcb->u32MetadataStale = 0;
    // Records still collected in batches go out and are awaited like every
    // other request; what cannot be sent is failed and reported below.
    int32_t result = kafka_produce_flush(pcb);
    if (anyReplyAwaited(pcb)) {
        int32_t waited = kafka_produce_drain(pcb, &result);
        result = waited != 0 ? waited : result;
    }
    // What the wait gave up on is dropped with a warning per request; then
    // the produce failures still kept are logged before they are forgotten.
    for (uint32_t i = 0; pcb->pBrokerList && i < pcb->u32BrokerCount; ++i) {
        int32_t dropped = kafka_clearBroker(pcb, i, 0);
        if (dropped > result)
            result = dropped;
    }
    kafka_produce_discard(pcb);
    kafka_produce_synchpoint(pcb, kDisconnectTag);

    free(pcb->pPartitionList);
    pcb->pPartitionList = nullptr;
    pcb->u32PartitionCount = 0;

    int32_t rc = kafka_clearBrokers(pcb);
    if (rc > result)
        result = rc;
    releaseSessionTexts(pcb);
    pcb->u32ShuttingDown = 0;
    return result;
}

void kafka_close(PCB *pcb) {
    kafka_disconnect(pcb);
    kafka_tls_release(pcb);
    iconv_done(pcb);
    if (pcb->iDebugLevel != 0)
        kafka_log_statistics(pcb, kCloseTag);
    freeText(&pcb->pszSaslUser);
    freeSecret(&pcb->pszSaslPassword);
}
