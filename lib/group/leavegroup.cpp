// LeaveGroup (key 13, version 4): tells the coordinator that this member
// leaves, so that the group rebalances without waiting for its session to
// time out.
#include <stdlib.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "group/group_internal.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

namespace {

constexpr int32_t kLeaveGroupKey = 13;
constexpr int32_t kLeaveGroupVersion = 4;
constexpr uint32_t kRequestSize = 1024;
constexpr const char *kTag = "LeaveGroup";
constexpr const char *kReplyTag = "LeaveGRy";

int32_t kafkaError(PCB *pcb, int32_t broker, int16_t errorCode) {
    bqx_log_vf(ERR_KAFKA, pcb, kReplyTag, broker, -1, 2, static_cast<int>(errorCode),
               getErrorText(errorCode));
    return ERR_KAFKA;
}

} // namespace

int32_t kafka_leavegroup(PCB *pcb) {
    // Without a member id there is no membership to end.
    if (!pcb->pszMemberID || !pcb->pszGroupID)
        return 0;
    pcb->u32GroupJoined = 0;
    int32_t index = kafka_coordinator_index(pcb);
    // A JoinGroup in flight holds the connection (its reply comes first, as
    // late as the rebalance ends): a new connection carries the LeaveGroup.
    if (kafka_join_pending(pcb)) {
        kafka_clearBroker(pcb, static_cast<uint32_t>(index), 1);
        kafka_connect(pcb, static_cast<uint32_t>(index));
    }
    BrokerEntry *coordinator = group_coordinator(pcb);
    if (!coordinator || coordinator->i32Socket == -1) {
        bqx_log_vf(ERR_COORDINATOR_CONN, pcb, kTag, coordinator ? coordinator->i32BrokerID : -1,
                   -1, 2, coordinator && coordinator->pszHost ? coordinator->pszHost : "",
                   coordinator ? coordinator->i32Port : 0);
        return ERR_COORDINATOR_CONN;
    }
    uint32_t slot = static_cast<uint32_t>(kafka_coordinator_index(pcb));
    uint8_t request[kRequestSize];
    int32_t position = kafka_marshall_ReqHdr(pcb, slot, request, sizeof request, kLeaveGroupKey,
                                             kLeaveGroupVersion);
    if (position < 1)
        return -1;
    position = kafka_marshall_new(pcb, request, sizeof request, position, "i1csuvcsi1i1i1", 0,
                                  pcb->pszGroupID, uint64_t{2}, pcb->pszMemberID, 0, 0, 0);
    if (position < 0)
        return kafka_marshall_failure(position);
    int32_t rc = kafka_sendqueue(pcb, slot, request, static_cast<uint32_t>(position), SEND_SYNC);
    // One LeaveGroup per membership: whatever its reply, the coordinator no
    // longer knows the id, and the next JoinGroup starts as a new member.
    free(pcb->pszMemberID);
    pcb->pszMemberID = nullptr;
    return rc;
}

int32_t kafka_leavegroup_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                               uint32_t replyLen) {
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t size = 0, correlationId = 0, throttle = 0, members = 0;
    int16_t errorCode = 0;
    uint8_t headerTags = 0;
    int32_t position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i1i4i2u3", &size,
                                            &correlationId, &headerTags, &throttle, &errorCode,
                                            &members);
    if (position < 0)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "LeaveGroup reply too short");
    pcb->u16LastKafkaError = static_cast<uint16_t>(errorCode);
    // A group-level error comes with an empty member list.
    if (errorCode != 0)
        return kafkaError(pcb, broker, errorCode);
    for (int32_t i = 0; i < members; ++i) {
        char *memberId = nullptr, *instance = nullptr;
        int16_t memberError = 0;
        position = kafka_unmarshall_new(pcb, reply, replyLen, position, "cscsi2", &memberId,
                                        &instance, &memberError);
        free(memberId);
        free(instance);
        if (position < 0 || static_cast<uint32_t>(position) >= replyLen)
            return kafka_reply_malformed(pcb, kReplyTag, broker, "LeaveGroup reply: member truncated");
        position += 1; // the member's tagged fields
        if (memberError != 0) {
            pcb->u16LastKafkaError = static_cast<uint16_t>(memberError);
            return kafkaError(pcb, broker, memberError);
        }
    }
    return 0;
}
