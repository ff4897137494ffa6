// Helpers shared by the request builders and reply handlers of this
// directory; not part of the library's interface.
#ifndef BQX_PROTOCOL_PROTOCOL_INTERNAL_H
#define BQX_PROTOCOL_PROTOCOL_INTERNAL_H

#include <stdint.h>

#include "codec/codec.h"
#include "log/messages.h"

struct PCB;

// Node id of broker entry `brokerIndex` for the log columns; -1 when the
// index lies outside the broker table.
int32_t kafka_broker_id(const PCB *pcb, uint32_t brokerIndex);

// Kafka errors of a partition whose leader is not ready yet (a new topic,
// a leader election): the consume path asks for fresh Metadata and tries
// again, so they are logged as information (INF_LEADER_RETRY).
bool kafka_leader_not_ready(int16_t code);

// Result of a builder whose marshalling ended at the negative `position`:
// 7514 (already logged by the marshaller) when a field did not fit the
// buffer, -1 for a format that is not a code.
inline int32_t kafka_marshall_failure(int32_t position) {
    return position == kCodecOverrun ? static_cast<int32_t>(ERR_MARSHALL) : -1;
}

// Whether `count` elements of at least `minBytes` each fit the bytes left
// behind `position` in `length`; a null (-1) or empty array always fits, a
// position that already failed never does. Checked before a reply's loop
// so that a count the bytes cannot hold is refused before any allocation.
inline bool kafka_array_fits(int32_t position, uint32_t length, int32_t count, int64_t minBytes) {
    if (position < 0 || count < -1)
        return false;
    return count <= 0 || count * minBytes <= static_cast<int64_t>(length) - position;
}

// The clock that stamps produced records; getTimeStamp unless a test
// replaces it to get reproducible request bytes.
extern int64_t (*gpfnProduceClock)();

#endif
