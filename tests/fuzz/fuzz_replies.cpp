// Seeded random-input driver for the consumer's reply handlers:
// FindCoordinator, JoinGroup, SyncGroup, LeaveGroup, OffsetFetch,
// OffsetCommit, Heartbeat, ListOffsets (both versions) and Fetch (stored,
// then read record by record). The seeds are replies of a real Apache Kafka
// broker (4.4.0) to this library, taken from its level-15 hex dumps, in
// tests/fuzz/seeds/<api>-<n>.bin; a Heartbeat reply is built here, since the
// capture run saw none. Each iteration mutates one seed (bit flips, bytes
// replaced, cut, extended, its size and count fields bent) and hands it to
// its handler on a session with a broker table, a coordinator entry and a
// partition list. The handlers must never read or write outside the reply
// or their tables (left to the sanitizers) and must keep the session's
// invariants, which are checked after every call.
//
// Usage: bqx_fuzz_replies seed-directory [iterations] [seed]
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "protocol/consumer.h"
#include "protocol/fetch_reply.h"
#include "fuzz/fuzz_rng.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBrokers = 2;
constexpr uint32_t kCoordinator = kBrokers + 1;
constexpr uint32_t kPartitions = 4;

// The API a seed file belongs to, from its name.
enum class Api { kFindCoordinator, kJoinGroup, kSyncGroup, kLeaveGroup, kOffsetFetch,
                 kOffsetCommit, kHeartbeat, kListOffsets0, kListOffsets1, kFetch };

struct Seed {
    Api api;
    Bytes bytes;
};

struct Named {
    const char *prefix;
    Api api;
};

constexpr Named kNames[] = {
    {"findcoordinator", Api::kFindCoordinator}, {"joingroup", Api::kJoinGroup},
    {"syncgroup", Api::kSyncGroup},             {"leavegroup", Api::kLeaveGroup},
    {"offsetfetch", Api::kOffsetFetch},         {"offsetcommit", Api::kOffsetCommit},
    {"heartbeat", Api::kHeartbeat},             {"listoffsets0", Api::kListOffsets0},
    {"listoffsets1", Api::kListOffsets1},
    {"fetch", Api::kFetch},
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
        for (const Named &named : kNames)
            if (name.rfind(std::string(named.prefix) + "-", 0) == 0)
                seeds.push_back({named.api, readFile(std::string(directory) + "/" + name)});
    }
    closedir(dir);
    // [size][correlation id][tags][throttle][error 27][tags]
    seeds.push_back({Api::kHeartbeat, {0, 0, 0, 12, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 27, 0}});
    return seeds;
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

int32_t noFetchSend(PCB *, const char *, uint32_t) { return 0; }
int32_t noCommit(PCB *) { return 0; }

// A session with two brokers (both "connected" to one end of a socket
// pair that nobody reads), the bootstrap entry, a connected coordinator
// entry and four assigned partitions, as a joined member.
PCB *makeSession(int32_t handle, int socket) {
    PCB *pcb = get_BQXPCB(handle);
    uint32_t count = kBrokers + 2;
    pcb->pBrokerList = static_cast<BrokerEntry *>(calloc(count, sizeof(BrokerEntry)));
    pcb->u32BrokerCount = count;
    for (uint32_t i = 0; i < count; ++i) {
        BrokerEntry &entry = pcb->pBrokerList[i];
        entry.pszHost = strdup("127.0.0.1");
        entry.i32Port = 1;
        entry.i32BrokerID = i < kBrokers ? static_cast<int32_t>(i + 1) : (i == kCoordinator ? -2 : 0);
        entry.i32Socket = i == kBrokers ? -1 : socket;
    }
    pcb->pPartitionList = static_cast<PartitionEntry *>(calloc(kPartitions, sizeof(PartitionEntry)));
    pcb->u32PartitionCount = kPartitions;
    for (uint32_t i = 0; i < kPartitions; ++i) {
        PartitionEntry &p = pcb->pPartitionList[i];
        p.i32Partition = static_cast<int32_t>(i);
        p.i32Leader = 1 + static_cast<int32_t>(i % kBrokers);
        p.i32BrokerIdx = static_cast<int32_t>(i % kBrokers);
        p.u32Assigned = 1;
    }
    pcb->pszTopic = strdup("bqx-seeds");
    pcb->pszGroupID = strdup("seedgrp");
    pcb->u32GroupJoined = 1;
    pcb->u32ConsumerLoadBalancing = 1;
    return pcb;
}

// Puts back what a handler may legitimately change, so that every
// iteration starts from the same session.
void resetSession(PCB *pcb, int socket) {
    BrokerEntry &coordinator = pcb->pBrokerList[kCoordinator];
    coordinator.i32Socket = socket;
    coordinator.i32BrokerID = -2;
    for (uint32_t i = 0; i < kPartitions; ++i) {
        PartitionEntry &p = pcb->pPartitionList[i];
        p.u32Assigned = 1;
        p.i64Offset = 0;
        p.i64RetryAtMs = 0;
    }
    for (uint32_t i = 0; i < kBrokers; ++i) {
        BrokerEntry &broker = pcb->pBrokerList[i];
        broker.i32Socket = socket;
        free(broker.pReplyBuffer);
        broker.pReplyBuffer = nullptr;
    }
    pcb->u32GroupJoined = 1;
    pcb->u32RejoinNeeded = 0;
    pcb->u32CoordinatorLost = 0;
}

uint32_t be32(const Bytes &bytes, size_t at) {
    if (at + 4 > bytes.size()) return 0;
    return (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) | (uint32_t{bytes[at + 2]} << 8) |
           bytes[at + 3];
}

// The partition a Fetch reply names (behind size, correlation id, throttle,
// error, session, topic count, topic and partition count), as a list index.
uint32_t fetchedIndex(const Bytes &reply) {
    size_t topicLength = reply.size() > 23 ? (reply[22] << 8) | reply[23] : 0;
    uint32_t partition = be32(reply, 24 + topicLength + 4);
    return partition < kPartitions ? partition : 0;
}

// The Fetch reply is stored as if its Fetch were outstanding, then read
// until nothing more comes. Returns the records delivered, or -1 when the
// reply failed.
int32_t feedFetch(PCB *pcb, const Bytes &reply) {
    uint32_t index = fetchedIndex(reply);
    uint32_t brokerIndex = static_cast<uint32_t>(pcb->pPartitionList[index].i32BrokerIdx);
    BrokerEntry &broker = pcb->pBrokerList[brokerIndex];
    uint32_t correlId = be32(reply, 4);
    broker.u32FetchCorrelID = correlId;
    broker.i32FetchPartitionIdx = static_cast<int32_t>(index);
    broker.i64FetchOffset = 0;
    if (kafka_fetch_reply(pcb, brokerIndex, reply.data(), static_cast<uint32_t>(reply.size()), correlId) != 0)
        return -1;
    std::vector<char> buffer(65);
    int32_t delivered = 0;
    for (int i = 0; i < 64; ++i) {
        uint32_t length = 64;
        int32_t rc = kafka_checkReplyBuffers_ex(pcb, pcb->pszTopic, buffer.data(), &length, index);
        if (rc == -1) break;
        if (rc != 0) return -1;
        if (length > 64) abort(); // the capacity was exceeded
        ++delivered;
    }
    return delivered;
}

// Hands the reply to its handler; returns the handler's result (for a Fetch
// reply, 0 when it delivered at least one record). A ListOffsets reply is
// read as the other version when `otherVersion` is set.
int32_t feed(PCB *pcb, Api api, const Bytes &reply, bool otherVersion) {
    const uint8_t *data = reply.data();
    uint32_t length = static_cast<uint32_t>(reply.size());
    switch (api) {
    case Api::kFindCoordinator: // refills the coordinator entry, which is then unconnected
        pcb->pBrokerList[kCoordinator].i32Socket = -1;
        return kafka_findcoordinator_reply(pcb, kBrokers, data, length);
    case Api::kJoinGroup: return kafka_joingroup_reply(pcb, kCoordinator, data, length);
    case Api::kSyncGroup: return kafka_syncgroup_reply(pcb, kCoordinator, data, length);
    case Api::kLeaveGroup: return kafka_leavegroup_reply(pcb, kCoordinator, data, length);
    case Api::kOffsetFetch: return kafka_fetchoffsets_reply(pcb, kCoordinator, data, length);
    case Api::kOffsetCommit: return kafka_offsetcommit_reply(pcb, kCoordinator, data, length);
    case Api::kHeartbeat: return kafka_heartbeat_reply(pcb, kCoordinator, data, length);
    case Api::kListOffsets0: return kafka_listoffsets_reply(pcb, 0, data, length, otherVersion ? 1 : 0);
    case Api::kListOffsets1: return kafka_listoffsets_reply(pcb, 0, data, length, otherVersion ? 0 : 1);
    case Api::kFetch: return feedFetch(pcb, reply) > 0 ? 0 : -1;
    }
    return -1;
}

// What no reply may break.
bool sessionSound(const PCB *pcb) {
    if (pcb->u32NumMembers > static_cast<uint32_t>(kMaxMembers)) return false;
    if (pcb->u32PartitionCount != kPartitions || pcb->u32BrokerCount != kBrokers + 2) return false;
    return pcb->pBrokerList[kCoordinator].pszHost != nullptr;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s seed-directory [iterations] [seed]\n", argv[0]);
        return 2;
    }
    long iterations = argc > 2 ? atol(argv[2]) : 20000;
    Rng rng{argc > 3 ? strtoull(argv[3], nullptr, 10) : 20261208};
    std::vector<Seed> seeds = loadSeeds(argv[1]);
    if (seeds.size() < 10) {
        fprintf(stderr, "%s: only %zu seeds in %s\n", argv[0], seeds.size(), argv[1]);
        return 1;
    }
    gpfnFetchSend = noFetchSend;
    gpfnOffsetCommit = noCommit;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 1;
    int terminal = dup(STDOUT_FILENO);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO); // every broken reply logs its error
    int32_t handle = BQXOPEN();
    PCB *pcb = makeSession(handle, pair[0]);
    long unsound = 0, rejected = 0;
    for (long i = 0; i < iterations; ++i) {
        const Seed &seed = seeds[rng.below(static_cast<uint32_t>(seeds.size()))];
        Bytes reply = seed.bytes;
        resetSession(pcb, pair[0]);
        if (i % 8 == 0) { // every eighth reply as the broker sent it: it must be taken
            if (feed(pcb, seed.api, reply, false) != 0) ++rejected;
        } else {
            mutate(rng, reply);
            feed(pcb, seed.api, reply, rng.below(4) == 0);
        }
        if (!sessionSound(pcb)) ++unsound;
        if (fcntl(pair[0], F_GETFD) == -1 && socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
            return 1; // a handler closed the connection: a new one for the next reply
    }
    resetSession(pcb, -1);
    pcb->pBrokerList[kCoordinator].i32Socket = -1;
    for (uint32_t b = 0; b < pcb->u32BrokerCount; ++b) pcb->pBrokerList[b].i32Socket = -1;
    pcb->iDebugLevel = 0;
    BQXCLSE(handle);
    fflush(stdout);
    dup2(terminal, STDOUT_FILENO);
    close(pair[0]);
    close(pair[1]);
    printf("fuzz_replies: %ld iterations over %zu seeds, %ld left the session unsound, "
           "%ld unchanged replies rejected\n",
           iterations, seeds.size(), unsound, rejected);
    return unsound == 0 && rejected == 0 ? 0 : 1;
}
