// What the leader needs to know of the group's members: each member's
// subscription (the topics of its JoinGroup metadata) and the partition
// counts of subscribed topics other than the session's own.
#ifndef BQX_GROUP_SUBSCRIPTION_H
#define BQX_GROUP_SUBSCRIPTION_H

#include <stdint.h>

struct PCB;
struct MemberTopics;

// Reads a subscription of any version (0 to 3): version, topics, user
// data, then for version 1 on the owned partitions; only the topics are
// kept. Returns false for bytes that do not hold one (*out is then empty).
bool group_read_subscription(PCB *pcb, const uint8_t *bytes, uint32_t length, MemberTopics *out);

// Frees every member's subscription and the topic counts.
void group_free_subscriptions(PCB *pcb);

// Whether member `index` subscribes to `topic`.
bool group_subscribes(const PCB *pcb, uint32_t index, const char *topic);

// Learns the partition counts of the topics the members subscribe to
// besides the session's own: one Metadata request (version 5, which never
// creates a topic) to the coordinator's connection. A topic it cannot
// learn keeps the count -1 and is assigned to nobody. Returns 0 or the
// error of the request.
int32_t group_fetch_topic_counts(PCB *pcb);

// The reply of that request: sets the counts of the topics it lists.
int32_t group_topic_counts_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                 uint32_t replyLen);

// The Metadata version of that request, by which its reply is told apart
// from the replies of the session's own Metadata requests.
constexpr int16_t kTopicCountsMetadataVersion = 5;

#endif
