// Reading a Fetch reply and its record batches in place. Every field is
// read through WireReader, which refuses to pass the end it was given, and
// every count is checked against the bytes left before it is used.
#include "consume/record_batch.h"

#include "codec/codec.h"
#include "codec/wire.h"

namespace {

bool readI16(WireReader &in, int16_t *value) {
    uint64_t raw = 0;
    if (!get_be(in, 2, &raw))
        return false;
    *value = static_cast<int16_t>(raw);
    return true;
}

bool readI32(WireReader &in, int32_t *value) {
    uint64_t raw = 0;
    if (!get_be(in, 4, &raw))
        return false;
    *value = static_cast<int32_t>(raw);
    return true;
}

bool readI64(WireReader &in, int64_t *value) {
    uint64_t raw = 0;
    if (!get_be(in, 8, &raw))
        return false;
    *value = static_cast<int64_t>(raw);
    return true;
}

bool readVarlong(WireReader &in, int64_t *value) {
    uint64_t raw = 0;
    if (!get_uvarint(in, &raw))
        return false;
    *value = zigzag_decode(raw);
    return true;
}

// A zigzag varint that must fit 32 bits.
bool readVarint(WireReader &in, int32_t *value) {
    int64_t wide = 0;
    if (!readVarlong(in, &wide) || wide < INT32_MIN || wide > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(wide);
    return true;
}

uint32_t left(const WireReader &in) { return in.len - in.pos; }

// A varint length and that many bytes; -1 is a null field when allowed.
bool readLengthBytes(WireReader &in, bool nullable, int32_t *length, const uint8_t **bytes) {
    if (!readVarint(in, length))
        return false;
    if (*length == -1 && nullable) {
        *bytes = nullptr;
        return true;
    }
    if (*length < 0)
        return false;
    *bytes = get_bytes(in, static_cast<uint64_t>(*length));
    return *bytes != nullptr;
}

const char *readHeaders(WireReader &in, int32_t count) {
    if (count < 0 || static_cast<uint32_t>(count) > left(in) / 2)
        return "record header count exceeds the record";
    for (int32_t i = 0; i < count; ++i) {
        int32_t keyLen = 0, valueLen = 0;
        const uint8_t *key = nullptr, *value = nullptr;
        if (!readLengthBytes(in, false, &keyLen, &key) ||
            !readLengthBytes(in, true, &valueLen, &value))
            return "record header exceeds the record";
    }
    return nullptr;
}

const char *readPartitionStart(WireReader &in, FetchReplyHead *head) {
    if (!readI32(in, &head->i32Partition) || !readI16(in, &head->i16PartErrorCode) ||
        !readI64(in, &head->i64HighWatermark) || !readI64(in, &head->i64LastStableOffset) ||
        !readI64(in, &head->i64LogStartOffset))
        return "Fetch reply: partition truncated";
    int32_t aborted = 0;
    if (!readI32(in, &aborted) || aborted < -1)
        return "Fetch reply: aborted transactions truncated";
    uint32_t count = aborted < 0 ? 0 : static_cast<uint32_t>(aborted);
    if (count > left(in) / kAbortedEntryBytes)
        return "Fetch reply: aborted transactions exceed the reply";
    head->u32AbortedCount = count;
    head->u32AbortedPos = in.pos;
    in.pos += count * kAbortedEntryBytes;
    if (!readI32(in, &head->i32PreferredReplica) || !readI32(in, &head->i32RecordsSize))
        return "Fetch reply: records size truncated";
    if (head->i32RecordsSize < -1)
        return "Fetch reply: negative records size";
    uint32_t records = head->i32RecordsSize < 0 ? 0 : static_cast<uint32_t>(head->i32RecordsSize);
    if (records > left(in))
        return "Fetch reply: records exceed the reply";
    head->u32RecordsPos = in.pos;
    head->u32RecordsEnd = in.pos + records;
    head->bHasPartition = true;
    return nullptr;
}

} // namespace

const char *fetch_read_head(const uint8_t *reply, uint32_t length, FetchReplyHead *head) {
    *head = FetchReplyHead{};
    head->i32RecordsSize = -1;
    WireReader in{reply, length, 0};
    if (!readI32(in, &head->i32Size) || !readI32(in, &head->i32CorrelID))
        return "Fetch reply too short for its header";
    if (head->i32Size < 0 || static_cast<uint32_t>(head->i32Size) != length - 4)
        return "Fetch reply size disagrees with its length";
    if (!readI32(in, &head->i32ThrottleMs) || !readI16(in, &head->i16ErrorCode) ||
        !readI32(in, &head->i32SessionID) || !readI32(in, &head->i32ResponseCount))
        return "Fetch reply too short";
    head->u32RecordsPos = head->u32RecordsEnd = in.pos;
    if (head->i32ResponseCount <= 0)
        return nullptr;
    int16_t topicLen = 0;
    if (!readI16(in, &topicLen))
        return "Fetch reply: topic truncated";
    uint32_t nameLen = topicLen < 0 ? 0 : static_cast<uint32_t>(topicLen);
    head->pTopic = get_bytes(in, nameLen);
    head->u32TopicLen = nameLen;
    if (!head->pTopic || !readI32(in, &head->i32PartitionCount))
        return "Fetch reply: topic truncated";
    head->u32RecordsPos = head->u32RecordsEnd = in.pos;
    if (head->i32PartitionCount <= 0)
        return nullptr;
    return readPartitionStart(in, head);
}

const char *fetch_read_partition(const uint8_t *reply, uint32_t length, uint32_t position,
                                 FetchReplyHead *head) {
    WireReader in{reply, length, position};
    head->bHasPartition = false;
    return readPartitionStart(in, head);
}

bool fetch_records_next_offset(const uint8_t *reply, uint32_t position, uint32_t end,
                               int64_t *next) {
    // baseOffset, batchLength, partitionLeaderEpoch, magic, crc, attributes
    constexpr uint32_t kLastDeltaAt = 23;
    bool found = false;
    while (position <= end && end - position >= kLastDeltaAt + 4) {
        WireReader in{reply, end, position};
        int64_t base = 0;
        int32_t length = 0;
        readI64(in, &base);
        readI32(in, &length);
        if (length < 0 || static_cast<uint32_t>(length) > left(in) || base < 0)
            break;
        in.pos = position + kLastDeltaAt;
        int32_t lastDelta = 0;
        if (!readI32(in, &lastDelta) || lastDelta < 0 || base > INT64_MAX - 1 - lastDelta)
            break;
        *next = base + lastDelta + 1;
        found = true;
        position += kBatchLogOverhead + static_cast<uint32_t>(length);
    }
    return found;
}

BatchStatus record_batch_read(const uint8_t *reply, uint32_t position, uint32_t end,
                              RecordBatchHead *batch, const char **problem, bool checkCrc) {
    *batch = RecordBatchHead{};
    *problem = nullptr;
    if (position > end || end - position < kBatchLogOverhead)
        return BatchStatus::kEnd;
    WireReader in{reply, end, position};
    batch->u32Start = position;
    readI64(in, &batch->i64BaseOffset);
    readI32(in, &batch->i32BatchLength);
    if (batch->i32BatchLength < 0) {
        *problem = "record batch with a negative length";
        return BatchStatus::kMalformed;
    }
    if (static_cast<uint32_t>(batch->i32BatchLength) > left(in))
        return BatchStatus::kCutOff;
    batch->u32End = in.pos + static_cast<uint32_t>(batch->i32BatchLength);
    in.len = batch->u32End; // nothing of this batch is read beyond its end
    uint64_t magic = 0;
    if (!readI32(in, &batch->i32LeaderEpoch) || !get_be(in, 1, &magic)) {
        *problem = "record batch shorter than its header";
        return BatchStatus::kMalformed;
    }
    batch->i8Magic = static_cast<int8_t>(magic);
    if (batch->i8Magic != 2)
        return BatchStatus::kOldMagic;
    if (batch->i32BatchLength < kBatchMinLength || batch->i64BaseOffset < 0) {
        *problem = "record batch shorter than its header";
        return BatchStatus::kMalformed;
    }
    uint64_t crc = 0;
    get_be(in, 4, &crc);
    batch->u32Crc = static_cast<uint32_t>(crc);
    if (checkCrc && crc32c(0, reply + in.pos, batch->u32End - in.pos) != batch->u32Crc)
        return BatchStatus::kBadCrc;
    readI16(in, &batch->i16Attributes);
    readI32(in, &batch->i32LastOffsetDelta);
    readI64(in, &batch->i64BaseTimestamp);
    readI64(in, &batch->i64MaxTimestamp);
    readI64(in, &batch->i64ProducerID);
    readI16(in, &batch->i16ProducerEpoch);
    readI32(in, &batch->i32BaseSequence);
    readI32(in, &batch->i32RecordCount);
    batch->u32RecordsPos = in.pos;
    if (batch->i32LastOffsetDelta < 0 ||
        batch->i64BaseOffset > INT64_MAX - 1 - batch->i32LastOffsetDelta) {
        *problem = "record batch with an impossible last offset";
        return BatchStatus::kMalformed;
    }
    // Uncompressed records take at least kMinRecordBytes each; compressed
    // ones are checked against what they inflate to.
    bool compressed = (batch->i16Attributes & kBatchCodecMask) != 0;
    if (batch->i32RecordCount < 0 ||
        (!compressed &&
         static_cast<uint32_t>(batch->i32RecordCount) > left(in) / kMinRecordBytes)) {
        *problem = "record count exceeds the batch";
        return BatchStatus::kMalformed;
    }
    return BatchStatus::kOk;
}

const char *record_batch_codec_name(int16_t attributes) {
    static constexpr const char *kNames[] = {"none", "gzip", "snappy", "lz4", "zstd"};
    int codec = attributes & kBatchCodecMask;
    return codec < 5 ? kNames[codec] : "unknown";
}

const char *record_read(const uint8_t *reply, uint32_t position, uint32_t batchEnd,
                        RecordView *record) {
    *record = RecordView{};
    if (position > batchEnd)
        return "record outside its batch";
    WireReader in{reply, batchEnd, position};
    int32_t length = 0;
    if (!readVarint(in, &length) || length < 0 || static_cast<uint32_t>(length) > left(in))
        return "record length exceeds the batch";
    record->u32End = in.pos + static_cast<uint32_t>(length);
    in.len = record->u32End;
    uint64_t attributes = 0;
    if (!get_be(in, 1, &attributes) || !readVarlong(in, &record->i64TimestampDelta) ||
        !readVarint(in, &record->i32OffsetDelta))
        return "record shorter than its fields";
    record->i8Attributes = static_cast<int8_t>(attributes);
    if (record->i32OffsetDelta < 0)
        return "record with a negative offset delta";
    if (!readLengthBytes(in, true, &record->i32KeyLen, &record->pKey) ||
        !readLengthBytes(in, true, &record->i32ValueLen, &record->pValue))
        return "record key or value exceeds the record";
    if (!readVarint(in, &record->i32HeaderCount))
        return "record header count missing";
    if (const char *problem = readHeaders(in, record->i32HeaderCount))
        return problem;
    if (in.pos != record->u32End)
        return "record length disagrees with its contents";
    return nullptr;
}

int32_t control_record_type(const RecordView &record) {
    if (!record.pKey || record.i32KeyLen < 4)
        return -1;
    return (record.pKey[2] << 8) | record.pKey[3];
}

namespace {

int64_t entryField(const uint8_t *at) {
    int64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = static_cast<int64_t>((static_cast<uint64_t>(value) << 8) | at[i]);
    return value;
}

} // namespace

bool aborted_txn_open(const uint8_t *reply, uint32_t abortedPos, uint32_t abortedCount,
                      int64_t producerID, int64_t lastOffset) {
    if (producerID < 0) // closed entries carry -1
        return false;
    for (uint32_t i = 0; i < abortedCount; ++i) {
        const uint8_t *entry = reply + abortedPos + i * kAbortedEntryBytes;
        if (entryField(entry) == producerID && entryField(entry + 8) <= lastOffset)
            return true;
    }
    return false;
}

void aborted_txn_close(uint8_t *reply, uint32_t abortedPos, uint32_t abortedCount,
                       int64_t producerID, int64_t markerOffset) {
    for (uint32_t i = 0; i < abortedCount; ++i) {
        uint8_t *entry = reply + abortedPos + i * kAbortedEntryBytes;
        if (entryField(entry) == producerID && entryField(entry + 8) <= markerOffset)
            for (int b = 0; b < 8; ++b)
                entry[b] = 0xFF;
    }
}
