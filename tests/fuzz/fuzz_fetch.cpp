// Seeded random-input driver for the Fetch reply decoder. Each iteration
// builds a valid reply (several batches and records, headers, control
// batches, aborted transactions, batches compressed with each codec,
// compressed bodies no codec can read, cut-off batches), then either checks
// that every expected record comes out in order, or mutates it and checks
// the decoder's promises (fetch_body.h). Some replies have a compressed
// body damaged under a correct CRC-32C, or their CRCs recomputed after the
// mutation, so that the damage reaches the codecs.
// Usage: bqx_fuzz_fetch [iterations] [seed]
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz/fetch_body.h"
#include "support/fetch_reply_builder.h"

using namespace bqxtest;
using bqxfuzz::Rng;

namespace {

// A valid reply and the values it must hand out from `start` on.
struct Seed {
    Bytes reply;
    int64_t start;
    std::vector<std::string> expected;
    bool bodyDamaged = false; // what comes out of it is not known
};

std::string valueFor(int64_t offset) { return "v" + std::to_string(offset); }

struct Txn {
    bool open = false, aborted = false;
};

// Compresses the batch's records with a random codec and framing, when
// this build can; now and then damages the compressed body (the batch's
// CRC-32C is computed afterwards, so only the codec can find it). Returns
// whether it was damaged.
bool compress(Rng &rng, TestBatch &batch) {
    int16_t codec = static_cast<int16_t>(1 + rng.below(4));
    if (!canCompress(codec))
        return false;
    Compression c{codec, rng.oneIn(2), rng.oneIn(2), rng.oneIn(2), 8 + rng.below(64)};
    batch = compressedBatch(batch, c);
    if (!rng.oneIn(8) || batch.rawRecords.empty())
        return false;
    Bytes &body = batch.rawRecords;
    if (rng.oneIn(3))
        body.resize(rng.below(static_cast<uint32_t>(body.size())));
    else
        body[rng.below(static_cast<uint32_t>(body.size()))] ^= static_cast<uint8_t>(1 + rng.below(255));
    return true;
}

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
        if (kind == 0) { // a compressed body no codec reads: nothing comes out of it
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
        if (rng.oneIn(3))
            seed.bodyDamaged |= compress(rng, batch);
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

bool runIteration(Rng &rng, bqxfuzz::FetchSession *sessions) {
    Seed seed = buildSeed(rng);
    bool damaged = !rng.oneIn(4);
    if (damaged) {
        mutate(rng, seed.reply);
        if (rng.oneIn(2))
            bqxfuzz::resealBatches(seed.reply);
    }
    damaged |= seed.bodyDamaged;
    bqxfuzz::FetchSession &s = sessions[rng.below(2)];
    return bqxfuzz::checkFetchReply(rng, s, seed.reply, seed.start, damaged, seed.expected);
}

} // namespace

int main(int argc, char **argv) {
    unsigned long iterations = argc > 1 ? strtoul(argv[1], nullptr, 10) : 10000;
    Rng rng{argc > 2 ? strtoull(argv[2], nullptr, 10) : 0xFE7C4};
    static bqxfuzz::FetchSession sessions[2];
    bqxfuzz::openFetchSessions(sessions);
    unsigned long passed = 0, failed = 0;
    {
        bqxfuzz::QuietStdout quiet; // damaged replies log a line each
        for (unsigned long i = 0; i < iterations; ++i) {
            if (runIteration(rng, sessions))
                ++passed;
            else if (++failed <= 10)
                fprintf(stderr, "iteration %lu failed\n", i);
        }
    }
    bqxfuzz::closeFetchSessions(sessions);
    const bqxfuzz::FetchCounts &counts = bqxfuzz::gFetchCounts;
    printf("fetches %lu, commits %lu, partition errors %lu\n", counts.fetches, counts.commits,
           counts.partitionErrors);
    printf("%lu passed, %lu failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
