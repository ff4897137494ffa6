// Seeded random-input driver for the Fetch reply decoder. Each iteration
// builds a valid reply (several batches and records, headers, control
// batches, aborted transactions, compressed and cut-off batches), then
// either checks that every expected record comes out in order, or mutates
// it and checks the decoder's promises: the caller's buffer is written only
// within capacity + 1, a reply that yields no record is released, offsets
// never move back, and the pure reader stays inside the bytes it is given.
// Memory errors are left to the sanitizers.
// Usage: bqx_fuzz_fetch [iterations] [seed]
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "api/pcb.h"
#include "codec/codec.h"
#include "protocol/consumer.h"
#include "protocol/fetch_reply.h"
#include "protocol/record_batch.h"
#include "support/fetch_reply_builder.h"
#include "fuzz/fuzz_rng.h"

using namespace bqxtest;

namespace {

unsigned long gFetches, gCommits, gPartitionErrors;
int32_t countFetch(PCB *, const char *, uint32_t) { return ++gFetches, 0; }
int32_t countCommit(PCB *) { return ++gCommits, 0; }
void countPartitionError(PCB *, uint32_t, int16_t) { ++gPartitionErrors; }

// A valid reply and the values it must hand out from `start` on.
struct Seed {
    Bytes reply;
    int64_t start;
    std::vector<std::string> expected;
};

std::string valueFor(int64_t offset) { return "v" + std::to_string(offset); }

struct Txn {
    bool open = false, aborted = false;
};

Seed buildSeed(Rng &rng) {
    Seed seed;
    std::vector<TestBatch> batches;
    std::vector<std::pair<int64_t, int64_t>> abortedList;
    std::vector<int64_t> deliverable;
    Txn txns[3];
    int64_t offset = rng.below(1000);
    int64_t first = offset;
    for (uint32_t n = 1 + rng.below(6); n > 0; --n) {
        uint32_t kind = rng.below(10);
        int64_t producer = 1 + rng.below(3);
        Txn &txn = txns[producer - 1];
        if (kind == 0) { // compressed: nothing comes out of it
            uint32_t count = 1 + rng.below(3);
            batches.push_back({offset, {}, static_cast<int16_t>(1 + rng.below(4)), -1,
                               static_cast<int32_t>(count - 1), Bytes(8 * count, 0x5A),
                               static_cast<int32_t>(count)});
            offset += count;
            continue;
        }
        if (kind == 1 && txn.open) { // the transaction's marker
            batches.push_back(controlBatch(offset++, producer, txn.aborted ? 0 : 1));
            txn.open = false;
            continue;
        }
        bool transactional = kind <= 4;
        if (transactional && !txn.open) {
            txn = {true, rng.oneIn(2)};
            if (txn.aborted)
                abortedList.emplace_back(producer, offset);
        }
        TestBatch batch{offset, {}, static_cast<int16_t>(transactional ? 0x10 : 0),
                        transactional ? producer : -1};
        int32_t delta = 0;
        for (uint32_t r = 1 + rng.below(4); r > 0; --r) {
            TestRecord record{delta, valueFor(offset + delta)};
            if (rng.oneIn(3))
                record.key = "k" + std::to_string(delta);
            if (rng.oneIn(3))
                record.headers = {{"h", "x"}, {"n", std::nullopt}};
            if (!transactional || !txn.aborted)
                deliverable.push_back(offset + delta);
            batch.records.push_back(record);
            delta += 1 + static_cast<int32_t>(rng.oneIn(4)); // compaction gaps
        }
        offset += delta;
        batches.push_back(batch);
    }
    Bytes records = concat(batches);
    if (rng.oneIn(3)) { // a last batch cut off by the reply's size limit
        Bytes cut = encodeBatch({offset, {{0, valueFor(offset)}}});
        records.insert(records.end(), cut.begin(), cut.begin() + 1 + rng.below(static_cast<uint32_t>(cut.size() - 1)));
    }
    seed.start = rng.oneIn(5) ? -1 : first + rng.below(3);
    for (int64_t o : deliverable)
        if (seed.start == -1 || o >= seed.start)
            seed.expected.push_back(valueFor(o));
    TestReply t{0, records, abortedList};
    seed.reply = fetchReply(5, t);
    return seed;
}

void mutate(Rng &rng, Bytes &reply) {
    for (uint32_t n = 1 + rng.below(4); n > 0 && !reply.empty(); --n) {
        size_t at = rng.below(static_cast<uint32_t>(reply.size()));
        uint32_t how = rng.below(4);
        reply[at] = how == 0 ? 0xFF : how == 1 ? 0x80 : how == 2 ? 0 : static_cast<uint8_t>(rng.next());
    }
    if (rng.oneIn(4) && reply.size() > 8) { // shorter, with the size field kept right
        reply.resize(8 + rng.below(static_cast<uint32_t>(reply.size() - 8)));
        uint32_t size = static_cast<uint32_t>(reply.size() - 4);
        for (int i = 0; i < 4; ++i) reply[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
    }
}

// The pure reader over the whole reply: every position stays in bounds and
// moves forward.
bool walkPure(const Bytes &reply) {
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

struct Session {
    PCB pcb;
    BrokerEntry brokers[3];
    PartitionEntry partitions[2];
};

void openSession(Session &s, const char *codeSet) {
    memset(&s, 0, sizeof s);
    s.pcb.cdEncode = iconv_open("UTF-8", codeSet);
    s.pcb.cdDecode = iconv_open(codeSet, "UTF-8");
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

// Hands the reply to the decoder and reads it until nothing more comes.
bool consume(Rng &rng, Session &s, const Bytes &reply, int64_t start, bool mutated,
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
    for (uint32_t call = 0; call < 64 && broker.pReplyBuffer; ++call) {
        int64_t before = part.i64Offset;
        uint32_t capacity = mutated ? rng.below(sizeof out - 8) : sizeof out - 8;
        memset(out, 0x5A, sizeof out);
        uint32_t length = capacity;
        int32_t rc = kafka_checkReplyBuffers(pcb, "t", out, &length);
        if (rc == 0) {
            ok &= length <= capacity && out[length] == '\0' && out[capacity + 1] == 0x5A;
            ok &= before == -1 || part.i64Offset > before;
            got.emplace_back(out, length);
        } else {
            ok &= rc == -1 && broker.pReplyBuffer == nullptr;
            ok &= before == -1 || part.i64Offset >= before;
        }
    }
    ok &= broker.pReplyBuffer == nullptr; // every reply ends within the calls
    if (!mutated)
        ok &= got == expected;
    return ok;
}

bool runIteration(Rng &rng, Session *sessions) {
    Seed seed = buildSeed(rng);
    bool mutated = !rng.oneIn(4);
    if (mutated)
        mutate(rng, seed.reply);
    Session &s = sessions[rng.below(2)];
    s.pcb.u32Convert = mutated ? rng.below(2) : 0;
    bool ok = walkPure(seed.reply);
    ok &= consume(rng, s, seed.reply, seed.start, mutated, seed.expected);
    // The public reader on its own, on a fresh copy.
    s.partitions[0].i64Offset = seed.start;
    s.brokers[0].u32FetchCorrelID = 0;
    if (kafka_fetch_reply(&s.pcb, 0, seed.reply.data(), static_cast<uint32_t>(seed.reply.size()), 5) == 0) {
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
        free(s.brokers[0].pReplyBuffer);
        s.brokers[0].pReplyBuffer = nullptr;
    }
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    unsigned long iterations = argc > 1 ? strtoul(argv[1], nullptr, 10) : 10000;
    Rng rng{argc > 2 ? strtoull(argv[2], nullptr, 10) : 0xFE7C4};
    gpfnFetchSend = countFetch;
    gpfnOffsetCommit = countCommit;
    gpfnFetchPartitionError = countPartitionError;
    static Session sessions[2];
    openSession(sessions[0], "UTF-8");
    openSession(sessions[1], "ISO-8859-15");

    // Damaged replies log a line each: keep them off the terminal.
    fflush(stdout);
    int terminal = dup(STDOUT_FILENO);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);

    unsigned long passed = 0, failed = 0;
    for (unsigned long i = 0; i < iterations; ++i) {
        if (runIteration(rng, sessions))
            ++passed;
        else if (++failed <= 10)
            fprintf(stderr, "iteration %lu failed\n", i);
    }

    fflush(stdout);
    dup2(terminal, STDOUT_FILENO);
    close(devNull);
    close(terminal);
    for (Session &s : sessions)
        iconv_done(&s.pcb);
    printf("fetches %lu, commits %lu, partition errors %lu\n", gFetches, gCommits,
           gPartitionErrors);
    printf("%lu passed, %lu failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
