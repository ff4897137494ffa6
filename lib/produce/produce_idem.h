// Idempotent producing (synch modes 1 and 4 with a producer id): batches
// sealed with producer id, epoch and sequence, retried byte for byte until
// acknowledged or past their delivery deadline, in sequence order per
// partition.
#ifndef BQX_PRODUCE_PRODUCE_IDEM_H
#define BQX_PRODUCE_PRODUCE_IDEM_H

#include <stdint.h>

#include "api/pcb.h"

constexpr uint32_t kProducerIdUnknown = 0;
constexpr uint32_t kProducerIdHeld = 1;
constexpr uint32_t kProducerIdRefused = 2;

// The broker keeps the last 5 batches of each producer and partition to
// recognise a retry: no more may be in flight.
constexpr uint32_t kIdempotentWindow = 5;

// Whether idempotence applies to the session's current synch mode (1 or 4)
// and has not been refused.
bool produce_idem_wanted(const PCB *pcb);
// Whether the session stamps its batches now (wanted and an id held).
bool produce_idem_on(const PCB *pcb);
// Asks for the producer id when it is wanted and not asked yet, and for a
// new one when a partition has used up the epochs of its id.
int32_t produce_idem_begin(PCB *pcb);

// produce_idem.cpp: the sealed batches of one partition entry.

// Partitions past the last epoch of their producer id, with nothing in
// flight, take a new id and restart their sequence at 0; when none comes,
// their unsettled records fail (7547). 0 or ERR_HANDLE.
int32_t produce_idem_renew(PCB *pcb);

// The batch that may go to `broker` now, sealing the partition's next open
// batch when no retry is due; null when nothing may go (or out of memory).
SealedBatch *produce_idem_next(PCB *pcb, ProduceBatch *entry, int32_t broker);
// Whether produce_idem_next would have a batch (without sealing).
bool produce_idem_sendable(PCB *pcb, ProduceBatch *entry, int32_t broker);
// The batch went out in request `correlId` to `broker`.
void produce_idem_sent(PCB *pcb, SealedBatch *batch, int32_t broker, uint32_t correlId);

// How a partition result of a reply was settled.
enum class IdemVerdict { kNone, kAcked, kRetry, kFailed };
// The result `errorCode` for `partition` of request `correlId` at
// `broker`. kNone: the request carried no sealed batch of the partition,
// or the caller settles the records (errors that fail them, MESSAGE_TOO_LARGE).
IdemVerdict kafka_produce_idem_settle(PCB *pcb, uint32_t broker, uint32_t correlId,
                                      int32_t partition, int16_t errorCode);
// The request's connection ended: its sealed batch of `partition` waits for
// a retry. False when the request carried none.
bool kafka_produce_idem_dropped(PCB *pcb, uint32_t broker, uint32_t correlId, int32_t partition);
// Fails what is past its delivery deadline (7546), restarts the sequence
// of partitions whose epoch moved on, and drops the connections of
// attempts unanswered past the reply wait.
void produce_idem_expire(PCB *pcb);
// The monotonic ms of the earliest delivery deadline of what the session
// holds, INT64_MAX when it holds nothing.
int64_t produce_idem_next_deadline(const PCB *pcb);
// Records of the entry not yet settled: open, awaiting a resend, sealed.
uint64_t produce_idem_held(const ProduceBatch &entry);
// Fails (7513) and frees the entry's sealed batches.
void produce_idem_free(PCB *pcb, ProduceBatch *entry);

// produce_idem_send.cpp: sending and waiting.

// Whether `broker` is connected, connecting it unless it is in its
// back-off; a failure starts or lengthens the back-off (50 ms doubling to
// 1 s; its error is logged once per episode) and marks the Metadata stale.
bool produce_idem_reachable(PCB *pcb, int32_t broker);
// Sends the batches `broker` may take now in one request.
int32_t produce_idem_send_broker(PCB *pcb, int32_t broker);
// Sends where there is room, retrying and waiting with a back-off, until
// the partition (-1: every partition) holds no open records (`sealedToo`:
// nothing unsettled at all).
int32_t produce_idem_drain(PCB *pcb, int32_t partition, bool sealedToo);
// Sends the batches of every broker that has room; `paced`: only those
// worth a request now (produce_worth_sending), as after an append.
void produce_idem_send_where_room(PCB *pcb, bool paced);
// Synch mode 1: BQXPROD of one message, returned once it is stored or
// failed (its own result).
int32_t kafka_produce_idem_one(PCB *pcb, const char *message, uint32_t messageLen);

#endif
