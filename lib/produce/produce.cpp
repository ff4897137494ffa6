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
#include "produce/produce_failover.h"
#include "produce/produce_idem.h"
#include "produce/produce_internal.h"
#include "protocol/protocol.h"
#include "protocol/protocol_internal.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

int64_t (*gpfnProduceClock)() = getTimeStamp;

namespace {

constexpr int32_t kProduceKey = 0;
constexpr int32_t kProduceVersion = 7;
constexpr int32_t kProduceTimeoutMs = 1500;
constexpr int32_t kRecordBatchMagic = 2;
constexpr const char *kTag = "Produce";
constexpr uint64_t kMaxRequestBytes = 0x7FFFFFFF; // positions are signed 32-bit

// Request bytes around the topic name and the record: the produce header
// with its null transactional id (22 + the topic) and the record batch up
// to the record's length varint (4 + 61: records size and batch header).
constexpr uint64_t kTopicSectionBytes = 22;
constexpr uint64_t kBatchHeaderBytes = 65;
// Record bytes beside key, value and their length varints: attributes,
// timestampDelta, offsetDelta and the header count.
constexpr int64_t kRecordFixedBytes = 4;

} // namespace

int32_t produce_no_memory(PCB *pcb, const char *what) {
    bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, what);
    return ERR_MEMORY;
}

int32_t produce_check_tables(PCB *pcb) {
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

int32_t produce_ready_tables(PCB *pcb) {
    int32_t rc = produce_check_tables(pcb);
    if (rc == 0) {
        kafka_meta_check_age(pcb);
        rc = kafka_produce_refresh(pcb);
    }
    return rc == 0 ? produce_check_tables(pcb) : rc;
}


// Converts the value to UTF-8. A buffer of 2L bytes holds nearly every
// text; a text that grows more is measured first and given exactly the room
// it needs, up to 6L. Growing is not an error, so nothing is logged for it;
// a text that needs more than 6L fails with 7542. Input the converter
// rejects goes through iconv_convert, which logs and returns 7544 or 7539.
int32_t produce_convert_value(PCB *pcb, const char *message, uint32_t length, ProduceValue *value) {
    *value = {message, length, nullptr};
    if (!pcb->u32Convert || length == 0)
        return 0;
    if (6ull * length > kMaxRequestBytes)
        return produce_no_memory(pcb, "Conversion Temp Buffer");
    uint64_t capacity = 2ull * length;
    char *buffer = static_cast<char *>(malloc(capacity));
    if (!buffer)
        return produce_no_memory(pcb, "Conversion Temp Buffer");
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
            return produce_no_memory(pcb, "Conversion Temp Buffer");
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
int32_t produce_convert_key(PCB *pcb, uint32_t keyLen, ProduceKey *key) {
    key->length = 0;
    if (keyLen == 0)
        return 0;
    uint32_t produced = sizeof key->bytes, error = 0;
    const char *source =
        pcb->u32Partitioner == kPartitionerMurmur2 ? pcb->pWholeKey : pcb->szMsgKey;
    int32_t rc = iconv_convert(pcb, source, keyLen, key->bytes, &produced, &error, kToUtf8);
    if (rc != 0 && rc != ERR_CONVERT)
        return rc;
    key->length = produced;
    // The Java client hashes the key's serialised bytes: those sent.
    pcb->u32KeyMurmur2 = murmur2_hash(key->bytes, key->length);
    return 0;
}

uint32_t produce_key_length(const PCB *pcb) {
    if (pcb->u32Partitioner == kPartitionerMurmur2)
        return pcb->pWholeKey ? pcb->u32WholeKeyLen : 0;
    return static_cast<uint32_t>(strnlen(pcb->szMsgKey, sizeof pcb->szMsgKey));
}

namespace {

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
    uint64_t header = 14 + 2 * strlen(bqx_client_id(pcb));
    return header + kTopicSectionBytes + 2 * topicLen + kBatchHeaderBytes +
           static_cast<uint64_t>(varintSize(pcb, recordBytes)) +
           static_cast<uint64_t>(recordBytes);
}

void pickKeyedPartition(PCB *pcb, uint32_t keyLen) {
    uint32_t hash = pcb->u32Partitioner == kPartitionerMurmur2 ? pcb->u32KeyMurmur2 & 0x7FFFFFFF
                                                               : djb_hash(pcb->szMsgKey, keyLen);
    uint32_t partition = hash % pcb->u32PartitionCount;
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
// `quiet`: nothing is logged, and a broker in its connect back-off is not
// tried.
int32_t connectLeader(PCB *pcb, const PartitionEntry &entry, bool quiet) {
    const char *topic = pcb->pszTopic ? pcb->pszTopic : "";
    if (quiet && (entry.i32Leader == -1 || entry.i32BrokerIdx < 0 ||
                  static_cast<uint32_t>(entry.i32BrokerIdx) >= pcb->u32BrokerCount))
        return ERR_NO_LEADER;
    if (quiet)
        return produce_idem_reachable(pcb, entry.i32BrokerIdx) ? 0
                                                               : int32_t{ERR_NO_BROKER_CONNECTED};
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
int32_t chooseEntry(PCB *pcb, uint32_t keyLen, uint32_t *chosen, bool waitForLeader) {
    int32_t error = 0;
    uint32_t first =
        pcb->u32PartitionListIdx < pcb->u32PartitionCount ? pcb->u32PartitionListIdx : 0;
    for (uint32_t tried = 0; tried < pcb->u32PartitionCount;) {
        if (pcb->u32PartitionListIdx >= pcb->u32PartitionCount)
            pcb->u32PartitionListIdx = 0;
        *chosen = pcb->u32PartitionListIdx++;
        error = connectLeader(pcb, pcb->pPartitionList[*chosen], waitForLeader);
        ++tried;
        if (error == 0)
            break;
        if (error == ERR_HANDLE)
            return error; // the session was closed or reconnected meanwhile
        // No leader, or one that cannot be reached: ask where it went
        // before the next message.
        pcb->u32MetadataStale = 1;
        if (keyLen > 0)
            break;
    }
    if (error == 0)
        return 0;
    if (waitForLeader) {
        // The message waits in its partition for a leader.
        *chosen = keyLen > 0 ? *chosen : first;
        return 0;
    }
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
    int32_t rc = produce_convert_value(pcb, message, messageLen, value);
    if (rc == 0)
        rc = produce_convert_key(pcb, keyLen, key);
    if (rc != 0)
        return rc;
    *recordBytes = recordLength(pcb, *key, *value);
    *size = requestSize(pcb, *recordBytes);
    // Not zeroed here: the request header builder clears the whole buffer.
    *buffer = *size <= kMaxRequestBytes ? static_cast<uint8_t *>(malloc(*size)) : nullptr;
    return *buffer ? 0 : produce_no_memory(pcb, "pBuff");
}

// Picks the partition (the key's own, else the next by the cursor),
// connects its leader and sends the record.
int32_t sendToLeader(PCB *pcb, uint32_t keyLen, uint8_t *buffer, uint64_t size,
                     const ProduceKey &key, const ProduceValue &value, int64_t recordBytes) {
    uint32_t chosen = 0;
    int32_t rc = produce_choose_partition(pcb, keyLen, &chosen);
    if (rc != 0)
        return rc;
    pcb->i16ProduceLeaderError = 0;
    return sendProduce(pcb, chosen, buffer, static_cast<uint32_t>(size), key, value,
                       recordBytes);
}

} // namespace

int32_t produce_choose_partition(PCB *pcb, uint32_t keyLen, uint32_t *chosen, bool waitForLeader) {
    if (keyLen > 0)
        pickKeyedPartition(pcb, keyLen);
    return chooseEntry(pcb, keyLen, chosen, waitForLeader);
}

int32_t kafka_produce(PCB *pcb, const char *message, uint32_t messageLen) {
    uint32_t keyLen = produce_key_length(pcb);
    int32_t rc = produce_ready_tables(pcb);
    if (rc == 0)
        rc = produce_idem_begin(pcb);
    if (rc != 0)
        return rc;
    if (produce_idem_on(pcb))
        return kafka_produce_idem_one(pcb, message, messageLen);
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
            rc = produce_check_tables(pcb);
        if (rc == 0)
            rc = sendToLeader(pcb, keyLen, buffer, size, key, value, recordBytes);
    }
    pcb->i16ProduceLeaderError = 0;
    free(buffer);
    free(value.owned);
    return rc;
}
