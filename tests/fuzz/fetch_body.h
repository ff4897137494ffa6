// The body shared by the Fetch reply fuzz drivers (the seeded one and the
// coverage-guided one): a session whose first partition awaits a Fetch
// reply, the pure reader walked over a reply, and a reply handed to the
// decoder and read until nothing more comes, with the decoder's promises
// checked: the caller's buffer is written only within capacity + 1, a reply
// that yields no record is released, offsets never move back, and the pure
// reader stays inside the bytes it is given. Memory errors are left to the
// sanitizers.
#ifndef BQX_TESTS_FUZZ_FETCH_BODY_H
#define BQX_TESTS_FUZZ_FETCH_BODY_H

#include <iconv.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "api/pcb.h"
#include "codec/codec.h"
#include "fuzz/fuzz_support.h"
#include "protocol/consumer.h"
#include "consume/fetch_reply.h"
#include "consume/record_batch.h"

namespace bqxfuzz {

struct FetchCounts {
    unsigned long fetches, commits, partitionErrors;
};
inline FetchCounts gFetchCounts;

inline int32_t countFetch(PCB *, const char *, uint32_t) { return ++gFetchCounts.fetches, 0; }
inline int32_t countCommit(PCB *) { return ++gFetchCounts.commits, 0; }
inline void countPartitionError(PCB *, uint32_t, int16_t) { ++gFetchCounts.partitionErrors; }

// The pure reader over the whole reply: every position stays in bounds and
// moves forward.
inline bool walkPure(const Bytes &reply) {
    FetchReplyHead head;
    uint32_t len = static_cast<uint32_t>(reply.size());
    if (fetch_read_head(reply.data(), len, &head))
        return true;
    if (head.u32RecordsEnd > len || head.u32RecordsPos > head.u32RecordsEnd ||
        head.u32AbortedPos + head.u32AbortedCount * kAbortedEntryBytes > len)
        return false;
    for (uint32_t pos = head.u32RecordsPos;;) {
        RecordBatchHead batch;
        const char *problem = nullptr;
        if (record_batch_read(reply.data(), pos, head.u32RecordsEnd, &batch, &problem) !=
            BatchStatus::kOk)
            return true;
        if (batch.u32End <= pos || batch.u32End > head.u32RecordsEnd)
            return false;
        uint32_t at = batch.u32RecordsPos;
        for (int32_t r = 0; r < batch.i32RecordCount && !(batch.i16Attributes & kBatchCodecMask); ++r) {
            RecordView record;
            if (record_read(reply.data(), at, batch.u32End, &record))
                break;
            if (record.u32End <= at || record.u32End > batch.u32End)
                return false;
            at = record.u32End;
        }
        pos = batch.u32End;
    }
}

// Recomputes the CRC-32C of every batch of the reply that its batchLength
// keeps inside the records, so that damage behind a batch header reaches
// the record reader and the codecs instead of ending at the CRC check.
inline void resealBatches(Bytes &reply) {
    FetchReplyHead head;
    if (fetch_read_head(reply.data(), static_cast<uint32_t>(reply.size()), &head) ||
        head.u32RecordsEnd > reply.size() || head.u32RecordsPos > head.u32RecordsEnd)
        return;
    constexpr uint32_t kCrcAt = 17, kCoveredFrom = 21; // from baseOffset
    for (uint32_t pos = head.u32RecordsPos; head.u32RecordsEnd - pos >= kBatchHeaderBytes;) {
        const uint8_t *p = &reply[pos + 8];
        uint32_t length = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        if (length < kCoveredFrom - kBatchLogOverhead || length > head.u32RecordsEnd - pos - kBatchLogOverhead)
            return;
        uint32_t end = pos + kBatchLogOverhead + length;
        uint32_t crc = crc32c(0, &reply[pos + kCoveredFrom], end - pos - kCoveredFrom);
        for (int i = 0; i < 4; ++i)
            reply[pos + kCrcAt + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        pos = end;
    }
}

struct FetchSession {
    PCB pcb;
    BrokerEntry brokers[3];
    PartitionEntry partitions[2];
};

// Two sessions, one with UTF-8 and one with ISO-8859-15 as the local code
// set; the decoder's Fetch and commit calls are counted, never sent.
inline void openFetchSessions(FetchSession (&sessions)[2]) {
    gpfnFetchSend = countFetch;
    gpfnOffsetCommit = countCommit;
    gpfnFetchPartitionError = countPartitionError;
    const char *codeSets[2] = {"UTF-8", "ISO-8859-15"};
    for (int n = 0; n < 2; ++n) {
        FetchSession &s = sessions[n];
        memset(&s, 0, sizeof s);
        s.pcb.cdEncode = iconv_open("UTF-8", codeSets[n]);
        s.pcb.cdDecode = iconv_open(codeSets[n], "UTF-8");
        for (BrokerEntry &b : s.brokers) {
            b.i32Socket = -1;
            b.pszHost = const_cast<char *>("127.0.0.1");
        }
        s.brokers[0].i32Socket = 1000; // never used: the Fetch calls are counted
        s.pcb.pBrokerList = s.brokers;
        s.pcb.u32BrokerCount = 3;
        for (int i = 0; i < 2; ++i) {
            s.partitions[i].i32Partition = i;
            s.partitions[i].i32Leader = 1;
            s.partitions[i].i32BrokerIdx = 0;
            s.partitions[i].u32Assigned = 1;
        }
        s.pcb.pPartitionList = s.partitions;
        s.pcb.u32PartitionCount = 2;
    }
}

inline void closeFetchSessions(FetchSession (&sessions)[2]) {
    for (FetchSession &s : sessions)
        iconv_done(&s.pcb);
}

// Hands the reply to the decoder and reads it until nothing more comes.
// Capacities are random for a damaged reply; an intact one must yield
// `expected`.
inline bool consume(Rng &rng, FetchSession &s, const Bytes &reply, int64_t start, bool damaged,
                    const std::vector<std::string> &expected) {
    PCB *pcb = &s.pcb;
    BrokerEntry &broker = s.brokers[0];
    PartitionEntry &part = s.partitions[0];
    part.i64Offset = start;
    broker.u32FetchCorrelID = 5;
    broker.i32FetchPartitionIdx = 0;
    broker.i64FetchOffset = start;
    pcb->u32UncommittedMsgs = rng.below(2);
    pcb->iDebugLevel = rng.oneIn(16) ? static_cast<int32_t>(rng.below(7)) : 0;
    if (kafka_fetch_reply(pcb, 0, reply.data(), static_cast<uint32_t>(reply.size()), 5) != 0)
        return broker.pReplyBuffer == nullptr;
    std::vector<std::string> got;
    bool ok = true;
    char out[80];
    // A damaged partition count may split the reply: a record of the
    // session's other partition moves that one's offset instead.
    PartitionEntry &other = s.partitions[1];
    for (uint32_t call = 0; call < 64 && broker.pReplyBuffer; ++call) {
        int64_t before = part.i64Offset;
        int64_t otherBefore = other.i64Offset;
        uint32_t capacity = damaged ? rng.below(sizeof out - 8) : sizeof out - 8;
        memset(out, 0x5A, sizeof out);
        uint32_t length = capacity;
        int32_t rc = kafka_checkReplyBuffers(pcb, "t", out, &length);
        if (rc == 0) {
            ok &= length <= capacity && out[length] == '\0' && out[capacity + 1] == 0x5A;
            ok &= before == -1 || part.i64Offset > before ||
                  (damaged && (otherBefore == -1 || other.i64Offset > otherBefore));
            got.emplace_back(out, length);
        } else {
            ok &= rc == -1 && broker.pReplyBuffer == nullptr;
            ok &= before == -1 || part.i64Offset >= before;
        }
    }
    ok &= broker.pReplyBuffer == nullptr; // every reply ends within the calls
    if (!damaged)
        ok &= got == expected;
    return ok;
}

// The public reader on its own, on a fresh copy of the reply: a key comes
// with its value, and every value is terminated.
inline bool readPublic(FetchSession &s, const Bytes &reply, int64_t start) {
    bool ok = true;
    s.partitions[0].i64Offset = start;
    s.brokers[0].u32FetchCorrelID = 0;
    if (kafka_fetch_reply(&s.pcb, 0, reply.data(), static_cast<uint32_t>(reply.size()), 5) != 0)
        return ok;
    for (int i = 0; i < 8; ++i) {
        char *key = nullptr, *value = nullptr;
        uint32_t keyLen = 0, valueLen = 0;
        int32_t rc = kafka_process_fetchreply(&s.pcb, 0, 0, &key, &keyLen, &value, &valueLen);
        ok &= (value == nullptr) == (key == nullptr);
        ok &= !value || value[valueLen] == '\0';
        free(key);
        free(value);
        if (rc != 0 || !value)
            break;
    }
    kafka_fetch_drop_replies(&s.brokers[0]);
    return ok;
}

// One reply through every reader: the pure walk, the decoder read to its
// end, and the public reader.
inline bool checkFetchReply(Rng &rng, FetchSession &s, const Bytes &reply, int64_t start,
                            bool damaged, const std::vector<std::string> &expected) {
    s.pcb.u32Convert = damaged ? rng.below(2) : 0;
    bool ok = walkPure(reply);
    ok &= consume(rng, s, reply, start, damaged, expected);
    ok &= readPublic(s, reply, start);
    return ok;
}

} // namespace bqxfuzz

#endif
