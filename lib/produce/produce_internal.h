// What the one-record produce path and the batched path (synch mode 4)
// share: the tables check, key and value conversion and the partition
// choice, so that both treat a message exactly alike.
#ifndef BQX_PRODUCE_PRODUCE_INTERNAL_H
#define BQX_PRODUCE_PRODUCE_INTERNAL_H

#include <stdint.h>

#include "api/pcb.h"

// A character of a local code page takes at most 4 bytes in UTF-8; the
// murmur2 partitioner sends keys whole, up to kMaxWholeKeyLen bytes.
constexpr uint32_t kProduceKeyUtf8Size = 4 * kMaxWholeKeyLen;

// The message value as sent; `owned` is the conversion buffer, if any.
struct ProduceValue {
    const char *data;
    uint32_t length;
    char *owned;
};

// The message key as sent, already in UTF-8. Only `length` bytes are ever
// read: the constructor leaves the 4 KiB of `bytes` unset, so that a
// message does not pay for zeroing them.
struct ProduceKey {
    ProduceKey() : length(0) {}
    char bytes[kProduceKeyUtf8Size];
    uint32_t length;
};

// 7507 or 7508 (logged) when the session has no broker table or partition
// list, else 0.
int32_t produce_check_tables(PCB *pcb);

// Refreshes stale Metadata and checks the tables again.
int32_t produce_ready_tables(PCB *pcb);

// Converts the value to UTF-8 when the session's convert flag asks for it.
int32_t produce_convert_value(PCB *pcb, const char *message, uint32_t length,
                              ProduceValue *value);

// The length of the session's key as it is sent: the whole key with the
// murmur2 partitioner, else szMsgKey up to its first zero byte.
uint32_t produce_key_length(const PCB *pcb);

// Converts the session's key (keyLen bytes of szMsgKey, or of the whole
// key with the murmur2 partitioner) to UTF-8.
int32_t produce_convert_key(PCB *pcb, uint32_t keyLen, ProduceKey *key);

// Picks the partition-list entry for the next message (the key's own, else
// the next by the cursor) and connects its leader. Returns 0 or 7513.
// With `waitForLeader` (idempotent sessions, whose messages wait for their
// leader) a partition without a reachable leader is chosen all the same
// (the key's own, or the first tried) and nothing is logged; brokers in
// their connect back-off are not tried.
int32_t produce_choose_partition(PCB *pcb, uint32_t keyLen, uint32_t *chosen,
                                 bool waitForLeader = false);

// Logs 7503 for `what` and returns it.
int32_t produce_no_memory(PCB *pcb, const char *what);

// Synch mode 4's batches (produce_batch.cpp), shared with the resend of
// refused batches (produce_resend.cpp).

// A batch header from baseOffset to the record count: a batch takes this
// many bytes plus its records'.
constexpr uint64_t kProduceBatchHeaderBytes = 61;
// A batch is closed at 1 MiB (header included) or 10,000 records.
constexpr uint64_t kProduceBatchMaxBytes = 1 << 20;

// A Produce request to `broker` with room for `sectionBytes` of partition
// sections behind its header and topic section, which are written (acks
// from the session, `partitions` sections announced); *position is where
// the first section goes. Null when the size is out of range, memory is
// short or the header cannot be written.
struct PendingRequest;
PendingRequest *produce_request_begin(PCB *pcb, int32_t broker, uint64_t sectionBytes,
                                      int32_t partitions, int32_t timeoutMs, int32_t *position);

// The session's entry of `partition`, created when missing; null when out
// of memory.
ProduceBatch *produce_batch_of(PCB *pcb, int32_t partition);

// The session's entry of `partition`, or null when it has none.
ProduceBatch *produce_batch_find(PCB *pcb, int32_t partition);

// Whether a record of `recordBytes` (at most) may join `batch` within the
// session's batch limit; an empty batch takes any record.
bool produce_batch_fits(const PCB *pcb, const ProduceBatch &batch, uint64_t recordBytes);

// The most bytes the record can take in a batch.
uint64_t produce_record_bound(const ProduceKey &key, const ProduceValue &value);

// What produce_record_bound adds to a record's key and value bytes.
constexpr uint64_t kRecordBoundOverhead = 10 + 2 + 20 + 10 + 10;

// The room a batch's records of `recordBytes` take in a request: as many
// bytes, or the bound of the session's codec.
uint64_t produce_records_room(const PCB *pcb, uint64_t recordBytes);

// Writes the batch's records at `out` (room from produce_records_room),
// compressed with the session's codec; *written receives their bytes and
// *codec the codec for the batch attributes. False when compressing
// failed: logged (7549) and the batch's records counted as failed; the
// caller takes the batch off without sending it.
bool produce_write_records(PCB *pcb, const ProduceBatch &batch, uint8_t *out, uint64_t room,
                           uint32_t *written, int16_t *codec);

// Appends the record, stamped `timestamp`; false when out of memory.
bool produce_batch_append(ProduceBatch *batch, const ProduceKey &key, const ProduceValue &value,
                          int64_t timestamp);

// The partition entry's next batch to send (its oldest re-batched records,
// else its open batch), taking it off the entry once it is sent, the
// records of the entry not yet sent, and failing them (`error`).
ProduceBatch *produce_next_open(ProduceBatch *entry);
const ProduceBatch *produce_next_open(const ProduceBatch *entry);
void produce_take_open(PCB *pcb, ProduceBatch *entry);
uint64_t produce_open_records(const ProduceBatch &entry);
void produce_fail_open(PCB *pcb, ProduceBatch *entry, int32_t error);

// Index of the broker that leads `partition` now, -1 when none is known;
// whether it has room in the send window.
int32_t produce_leader_of(const PCB *pcb, int32_t partition);
bool produce_has_room(const PCB *pcb, int32_t broker);

// Converts the message and key and picks the partition; *chosen is the
// partition-list entry (its leader connected unless `waitForLeader`).
int32_t produce_prepare(PCB *pcb, const char *message, uint32_t messageLen, ProduceValue *value,
                        ProduceKey *key, uint32_t *chosen, bool waitForLeader);
// Compressing sessions in synch mode 4 (produce_pace.cpp): moves the
// partition cursor back so that an unkeyed record joins the previous one's
// open batch while it waits and has room; whether a record appended to
// `entry` makes the broker's batches worth a request now.
void produce_stay_with_open_batch(PCB *pcb, uint32_t keyLen, const ProduceKey &key,
                                  const ProduceValue &value);
bool produce_worth_sending(const PCB *pcb, int32_t broker, const ProduceBatch &entry);

// Appends the record to its partition's batch (sending what the partition
// holds first when it does not fit).
int32_t produce_collect(PCB *pcb, int32_t partition, const ProduceKey &key,
                        const ProduceValue &value);

#endif
