// Bounds-checked reading of a Fetch reply (version 11): the fields up to the
// records of its first partition, the record batches (format version 2)
// and their records. Pure functions over the reply's bytes: nothing is
// allocated, converted or logged, and nothing is read outside [0, length).
#ifndef BQX_CONSUME_RECORD_BATCH_H
#define BQX_CONSUME_RECORD_BATCH_H

#include <stdint.h>

// The reply up to the records of the first partition of the first topic.
// Positions are byte offsets into the reply (size field included).
struct FetchReplyHead {
    int32_t i32Size;
    int32_t i32CorrelID;
    int32_t i32ThrottleMs;
    int16_t i16ErrorCode;
    int32_t i32SessionID;
    int32_t i32ResponseCount;
    const uint8_t *pTopic; // bytes of the first topic name, not terminated
    uint32_t u32TopicLen;
    int32_t i32PartitionCount;
    bool bHasPartition; // false when the reply names no topic or partition
    int32_t i32Partition;
    int16_t i16PartErrorCode;
    int64_t i64HighWatermark;
    int64_t i64LastStableOffset;
    int64_t i64LogStartOffset;
    uint32_t u32AbortedCount; // 0 for a null list
    uint32_t u32AbortedPos;   // first aborted-transaction entry
    int32_t i32PreferredReplica;
    int32_t i32RecordsSize;   // -1 for null records
    uint32_t u32RecordsPos;   // first record batch
    uint32_t u32RecordsEnd;   // behind the last byte of the records
};

// Reads the reply head. Returns null on success, else what is wrong.
const char *fetch_read_head(const uint8_t *reply, uint32_t length, FetchReplyHead *head);

// Reads the partition section that starts at `position` (the partition,
// its errors, aborted transactions and where its records are). Sections
// follow each other: the next one starts at the head's u32RecordsEnd.
const char *fetch_read_partition(const uint8_t *reply, uint32_t length, uint32_t position,
                                 FetchReplyHead *head);

// The offset behind the last complete batch in [position, end), without
// checking CRCs: where the next Fetch of the partition continues. False
// when the records hold no complete batch.
bool fetch_records_next_offset(const uint8_t *reply, uint32_t position, uint32_t end,
                               int64_t *next);

// Bytes of one aborted-transaction entry: producer_id, first_offset.
constexpr uint32_t kAbortedEntryBytes = 16;

// Attribute bits of a record batch.
constexpr int16_t kBatchCodecMask = 0x07;
constexpr int16_t kBatchTransactional = 0x10;
constexpr int16_t kBatchControl = 0x20;

// Bytes from baseOffset to the first record of a version 2 batch, and the
// least a batchLength can say for it (partitionLeaderEpoch to record count).
constexpr uint32_t kBatchHeaderBytes = 61;
constexpr int32_t kBatchMinLength = 49;
constexpr uint32_t kBatchLogOverhead = 12; // baseOffset and batchLength
constexpr uint32_t kMinRecordBytes = 7;    // length, attributes, 3 varints, 2 lengths

struct RecordBatchHead {
    int64_t i64BaseOffset;
    int32_t i32BatchLength;
    int32_t i32LeaderEpoch;
    int8_t i8Magic;
    uint32_t u32Crc;
    int16_t i16Attributes;
    int32_t i32LastOffsetDelta;
    int64_t i64BaseTimestamp;
    int64_t i64MaxTimestamp;
    int64_t i64ProducerID;
    int16_t i16ProducerEpoch;
    int32_t i32BaseSequence;
    int32_t i32RecordCount;
    uint32_t u32Start;      // position of baseOffset
    uint32_t u32RecordsPos; // first record
    uint32_t u32End;        // behind the batch
};

enum class BatchStatus {
    kOk,
    kEnd,       // no further batch: fewer than 12 bytes are left
    kCutOff,    // the batch reaches beyond the records; baseOffset, batchLength read
    kOldMagic,  // not format version 2; baseOffset, batchLength, magic read
    kBadCrc,    // the CRC-32C does not match the batch
    kMalformed, // lengths or counts that disagree with the bytes
};

// Reads the batch at `position` of the records that end at `end` and checks
// its CRC-32C (attributes to the end of the batch) unless `checkCrc` is
// false. `*problem` names what is wrong for kMalformed.
BatchStatus record_batch_read(const uint8_t *reply, uint32_t position, uint32_t end,
                              RecordBatchHead *batch, const char **problem, bool checkCrc = true);

inline int64_t record_batch_last_offset(const RecordBatchHead &batch) {
    return batch.i64BaseOffset + batch.i32LastOffsetDelta;
}

// The codec's name for compression bits 1..4, "unknown" for others.
const char *record_batch_codec_name(int16_t attributes);

// One record, in place: key and value point into the reply.
struct RecordView {
    int8_t i8Attributes;
    int64_t i64TimestampDelta;
    int32_t i32OffsetDelta;
    const uint8_t *pKey; // null for a null key
    int32_t i32KeyLen;   // -1 for a null key
    const uint8_t *pValue;
    int32_t i32ValueLen;
    int32_t i32HeaderCount;
    uint32_t u32End; // behind the record
};

// Reads the record at `position`, which must end at or before `batchEnd`,
// stepping over its headers. The record's length field must match its
// contents exactly. Returns null or what is wrong.
const char *record_read(const uint8_t *reply, uint32_t position, uint32_t batchEnd,
                        RecordView *record);

// Type of a control record from its key (0 abort, 1 commit), -1 when the
// key is too short to say.
int32_t control_record_type(const RecordView &record);

// Whether a transactional batch of `producerID` whose last offset is
// `lastOffset` belongs to an aborted transaction: the reply lists an open
// entry of that producer starting at or before `lastOffset`.
bool aborted_txn_open(const uint8_t *reply, uint32_t abortedPos, uint32_t abortedCount,
                      int64_t producerID, int64_t lastOffset);

// The abort marker of `producerID` at `markerOffset` ends its aborted
// transactions listed up to there: their entries are closed by setting
// their producer id to -1 in the kept reply.
void aborted_txn_close(uint8_t *reply, uint32_t abortedPos, uint32_t abortedCount,
                       int64_t producerID, int64_t markerOffset);

#endif
