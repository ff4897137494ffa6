// Batches refused as too large: their records are sent again in smaller
// batches, and what the topic accepts and refuses sets the size batches
// are built to.
#ifndef BQX_PRODUCE_PRODUCE_RESEND_H
#define BQX_PRODUCE_PRODUCE_RESEND_H

#include <stdint.h>

struct PCB;

// One partition's record set in a Produce request copy: its bytes are
// request[position, end).
struct SentRecordSet {
    const uint8_t *request;
    uint32_t position;
    uint32_t end;
    uint64_t records;
};

// Called for every partition of a Produce reply from `brokerIndex` to the
// request `correlId`. Ends the partition's probe when this request carried
// it, notes the size of an accepted batch, and re-batches the records of a
// batch refused with MESSAGE_TOO_LARGE or RECORD_LIST_TOO_LARGE in front of
// what the partition holds. Returns the records that will be sent again:
// all of them, or 0 when the caller settles them (accepted or failed; a
// lone record too large is logged with 7545 here).
uint64_t kafka_produce_settle(PCB *pcb, uint32_t brokerIndex, uint32_t correlId, int32_t partition,
                              int16_t errorCode, const SentRecordSet &set);

#endif
