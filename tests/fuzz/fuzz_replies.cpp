// Seeded random-input driver for the reply handlers the dispatcher calls.
// The seeds are replies of a real Apache Kafka broker (4.4.0, and 3.9.2 for
// ListOffsets version 0) to this library, taken from its level-15 hex
// dumps, and replies written by hand for the APIs such a run did not show,
// in tests/fuzz/seeds/<api>-<n>.bin. Each iteration mutates one seed (bit
// flips, bytes replaced, cut, extended, its size and count fields bent) and
// hands it to the dispatcher as the answer to its request (reply_body.h).
// The handlers must never read or write outside the reply or their tables
// (left to the sanitizers) and must keep the session's invariants, which
// are checked after every call.
//
// Usage: bqx_fuzz_replies seed-directory [iterations] [seed]
//        bqx_fuzz_replies --corpus seed-directory out-directory
// The second form writes each seed in the layout of the coverage-guided
// target (libfuzz_replies.cpp): API key, API version, flags, reply.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/reply_body.h"

using namespace bqxfuzz;

namespace {

struct Seed {
    const ReplyKind *kind;
    std::string name;
    Bytes bytes;
};

Bytes readFile(const std::string &path) {
    Bytes bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    for (int c; (c = fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    fclose(file);
    return bytes;
}

std::vector<Seed> loadSeeds(const char *directory) {
    std::vector<Seed> seeds;
    DIR *dir = opendir(directory);
    if (!dir) return seeds;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        for (const ReplyKind &kind : kReplyKinds)
            if (name.rfind(std::string(kind.name) + "-", 0) == 0)
                seeds.push_back({&kind, name, readFile(std::string(directory) + "/" + name)});
    }
    closedir(dir);
    return seeds;
}

int writeCorpus(const char *seedDirectory, const char *outDirectory) {
    std::vector<Seed> seeds = loadSeeds(seedDirectory);
    for (const Seed &seed : seeds) {
        std::string path = std::string(outDirectory) + "/" + seed.name;
        FILE *file = fopen(path.c_str(), "wb");
        if (!file) return 1;
        const uint8_t header[3] = {static_cast<uint8_t>(seed.kind->apiKey),
                                   static_cast<uint8_t>(seed.kind->apiVersion), seed.kind->flags};
        fwrite(header, 1, sizeof header, file);
        fwrite(seed.bytes.data(), 1, seed.bytes.size(), file);
        fclose(file);
    }
    printf("%zu seeds written to %s\n", seeds.size(), outDirectory);
    return seeds.empty() ? 1 : 0;
}

void mutate(Rng &rng, Bytes &bytes) {
    for (uint32_t n = 1 + rng.below(4); n > 0 && !bytes.empty(); --n) {
        size_t at = rng.below(static_cast<uint32_t>(bytes.size()));
        switch (rng.below(6)) {
        case 0: bytes[at] ^= static_cast<uint8_t>(1u << rng.below(8)); break;
        case 1: bytes[at] = static_cast<uint8_t>(rng.next()); break;
        case 2: bytes.resize(at); break; // cut
        case 3: bytes.insert(bytes.begin() + static_cast<long>(at), static_cast<uint8_t>(rng.next())); break;
        case 4: // a count or length field bent to an extreme
            if (at + 4 <= bytes.size()) {
                static const uint8_t extremes[][4] = {{0x7F, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF},
                                                      {0x80, 0, 0, 0}, {0, 0, 0x10, 0}};
                memcpy(&bytes[at], extremes[rng.below(4)], 4);
            }
            break;
        default: bytes.push_back(static_cast<uint8_t>(rng.next())); break;
        }
    }
}

// ListOffsets replies are read as the other version now and then.
ReplyKind otherVersion(const ReplyKind &kind) {
    ReplyKind other = kind;
    if (kind.apiKey == 2) other.apiVersion = static_cast<int16_t>(1 - kind.apiVersion);
    return other;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--corpus") == 0)
        return writeCorpus(argv[2], argv[3]);
    if (argc < 2) {
        fprintf(stderr, "usage: %s seed-directory [iterations] [seed]\n", argv[0]);
        return 2;
    }
    long iterations = argc > 2 ? atol(argv[2]) : 20000;
    Rng rng{argc > 3 ? strtoull(argv[3], nullptr, 10) : 20261208};
    std::vector<Seed> seeds = loadSeeds(argv[1]);
    if (seeds.size() < 15) {
        fprintf(stderr, "%s: only %zu seeds in %s\n", argv[0], seeds.size(), argv[1]);
        return 1;
    }
    long unsound = 0, rejected = 0;
    {
        QuietStdout quiet; // every broken reply logs its error
        ReplySession session;
        if (!openReplySession(session)) return 1;
        for (long i = 0; i < iterations; ++i) {
            const Seed &seed = seeds[rng.below(static_cast<uint32_t>(seeds.size()))];
            Bytes reply = seed.bytes;
            resetSession(session);
            if (i % 8 == 0) { // every eighth reply as the broker sent it: it must be taken
                if (feedReply(session, *seed.kind, 0, reply.data(), static_cast<uint32_t>(reply.size())) != 0) {
                    if (++rejected <= 10) fprintf(stderr, "seed %s rejected\n", seed.name.c_str());
                }
            } else {
                mutate(rng, reply);
                ReplyKind kind = rng.oneIn(4) ? otherVersion(*seed.kind) : *seed.kind;
                feedReply(session, kind, static_cast<uint8_t>(rng.below(2)), reply.data(),
                          static_cast<uint32_t>(reply.size()));
            }
            if (!sessionSound(session, seed.kind->apiKey)) ++unsound;
        }
        closeReplySession(session);
    }
    printf("fuzz_replies: %ld iterations over %zu seeds, %ld left the session unsound, "
           "%ld unchanged replies rejected\n",
           iterations, seeds.size(), unsound, rejected);
    return unsound == 0 && rejected == 0 ? 0 : 1;
}
