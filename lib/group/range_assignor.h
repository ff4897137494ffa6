// The leader's range assignment: every topic a member subscribes to is
// split over the members that subscribe to it, sorted by member id, in
// consecutive ranges; the first members get one partition more when the
// partitions do not divide evenly.
#ifndef BQX_GROUP_RANGE_ASSIGNOR_H
#define BQX_GROUP_RANGE_ASSIGNOR_H

#include <stdint.h>

struct PCB;

// The partitions of one topic a member is given: `count` partitions from
// the topic's `first` on (in the order of their ids).
struct TopicShare {
    const char *topic;
    uint32_t first;
    uint32_t count;
    bool own; // the session's topic: ids from its partition list
};

// Topics the leader assigns: the session's own (index 0), then the other
// topics the members subscribe to.
uint32_t group_assigned_topics(const PCB *pcb);

// The share of member `member` (index in apszMembers) of topic `topic`
// (index as above); a count of 0 when it does not subscribe to it or the
// topic's partition count is unknown.
TopicShare group_range_share(const PCB *pcb, uint32_t member, uint32_t topic);

// The partition id at `n` (0-based) in `share`.
int32_t group_share_partition(const PCB *pcb, const TopicShare &share, uint32_t n);

// Partitions of every assigned topic together, for sizing the request.
uint64_t group_assigned_partitions(const PCB *pcb);

#endif
