// The leader's range assignment over the members' subscriptions.
#include "group/range_assignor.h"

#include <string.h>

#include "api/pcb.h"
#include "group/subscription.h"

namespace {

bool sameText(const char *a, const char *b) { return a && b && strcmp(a, b) == 0; }

const char *orEmpty(const char *text) { return text ? text : ""; }

// This member subscribes to the session's topic alone, whatever its entry
// in the member list says; the others as their JoinGroup metadata says.
bool subscribes(const PCB *pcb, uint32_t member, const char *topic) {
    if (sameText(pcb->apszMembers[member], pcb->pszMemberID))
        return sameText(topic, pcb->pszTopic);
    return group_subscribes(pcb, member, topic);
}

const char *topicName(const PCB *pcb, uint32_t topic) {
    return topic == 0 ? pcb->pszTopic : pcb->pOtherTopics[topic - 1].pszTopic;
}

// -1 while unknown.
int64_t partitionCount(const PCB *pcb, uint32_t topic) {
    return topic == 0 ? static_cast<int64_t>(pcb->u32PartitionCount)
                      : pcb->pOtherTopics[topic - 1].i32Partitions;
}

} // namespace

uint32_t group_assigned_topics(const PCB *pcb) { return 1 + pcb->u32OtherTopics; }

TopicShare group_range_share(const PCB *pcb, uint32_t member, uint32_t topic) {
    const char *name = topicName(pcb, topic);
    TopicShare share{name, 0, 0, topic == 0};
    int64_t partitions = partitionCount(pcb, topic);
    if (partitions <= 0 || !subscribes(pcb, member, name))
        return share;
    // The member's rank among the subscribers sorted by member id.
    uint32_t rank = 0, subscribers = 0;
    const char *self = orEmpty(pcb->apszMembers[member]);
    for (uint32_t k = 0; k < pcb->u32NumMembers; ++k) {
        if (!subscribes(pcb, k, name))
            continue;
        ++subscribers;
        int order = strcmp(orEmpty(pcb->apszMembers[k]), self);
        if (order < 0 || (order == 0 && k < member))
            ++rank;
    }
    uint32_t count = static_cast<uint32_t>(partitions);
    uint32_t base = count / subscribers, extra = count % subscribers;
    share.first = rank * base + (rank < extra ? rank : extra);
    share.count = base + (rank < extra ? 1 : 0);
    return share;
}

int32_t group_share_partition(const PCB *pcb, const TopicShare &share, uint32_t n) {
    uint32_t index = share.first + n;
    return share.own ? pcb->pPartitionList[index].i32Partition : static_cast<int32_t>(index);
}

uint64_t group_assigned_partitions(const PCB *pcb) {
    uint64_t total = pcb->u32PartitionCount;
    for (uint32_t i = 0; i < pcb->u32OtherTopics; ++i)
        if (pcb->pOtherTopics[i].i32Partitions > 0)
            total += static_cast<uint64_t>(pcb->pOtherTopics[i].i32Partitions);
    return total;
}
