// Produce (key 0, version 7): one record batch of format version 2 holding
// one record, sent to the leader of the partition that the key's hash (or,
// without a key, the round-robin cursor) chooses.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "codec/conv.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/produce_failover.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"

int64_t (*gpfnProduceClock)() = getTimeStamp;

namespace {

constexpr int32_t kProduceKey = 0;
constexpr int32_t kProduceVersion = 7;
constexpr int32_t kProduceTimeoutMs = 1500;
constexpr int32_t kRecordBatchMagic = 2;
constexpr const char *kTag = "Produce";
constexpr uint64_t kMaxRequestBytes = 0x7FFFFFFF; // positions are signed 32-bit
// A character of a local code page takes at most 4 bytes in UTF-8.
constexpr uint32_t kKeyUtf8Size = 4 * kMaxKeyLen;

// Request bytes around the topic name and the record: the produce header
// with its null transactional id (22 + the topic) and the record batch up
// to the record's length varint (4 + 61: records size and batch header).
constexpr uint64_t kTopicSectionBytes = 22;
constexpr uint64_t kBatchHeaderBytes = 65;
// Record bytes beside key, value and their length varints: attributes,
// timestampDelta, offsetDelta and the header count.
constexpr int64_t kRecordFixedBytes = 4;

// The message value as sent; `owned` is the conversion buffer, if any.
struct ProduceValue {
    const char *data;
    uint32_t length;
    char *owned;
};

// The message key as sent, already in UTF-8.
struct ProduceKey {
    char bytes[kKeyUtf8Size];
    uint32_t length;
};

int32_t checkTables(PCB *pcb) {
    if (pcb->u32BrokerCount == 0 || !pcb->pBrokerList) {
        bqx_log_vf(ERR_NO_BROKERLIST, pcb, kTag, -1, -1, 1, "");
        return ERR_NO_BROKERLIST;
    }
    if (pcb->u32PartitionCount == 0 || !pcb->pPartitionList) {
        bqx_log_vf(ERR_NO_PARTITIONLIST, pcb, kTag, -1, -1, 1, "");
        return ERR_NO_PARTITIONLIST;
    }
    return 0;
}

int32_t noMemory(PCB *pcb, const char *what) {
    bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, what);
    return ERR_MEMORY;
}

// Converts the value to UTF-8. A buffer of 2L bytes holds nearly every
// text; a text that grows more is measured first and given exactly the room
// it needs, up to 6L. Growing is not an error, so nothing is logged for it;
// a text that needs more than 6L fails with 7542. Input the converter
// rejects goes through iconv_convert, which logs and returns 7544 or 7539.
int32_t convertValue(PCB *pcb, const char *message, uint32_t length, ProduceValue *value) {
    *value = {message, length, nullptr};
    if (!pcb->u32Convert || length == 0)
        return 0;
    if (6ull * length > kMaxRequestBytes)
        return noMemory(pcb, "Conversion Temp Buffer");
    uint64_t capacity = 2ull * length;
    char *buffer = static_cast<char *>(malloc(capacity));
    if (!buffer)
        return noMemory(pcb, "Conversion Temp Buffer");
    uint32_t produced = 0;
    int error = conv_quiet(pcb, kToUtf8, message, length, buffer, static_cast<uint32_t>(capacity),
                           &produced);
    if (error == E2BIG) {
        uint64_t needed = conv_measure(pcb, kToUtf8, message, length);
        if (needed > 6ull * length) {
            free(buffer);
            bqx_log_vf(ERR_CONVERSION_SIZE, pcb, kTag, -1, -1, 1, "");
            return ERR_CONVERSION_SIZE;
        }
        capacity = needed;
        char *larger = static_cast<char *>(realloc(buffer, capacity));
        if (!larger) {
            free(buffer);
            return noMemory(pcb, "Conversion Temp Buffer");
        }
        buffer = larger;
        error = conv_quiet(pcb, kToUtf8, message, length, buffer, static_cast<uint32_t>(capacity),
                           &produced);
    }
    if (error != 0) {
        produced = static_cast<uint32_t>(capacity);
        uint32_t convertError = 0;
        int32_t rc = iconv_convert(pcb, message, length, buffer, &produced, &convertError, kToUtf8);
        if (rc != 0) {
            free(buffer);
            return rc;
        }
    }
    *value = {buffer, produced, buffer};
    return 0;
}

// The key is converted before the record is built so that the record
// length counts the bytes that are actually sent. Unconvertible bytes go
// out unchanged (the converter has logged them).
int32_t convertKey(PCB *pcb, uint32_t keyLen, ProduceKey *key) {
    key->length = 0;
    if (keyLen == 0)
        return 0;
    uint32_t produced = sizeof key->bytes, error = 0;
    int32_t rc = iconv_convert(pcb, pcb->szMsgKey, keyLen, key->bytes, &produced, &error, kToUtf8);
    if (rc != 0 && rc != ERR_CONVERT)
        return rc;
    key->length = produced;
    return 0;
}

// Bytes of `value` as a zigzag varint, learnt by encoding it.
int64_t varintSize(PCB *pcb, int64_t value) {
    uint8_t scratch[16];
    return kafka_marshall_new(pcb, scratch, sizeof scratch, 0, "vi", value);
}

// Bytes of the record behind its length varint.
int64_t recordLength(PCB *pcb, const ProduceKey &key, const ProduceValue &value) {
    int64_t keyField = key.length ? static_cast<int64_t>(key.length) : -1;
    int64_t valueField = value.length ? static_cast<int64_t>(value.length) : -1;
    return kRecordFixedBytes + key.length + value.length + varintSize(pcb, keyField) +
           varintSize(pcb, valueField);
}

// Room for the whole request. The converted client id and topic name are
// given twice their local length, as much as their conversion may produce.
uint64_t requestSize(PCB *pcb, int64_t recordBytes) {
    uint64_t topicLen = pcb->pszTopic ? strlen(pcb->pszTopic) : 0;
    uint64_t header = 14 + 2 * strlen(gpszClientID);
    return header + kTopicSectionBytes + 2 * topicLen + kBatchHeaderBytes +
           static_cast<uint64_t>(varintSize(pcb, recordBytes)) +
           static_cast<uint64_t>(recordBytes);
}

void pickKeyedPartition(PCB *pcb, uint32_t keyLen) {
    uint32_t partition = djb_hash(pcb->szMsgKey, keyLen) % pcb->u32PartitionCount;
    uint32_t index = 0;
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i) {
        if (pcb->pPartitionList[i].i32Partition == static_cast<int32_t>(partition)) {
            index = i;
            break;
        }
    }
    pcb->u32PartitionListIdx = index;
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_KEYHASH, pcb, kTag, -1, -1, 2, pcb->szMsgKey,
                   pcb->pPartitionList[index].i32Partition);
}

void dumpTables(PCB *pcb, int32_t partition) {
    hexdump(pcb, kTag, -1, partition, "BrokerList", pcb->pBrokerList,
            static_cast<int32_t>(pcb->u32BrokerCount * sizeof(BrokerEntry)));
    hexdump(pcb, kTag, -1, partition, "PartitionList", pcb->pPartitionList,
            static_cast<int32_t>(pcb->u32PartitionCount * sizeof(PartitionEntry)));
}

// Makes sure that the entry's leader is connected. Returns 0 or the error.
int32_t connectLeader(PCB *pcb, const PartitionEntry &entry) {
    const char *topic = pcb->pszTopic ? pcb->pszTopic : "";
    if (entry.i32Leader == -1) {
        bqx_log_vf(ERR_NO_LEADER, pcb, kTag, -1, entry.i32Partition, 2, entry.i32Partition,
                   topic);
        return ERR_NO_LEADER;
    }
    if (entry.i32BrokerIdx < 0 ||
        static_cast<uint32_t>(entry.i32BrokerIdx) >= pcb->u32BrokerCount) {
        bqx_log_vf(ERR_NO_BROKER_FOR_LEADER, pcb, kTag, -1, entry.i32Partition, 3,
                   entry.i32Leader, entry.i32Partition, topic);
        if (pcb->iDebugLevel > 4)
            dumpTables(pcb, entry.i32Partition);
        return ERR_NO_BROKER_FOR_LEADER;
    }
    uint32_t brokerIndex = static_cast<uint32_t>(entry.i32BrokerIdx);
    const BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    const char *host = broker.pszHost ? broker.pszHost : "";
    if (pcb->iDebugLevel > 2)
        bqx_log_vf(INF_TOPIC_BROKER, pcb, kTag, entry.i32Leader, entry.i32Partition, 3, topic,
                   host, broker.i32Port);
    if (broker.i32Socket != -1)
        return 0;
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_CONNECT_BROKER, pcb, kTag, entry.i32Leader, entry.i32Partition, 2, host,
                   broker.i32Port);
    return kafka_connect(pcb, brokerIndex);
}

// Walks the partition list from the cursor to the first entry whose leader
// is connected. A keyed message never goes to another partition than its
// own; without a key every entry is tried once.
int32_t chooseEntry(PCB *pcb, uint32_t keyLen, uint32_t *chosen) {
    int32_t error = 0;
    for (uint32_t tried = 0; tried < pcb->u32PartitionCount;) {
        if (pcb->u32PartitionListIdx >= pcb->u32PartitionCount)
            pcb->u32PartitionListIdx = 0;
        *chosen = pcb->u32PartitionListIdx++;
        error = connectLeader(pcb, pcb->pPartitionList[*chosen]);
        ++tried;
        if (error == 0)
            break;
        // No leader, or one that cannot be reached: ask where it went
        // before the next message.
        pcb->u32MetadataStale = 1;
        if (keyLen > 0)
            break;
    }
    if (error == 0)
        return 0;
    bqx_log_vf(ERR_NO_BROKER_CONNECTED, pcb, kTag, -1, -1, 1,
               pcb->pszTopic ? pcb->pszTopic : "");
    return ERR_NO_BROKER_CONNECTED;
}

// Where the placeholders of the request are, for filling them in last.
struct BatchHoles {
    int32_t recordsSize;
    int32_t batchLength;
    int32_t crc;
};

int32_t marshalBatch(PCB *pcb, uint8_t *buffer, uint32_t size, int32_t position,
                     const ProduceKey &key, const ProduceValue &value, int64_t recordBytes,
                     BatchHoles *holes) {
    int64_t now = gpfnProduceClock();
    holes->recordsSize = position;
    position = kafka_marshall_new(pcb, buffer, size, position, "i4i8", 0, int64_t{0});
    holes->batchLength = position;
    position = kafka_marshall_new(pcb, buffer, size, position, "i4i4i1", 0, 0, kRecordBatchMagic);
    holes->crc = position;
    position = kafka_marshall_new(pcb, buffer, size, position, "i4i2i4", 0, 0, 0);
    position = kafka_marshall_new(pcb, buffer, size, position, "i8i8i8i2i4i4", now, now,
                                  int64_t{-1}, -1, -1, 1);
    position = kafka_marshall_new(pcb, buffer, size, position, "vii1", recordBytes, 0);
    return kafka_marshall_new(pcb, buffer, size, position, "vivivsvsi1", int64_t{0}, int64_t{0},
                              key.length ? key.bytes : nullptr, static_cast<int32_t>(key.length),
                              0, value.length ? value.data : nullptr,
                              static_cast<int32_t>(value.length), 0, 0);
}

// The lengths and the CRC-32C (attributes to the end) once the batch is
// complete.
void fillHoles(PCB *pcb, uint8_t *buffer, uint32_t size, int32_t end, const BatchHoles &holes) {
    int32_t crcStart = holes.crc + 4;
    uint32_t crc = crc32c(0, buffer + crcStart, static_cast<uint64_t>(end - crcStart));
    kafka_marshall_new(pcb, buffer, size, holes.batchLength, "i4", end - holes.batchLength - 4);
    kafka_marshall_new(pcb, buffer, size, holes.recordsSize, "i4", end - holes.recordsSize - 4);
    kafka_marshall_new(pcb, buffer, size, holes.crc, "i4", static_cast<int32_t>(crc));
}

// Builds the request for the chosen entry; *length receives its size.
int32_t marshalProduce(PCB *pcb, const PartitionEntry &entry, uint8_t *buffer, uint32_t size,
                       const ProduceKey &key, const ProduceValue &value, int64_t recordBytes,
                       int32_t *length) {
    int32_t position = kafka_marshall_ReqHdr(pcb, static_cast<uint32_t>(entry.i32BrokerIdx),
                                             buffer, size, kProduceKey, kProduceVersion);
    if (position < 1) {
        bqx_log_vf(ERR_REQUEST_HEADER, pcb, kTag, entry.i32Leader, entry.i32Partition, 1, "");
        return ERR_REQUEST_HEADER;
    }
    const char *topic = pcb->pszTopic ? pcb->pszTopic : "";
    position = kafka_marshall_new(pcb, buffer, size, position, "i2i2i4i4nsi4i4", -1,
                                  static_cast<int32_t>(pcb->i16Acks), kProduceTimeoutMs, 1, topic,
                                  1, 1, entry.i32Partition);
    BatchHoles holes{};
    position = marshalBatch(pcb, buffer, size, position, key, value, recordBytes, &holes);
    if (position < 0)
        return kafka_marshall_failure(position);
    fillHoles(pcb, buffer, size, position, holes);
    *length = position;
    return 0;
}

int32_t sendProduce(PCB *pcb, uint32_t chosen, uint8_t *buffer, uint32_t size,
                    const ProduceKey &key, const ProduceValue &value, int64_t recordBytes) {
    const PartitionEntry &entry = pcb->pPartitionList[chosen];
    if (pcb->iDebugLevel > 2)
        bqx_log_vf(INF_PARTITION_IDX, pcb, kTag, entry.i32Leader, entry.i32Partition, 3,
                   static_cast<int32_t>(chosen), entry.i32Partition, entry.i32Leader);
    int64_t started = pcb->iDebugLevel != 0 ? getTimeStamp() : 0;
    int32_t length = 0;
    int32_t rc = marshalProduce(pcb, entry, buffer, size, key, value, recordBytes, &length);
    if (rc != 0)
        return rc;
    if (pcb->iDebugLevel != 0)
        pcb->ullMarshallTime += static_cast<uint64_t>(getTimeStamp() - started);
    return kafka_sendqueue(pcb, static_cast<uint32_t>(entry.i32BrokerIdx), buffer,
                           static_cast<uint32_t>(length), SEND_WINDOW);
}

// Converts the message and the key and allocates the request buffer.
int32_t prepareRecord(PCB *pcb, const char *message, uint32_t messageLen, uint32_t keyLen,
                      ProduceValue *value, ProduceKey *key, int64_t *recordBytes,
                      uint8_t **buffer, uint64_t *size) {
    int32_t rc = convertValue(pcb, message, messageLen, value);
    if (rc == 0)
        rc = convertKey(pcb, keyLen, key);
    if (rc != 0)
        return rc;
    *recordBytes = recordLength(pcb, *key, *value);
    *size = requestSize(pcb, *recordBytes);
    // Not zeroed here: the request header builder clears the whole buffer.
    *buffer = *size <= kMaxRequestBytes ? static_cast<uint8_t *>(malloc(*size)) : nullptr;
    return *buffer ? 0 : noMemory(pcb, "pBuff");
}

// Picks the partition (the key's own, else the next by the cursor),
// connects its leader and sends the record.
int32_t sendToLeader(PCB *pcb, uint32_t keyLen, uint8_t *buffer, uint64_t size,
                     const ProduceKey &key, const ProduceValue &value, int64_t recordBytes) {
    if (keyLen > 0)
        pickKeyedPartition(pcb, keyLen);
    uint32_t chosen = 0;
    int32_t rc = chooseEntry(pcb, keyLen, &chosen);
    if (rc != 0)
        return rc;
    pcb->i16ProduceLeaderError = 0;
    return sendProduce(pcb, chosen, buffer, static_cast<uint32_t>(size), key, value,
                       recordBytes);
}

} // namespace

int32_t kafka_produce(PCB *pcb, const char *message, uint32_t messageLen) {
    uint32_t keyLen = static_cast<uint32_t>(strnlen(pcb->szMsgKey, sizeof pcb->szMsgKey));
    int32_t rc = checkTables(pcb);
    if (rc == 0)
        rc = kafka_produce_refresh(pcb);
    if (rc == 0)
        rc = checkTables(pcb);
    if (rc != 0)
        return rc;
    ProduceValue value{};
    ProduceKey key{};
    int64_t recordBytes = 0;
    uint8_t *buffer = nullptr;
    uint64_t size = 0;
    rc = prepareRecord(pcb, message, messageLen, keyLen, &value, &key, &recordBytes, &buffer,
                       &size);
    if (rc == 0)
        rc = sendToLeader(pcb, keyLen, buffer, size, key, value, recordBytes);
    // A leader that refused the record did not write it: once more, to the
    // leader that fresh Metadata names. A record whose connection was lost
    // before its reply may have been written and is never sent again.
    if (kafka_produce_resend_due(pcb, rc)) {
        rc = kafka_produce_refresh(pcb);
        if (rc == 0)
            rc = checkTables(pcb);
        if (rc == 0)
            rc = sendToLeader(pcb, keyLen, buffer, size, key, value, recordBytes);
    }
    pcb->i16ProduceLeaderError = 0;
    free(buffer);
    free(value.owned);
    return rc;
}

namespace {

constexpr const char *kReplyTag = "ProducRy";
// One Produce request carries one message, so one reply settles one.
constexpr uint32_t kMessagesPerReply = 1;
// Where a record batch keeps its record count, from its baseOffset on.
constexpr uint64_t kBatchRecordCountAt = 57;
constexpr uint64_t kBatchFramingBytes = 12; // baseOffset and batchLength

// The partition reported for a reply: the first entry led by the replying
// broker, or -1 when the broker leads none of them.
int32_t replyPartition(const PCB *pcb, uint32_t brokerIndex) {
    for (uint32_t i = 0; pcb->pPartitionList && i < pcb->u32PartitionCount; ++i)
        if (pcb->pPartitionList[i].i32BrokerIdx == static_cast<int32_t>(brokerIndex))
            return pcb->pPartitionList[i].i32Partition;
    return -1;
}

// Checks the partition part that follows the topic name.
int32_t checkPartitionResult(PCB *pcb, int32_t broker, const uint8_t *reply, uint32_t replyLen,
                             int32_t position) {
    int32_t partitions = 0, partition = 0, rest = 0;
    int16_t errorCode = 0;
    int64_t baseOffset = 0;
    position = kafka_unmarshall_new(pcb, reply, replyLen, position, "i4i4i2i8i4", &partitions,
                                    &partition, &errorCode, &baseOffset, &rest);
    if (position < 0)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "Produce reply: partition truncated");
    if (errorCode == 0)
        return 0;
    bqx_log_vf(ERR_KAFKA, pcb, kReplyTag, broker, partition, 2, static_cast<int>(errorCode),
               getErrorText(errorCode));
    kafka_produce_leader_error(pcb, errorCode);
    return ERR_KAFKA;
}

// The 32-bit responses count is read as two halves; a non-zero upper half is
// reported as the reply's error.
int32_t checkReply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply, uint32_t replyLen) {
    int32_t size = 0, correlationId = 0;
    uint16_t responsesHigh = 0, responsesLow = 0, nameLen = 0;
    int32_t broker = kafka_broker_id(pcb, brokerIndex);
    int32_t position = kafka_unmarshall_new(pcb, reply, replyLen, 0, "i4i4i2i2i2", &size,
                                            &correlationId, &responsesHigh, &responsesLow,
                                            &nameLen);
    if (position < 0)
        return kafka_reply_malformed(pcb, kReplyTag, broker, "Produce reply too short");
    int32_t partition = replyPartition(pcb, brokerIndex);
    uint32_t msgNum = responsesHigh != 0 ? ERR_PRODUCE_REPLY : INF_PRODUCE_REPLY;
    if (responsesHigh != 0 || pcb->iDebugLevel >= 2)
        bqx_log_vf(msgNum, pcb, kReplyTag, broker, -1, 5, correlationId, partition,
                   static_cast<int>(responsesLow), static_cast<int>(responsesHigh),
                   getErrorText(responsesHigh));
    if (responsesHigh != 0)
        return ERR_PRODUCE_REPLY;
    // The topic name is not needed: step over it (a null name has no bytes).
    uint32_t nameBytes = nameLen == 0xFFFF ? 0 : nameLen;
    if (nameBytes > replyLen - static_cast<uint32_t>(position))
        return kafka_reply_malformed(pcb, kReplyTag, broker, "Produce reply: topic truncated");
    return checkPartitionResult(pcb, broker, reply, replyLen,
                                position + static_cast<int32_t>(nameBytes));
}

// Big-endian reads of a request copy that never pass its end; a read
// beyond it marks the reader failed and yields 0.
struct RequestReader {
    const uint8_t *bytes;
    uint64_t length;
    uint64_t position;
    bool failed;

    int64_t take(uint32_t width) {
        if (failed || position + width > length) {
            failed = true;
            return 0;
        }
        uint64_t value = 0;
        for (uint32_t i = 0; i < width; ++i)
            value = (value << 8) | bytes[position++];
        return width == 2 ? int16_t(value) : width == 4 ? int32_t(value) : int64_t(value);
    }
    void skipString() {
        int64_t length16 = take(2);
        position += length16 > 0 ? static_cast<uint64_t>(length16) : 0;
    }
};

// Records of the batches in one partition's record set of `size` bytes.
uint64_t recordSetMessages(RequestReader &reader, int64_t size) {
    uint64_t end = reader.position + static_cast<uint64_t>(size > 0 ? size : 0);
    uint64_t messages = 0;
    while (!reader.failed && reader.position + kBatchRecordCountAt + 4 <= end) {
        uint64_t batch = reader.position;
        reader.position = batch + 8;
        int64_t batchLength = reader.take(4);
        reader.position = batch + kBatchRecordCountAt;
        int64_t records = reader.take(4);
        messages += records > 0 ? static_cast<uint64_t>(records) : 0;
        if (batchLength <= 0)
            break;
        reader.position = batch + kBatchFramingBytes + static_cast<uint64_t>(batchLength);
    }
    reader.position = end;
    return messages;
}

// Messages in a Produce request (version 7, request header version 1),
// counted from the record counts of its batches.
uint64_t requestMessages(const uint8_t *request, uint32_t length) {
    RequestReader reader{request, length, 12, false}; // size, key, version, correlation id
    reader.skipString();                              // client id
    reader.skipString();                              // transactional id
    reader.position += 6;                             // acks, timeout
    uint64_t messages = 0;
    for (int64_t topics = reader.take(4); topics > 0 && !reader.failed; --topics) {
        reader.skipString();
        for (int64_t parts = reader.take(4); parts > 0 && !reader.failed; --parts) {
            reader.take(4); // partition index
            int64_t size = reader.take(4);
            messages += recordSetMessages(reader, size);
        }
    }
    return messages;
}

} // namespace

// A failed reply fails its messages. In synch mode 1 the error also goes
// back through the wait to the BQXPROD that awaits it. In pipelined mode
// that call returned long ago: the failure waits for the next synch point,
// and the wait that happened to take the reply in (another message's send
// window, a consume call) goes on undisturbed.
int32_t kafka_produce_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                            uint32_t replyLen) {
    int32_t result = checkReply(pcb, brokerIndex, reply, replyLen);
    if (result == 0) {
        pcb->ullMsgsProduced += kMessagesPerReply;
        return 0;
    }
    kafka_produce_failed(pcb, kMessagesPerReply, result);
    return pcb->u32Synchronous ? result : 0;
}

void kafka_produce_failed(PCB *pcb, uint64_t messages, int32_t error) {
    if (messages == 0)
        return;
    if (pcb->ullProduceFailed == 0)
        pcb->i32ProduceFirstError = error;
    pcb->ullProduceFailed += messages;
}

void kafka_produce_dropped(PCB *pcb, const uint8_t *request, uint32_t length) {
    RequestReader header{request, length, 4, false}; // behind the size field
    int64_t apiKey = header.take(2);
    if (header.failed || apiKey != kProduceKey)
        return;
    // A Produce request holds at least one message, even one that cannot be read.
    uint64_t messages = requestMessages(request, length);
    kafka_produce_failed(pcb, messages ? messages : 1, WRN_NO_REPLY);
}

// Only in synch mode 1 does BQXPROD wait for replies until the first
// failure, and return that failure: a message that it recorded has been
// reported by the call's own result.
void kafka_produce_reported(PCB *pcb, uint64_t failedBefore, int32_t result) {
    if (!pcb->u32Synchronous || result == 0 || pcb->ullProduceFailed <= failedBefore)
        return;
    if (--pcb->ullProduceFailed == 0)
        pcb->i32ProduceFirstError = 0;
}

int32_t kafka_produce_synchpoint(PCB *pcb, const char *caller) {
    if (pcb->ullProduceFailed == 0)
        return 0;
    int32_t first = pcb->i32ProduceFirstError;
    bqx_log_vf(WRN_PRODUCE_FAILED, pcb, caller, -1, -1, 2,
               static_cast<long long>(pcb->ullProduceFailed), static_cast<int>(first));
    pcb->ullProduceFailed = 0;
    pcb->i32ProduceFirstError = 0;
    return first;
}
