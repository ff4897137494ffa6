// Reading one buffered Fetch reply record by record: its head (errors,
// the partition it is for, where the records are), then batch after batch,
// each checked (CRC-32C) once when it is reached; control batches, batches
// of aborted transactions and records below the partition's offset are
// stepped over, compressed batches are inflated behind the reply. The
// keeping of replies and the handing out to the caller live in
// fetch_reply.cpp.
#ifndef BQX_CONSUME_FETCH_RECORDS_H
#define BQX_CONSUME_FETCH_RECORDS_H

#include <stdint.h>

#include "api/pcb.h"

constexpr const char *kFetchTag = "FetchRy";

// What reading the buffered reply came to.
enum class FetchStep {
    kContinue,   // go on reading (internal)
    kRecord,     // a record is handed out
    kUsedUp,     // no further record in the reply
    kKafkaError, // the reply or partition carries a Kafka error (code)
    kFailed,     // logged error (code: its message number)
};

struct FetchOutcome {
    FetchStep step;
    int32_t code;
};

// A record handed out. Key and value point into the buffered reply (valid
// until the reply is read further or released); a value converted to the
// local code page is in `converted`, a heap buffer the reader frees. The
// metadata stays with the record for whoever reports it.
struct FetchedRecord {
    const char *key; // null for a null key
    uint32_t keyLen;
    const char *value; // null for a null value
    uint32_t valueLen;
    char *converted; // heap copy behind `value` when converted, else null
    int64_t offset;
    int64_t timestamp;
    uint32_t flags; // kDeliveredValueNull, kDeliveredKeyNull
};

// Keeps a copy of the handed-out record's key and its metadata in the
// session for BQXINFO (consume/delivered.cpp).
void consume_note_delivered(PCB *pcb, int32_t partition, FetchedRecord *record);

// One read of a buffered reply on behalf of a partition-list entry.
struct FetchReading {
    PCB *pcb;
    PartitionEntry *part;
    BrokerEntry *broker;
    FetchReplyBuffer *buf;
    int32_t brokerID;    // log columns
    int32_t partitionID;
    bool skipped;        // a batch or record was stepped over in this call
};

// Whether reading the buffer has begun (its head is read). Inflated
// records are read from position 0 of their own block.
inline bool fetch_head_read(const FetchReplyBuffer *buf) {
    return buf->u32ReadPos != 0 || buf->pInflated != nullptr;
}

inline const char *fetch_host_of(const BrokerEntry *broker) {
    return broker->pszHost ? broker->pszHost : "";
}

// Reads the reply up to the next record to hand out (kRecord: `out` views
// it; the caller frees out->converted).
FetchOutcome fetch_read_next(FetchReading &r, FetchedRecord *out);

// One "label: value" information line in the reply's log columns.
void fetch_log_number(const FetchReading &r, const char *label, int64_t value);

#endif
