// The consumer: group coordinator and membership, partition assignment,
// committed offsets, the heartbeat thread, ListOffsets and Fetch, and the
// record decoder behind BQXCONS. Reply handlers receive the reply as
// received, starting with its size field.
#ifndef BQX_PROTOCOL_CONSUMER_H
#define BQX_PROTOCOL_CONSUMER_H

#include <stdint.h>

struct PCB;
struct BrokerEntry;

// ListOffsets (2, version 0, or 1 where the leader no longer offers 0).
int32_t kafka_listoffsets(PCB *pcb, uint32_t partitionIndex, const char *topic);
int32_t kafka_listoffsets_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                uint32_t replyLen, int32_t requestVersion);

// Fetch (1, version 11) and the consume loop.
int32_t kafka_fetch(PCB *pcb, const char *topic, char *buffer, uint32_t *length,
                    int32_t timeoutSeconds);
int32_t kafka_fetch_all(PCB *pcb);
// The largest reply a Fetch of this library may get: its own limit
// (max_bytes), plus the one batch a broker adds beyond it when the first
// batch is larger, plus the reply's headers. Larger replies are refused
// before they are read.
uint32_t kafka_fetch_reply_limit();
int32_t kafka_fetch_send(PCB *pcb, const char *topic, uint32_t partitionIndex);
// Frees every Fetch reply the broker keeps.
void kafka_fetch_drop_replies(BrokerEntry *broker);
int32_t kafka_fetch_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                          uint32_t replyLen, uint32_t correlId);

// Called by the record decoder when a Fetch reply carries a Kafka error for
// the partition-list entry: OFFSET_OUT_OF_RANGE sets the offset back to
// unknown, leadership errors ask for fresh Metadata, and the partition is
// not fetched again before its back-off has passed.
void kafka_fetch_partition_error(PCB *pcb, uint32_t partitionIndex, int16_t errorCode);

// Metadata for the session's topic, merged into the session in place: the
// connections, queues and buffered replies of brokers that stay, the
// bootstrap and coordinator entries, and the offsets and assignment of
// every partition are kept; leaders are updated. Returns 0 or the error.
int32_t kafka_meta_refresh(PCB *pcb);

// Handing out buffered Fetch replies one record at a time.
int32_t kafka_checkReplyBuffers(PCB *pcb, const char *topic, char *buffer, uint32_t *length);
int32_t kafka_checkReplyBuffers_ex(PCB *pcb, const char *topic, char *buffer,
                                   uint32_t *length, uint32_t partitionIndex);
int32_t kafka_process_fetchreply(PCB *pcb, uint32_t partitionIndex, uint32_t brokerIndex,
                                 char **key, uint32_t *keyLen, char **value,
                                 uint32_t *valueLen);
int32_t kafka_cleanupReceive(PCB *pcb, uint32_t partitionIndex);

// Group coordinator and membership: FindCoordinator (10, v2), JoinGroup
// (11, v5), LeaveGroup (13, v4), and the rejoin after a rebalance.
int32_t kafka_findcoordinator(PCB *pcb, int8_t keyType);
int32_t kafka_findcoordinator_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                    uint32_t replyLen);
// kafka_joingroup takes the reply of a JoinGroup still in flight, or sends
// one; it returns by pcb->i64ConsumeDeadlineMs with 7543 (not logged) while
// the JoinGroup stays unanswered, which then stays pending for the next
// call. Never two JoinGroups at once. With load balancing off, another
// session of this process that is a member of the group at the same
// coordinator makes it 7535 without a request.
int32_t kafka_joingroup(PCB *pcb);
bool kafka_join_pending(const PCB *pcb);
int32_t kafka_joingroup_send(PCB *pcb, uint32_t brokerIndex, int32_t wait);
int32_t kafka_joingroup_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                              uint32_t replyLen);
int32_t kafka_rejoingroup(PCB *pcb);
int32_t kafka_leavegroup(PCB *pcb);
int32_t kafka_leavegroup_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                               uint32_t replyLen);

// Called by every group or offset reply handler with the Kafka error code of
// its reply (not 0). Rebalance and membership errors (27, 22, 25) ask for a
// rejoin, coordinator errors (14, 15, 16) for a new FindCoordinator first;
// either ends the joined state, so heartbeats stop until the rejoin.
void kafka_group_error(PCB *pcb, int16_t errorCode);

// Forgets the session's standing in its group: the joined, rejoin,
// coordinator-lost and commit-owed flags, the message count, the leader's
// member count, and every partition's assignment. The group, member and
// member-list texts are left to their owners.
void kafka_group_forget(PCB *pcb);

// Run at the start of every fetch round: finds the coordinator again and
// rejoins when the membership was lost or a rebalance was reported, within
// pcb->i64ConsumeDeadlineMs. Returns 0 when the session is a member again
// (or needed nothing), otherwise the error of the failed step.
int32_t kafka_group_recover(PCB *pcb);

// SyncGroup (14, version 3): the leader's range assignment.
int32_t kafka_syncgroup(PCB *pcb);
int32_t kafka_syncgroup_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                              uint32_t replyLen);

// Committed offsets: OffsetFetch (9, version 7) and OffsetCommit (8, version 8).
int32_t kafka_fetchoffsets(PCB *pcb);
int32_t kafka_fetchoffsets_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                 uint32_t replyLen);
int32_t kafka_offsetcommit(PCB *pcb);
int32_t kafka_offsetcommit_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                 uint32_t replyLen);

// The heartbeat thread and Heartbeat (12, version 4).
int32_t kafka_heartbeat(PCB *pcb);
int32_t kafka_heartbeat_send(PCB *pcb, int32_t brokerIndex);
int32_t kafka_heartbeat_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                              uint32_t replyLen);

// Whether the broker entry offers `version` of `apiKey` (true while its
// ApiVersions reply is not known). Logs 7536 naming the API when it does not.
bool kafka_api_check(PCB *pcb, uint32_t brokerIndex, int32_t apiKey, int32_t version,
                     const char *tag);
// Whether the broker entry offers `version` of `apiKey`, without logging.
bool kafka_api_offers(const PCB *pcb, uint32_t brokerIndex, int32_t apiKey, int32_t version);

#endif
