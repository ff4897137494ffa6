// Helpers shared by the group membership units (FindCoordinator, JoinGroup,
// SyncGroup, LeaveGroup and the rejoin); not part of the library's interface.
#ifndef BQX_GROUP_GROUP_INTERNAL_H
#define BQX_GROUP_GROUP_INTERNAL_H

#include <stdint.h>

#include "group/coordinator_request.h"

struct PCB;
struct BrokerEntry;

// Kafka error codes the group units act on.
constexpr int16_t kCoordinatorLoadInProgress = 14;
constexpr int16_t kCoordinatorNotAvailable = 15;
constexpr int16_t kNotCoordinator = 16;
constexpr int16_t kIllegalGeneration = 22;
constexpr int16_t kUnknownMemberId = 25;
constexpr int16_t kRebalanceInProgress = 27;
constexpr int16_t kMemberIdRequired = 79;
constexpr int16_t kFencedInstanceId = 82;

// The coordinator slot, or null while the session has no broker table.
// Its index and connection state: kafka_coordinator_index and
// kafka_coordinator_connected.
BrokerEntry *group_coordinator(PCB *pcb);

// Whether `text` (null counts as empty) fits a 16-bit length field; logs
// 7514 under `tag` when it does not.
bool group_text_fits(PCB *pcb, const char *tag, int32_t broker, const char *text);

// Sends LeaveGroup when there is something to leave: a member id is held and
// the coordinator is connected. Its result is not used by the callers.
void group_leave_if_member(PCB *pcb);

#endif
