// Pieces shared by the requests to the group coordinator that this library
// sizes from their texts (OffsetFetch, OffsetCommit, Heartbeat), and by
// their reply handlers.
#ifndef BQX_GROUP_COORDINATOR_REQUEST_H
#define BQX_GROUP_COORDINATOR_REQUEST_H

#include <stdint.h>

struct PCB;

// Longest text a Kafka string field may carry.
constexpr uint64_t kMaxWireTextBytes = 0x7FFF;

// Index of the coordinator entry (the last of the broker table), or -1 when
// the session has no broker table.
int32_t kafka_coordinator_index(const PCB *pcb);

// Whether the coordinator entry exists and is connected.
bool kafka_coordinator_connected(const PCB *pcb);

// Bytes `text` takes as a compact string once converted to UTF-8, length
// prefix included; 0 for a text longer than a Kafka string allows, which is
// logged as 7514 with `tag`. A null text takes the one byte of the null form.
uint64_t kafka_compact_text_bytes(PCB *pcb, const char *tag, const char *text);

// Room for a request header with the library's client id.
uint64_t kafka_request_header_bytes(const PCB *pcb);

// A request built in a heap buffer sized for its body.
struct SizedRequest {
    uint8_t *bytes;    // owned by the caller once allocated
    uint32_t capacity; // header room + body bytes
    int32_t position;  // behind the request header
};

// Allocates room for the request header and `bodyBytes` more, and writes
// the header for broker entry `brokerIndex`. Returns 0; -1 (nothing
// allocated) when the header did not fit; 7503, logged with `what`, when
// no buffer could be had.
int32_t kafka_request_alloc(PCB *pcb, const char *tag, const char *what, uint32_t brokerIndex,
                            int32_t apiKey, int32_t apiVersion, uint64_t bodyBytes,
                            SizedRequest *out);

// Kafka errors that end this member's standing with the coordinator: a
// rebalance, a stale generation or member id (rejoin), or a coordinator
// that is loading, gone or elsewhere (find it again).
constexpr bool kafka_is_membership_error(int16_t code) {
    return code == 14 || code == 15 || code == 16 || code == 22 || code == 25 || code == 27;
}

// Steps over a tagged-field section (count, then tag, size and data per
// field) at `position`. Returns the position behind it, or a negative
// position when the section reaches beyond the reply.
int32_t kafka_skip_tagged_fields(PCB *pcb, const uint8_t *reply, uint32_t replyLen,
                                 int32_t position);

#endif
