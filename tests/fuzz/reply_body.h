// The body shared by the reply fuzz drivers (the seeded one and the
// coverage-guided one): a session with two brokers (both "connected" to one
// end of a socket pair that nobody reads), the bootstrap entry, a connected
// coordinator entry and four assigned partitions, as a joined member; and
// one reply handed to the dispatcher as the answer to a pending request of
// a given API key and version, so that it reaches the handler the
// dispatcher's table names. A Fetch reply is then read record by record.
#ifndef BQX_TESTS_FUZZ_REPLY_BODY_H
#define BQX_TESTS_FUZZ_REPLY_BODY_H

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "api/pcb.h"
#include "api/session.h"
#include "bqx.h"
#include "fuzz/fuzz_support.h"
#include "protocol/consumer.h"
#include "consume/fetch_reply.h"
#include "auth/sasl_scram.h"
#include "transport/transport.h"

namespace bqxfuzz {

constexpr uint32_t kBrokers = 2;
constexpr uint32_t kBootstrap = kBrokers;
constexpr uint32_t kCoordinator = kBrokers + 1;
constexpr uint32_t kPartitions = 4;

// What the request of a reply sets beside its key and version.
enum ReplyFlags : uint8_t {
    kMetadataMerge = 1, // a Metadata refresh was asked for
    kScramFirst = 2,    // a SaslAuthenticate reply answers SCRAM's client-first
    kScramFinal = 4,    // ... or its client-final
};

// The request a reply answers: its API key and version, named as the seed
// files of its replies are (tests/fuzz/seeds/<name>-<n>.bin).
struct ReplyKind {
    const char *name;
    int16_t apiKey;
    int16_t apiVersion;
    uint8_t flags = 0;
};

constexpr ReplyKind kReplyKinds[] = {
    {"produce", 0, 7},
    {"fetch", 1, 11},
    {"listoffsets0", 2, 0},
    {"listoffsets1", 2, 1},
    {"metadata", 3, 4},
    {"offsetcommit", 8, 8},
    {"offsetfetch", 9, 7},
    {"findcoordinator", 10, 2},
    {"joingroup", 11, 5},
    {"heartbeat", 12, 4},
    {"leavegroup", 13, 4},
    {"syncgroup", 14, 3},
    {"saslhandshake", 17, 1},
    {"apiversions", 18, 3},
    {"saslauthenticate", 36, 2},
    {"saslscramfirst", 36, 2, kScramFirst},
    {"saslscramfinal", 36, 2, kScramFinal},
    {"topiccounts", 3, 5}, // the leader's Metadata request for its members' topics
};

// The SCRAM exchange the SCRAM replies answer: the example of RFC 7677
// (user "user", password "pencil"), so that its seeds are accepted.
constexpr const char *kScramNonce = "rOprNGfwEbeRWgbNEkqO";
constexpr const char *kScramServerFirst =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";

inline int fixedNonce(char *nonce, size_t size) {
    snprintf(nonce, size, "%s", kScramNonce);
    return 0;
}

// Puts the broker entry into a SCRAM exchange that waits for the
// server-first (kScramFirst) or the server-final (kScramFinal) message.
inline void startScram(PCB *pcb, BrokerEntry &entry, uint8_t flags) {
    ScramState *state = nullptr;
    if (scram_start(pcb, entry.i32BrokerID, kSaslScramSha256, "user", 4, &state) != 0) abort();
    scram_sent(state);
    if (flags & kScramFinal) {
        if (scram_serverFirst(pcb, entry.i32BrokerID, state, "pencil", 6,
                              reinterpret_cast<const uint8_t *>(kScramServerFirst),
                              static_cast<uint32_t>(strlen(kScramServerFirst))) != 0)
            abort();
        scram_sent(state);
    }
    entry.pScram = state;
    entry.u32SaslMechanism = kSaslScramSha256;
}

struct ReplySession {
    int32_t handle = -1;
    PCB *pcb = nullptr;
    int pair[2] = {-1, -1};
    bool tablesTouched = false; // a Metadata reply was fed: the tables are rebuilt
};

inline uint32_t be32(const uint8_t *data, uint32_t length, uint32_t at) {
    if (at + 4 > length) return 0;
    return (uint32_t{data[at]} << 24) | (uint32_t{data[at + 1]} << 16) |
           (uint32_t{data[at + 2]} << 8) | data[at + 3];
}

inline int32_t noFetchSend(PCB *, const char *, uint32_t) { return 0; }
inline int32_t noCommit(PCB *) { return 0; }

inline void buildTables(ReplySession &s) {
    PCB *pcb = s.pcb;
    uint32_t count = kBrokers + 2;
    pcb->pBrokerList = static_cast<BrokerEntry *>(calloc(count, sizeof(BrokerEntry)));
    pcb->u32BrokerCount = count;
    for (uint32_t i = 0; i < count; ++i) {
        BrokerEntry &entry = pcb->pBrokerList[i];
        entry.pszHost = strdup("127.0.0.1");
        entry.i32Port = 1;
        entry.i32BrokerID = i < kBrokers ? static_cast<int32_t>(i + 1) : (i == kCoordinator ? -2 : 0);
        entry.i32Socket = -1;
    }
    pcb->pPartitionList = static_cast<PartitionEntry *>(calloc(kPartitions, sizeof(PartitionEntry)));
    pcb->u32PartitionCount = kPartitions;
    for (uint32_t i = 0; i < kPartitions; ++i) {
        PartitionEntry &p = pcb->pPartitionList[i];
        p.i32Partition = static_cast<int32_t>(i);
        p.i32Leader = 1 + static_cast<int32_t>(i % kBrokers);
        p.i32BrokerIdx = static_cast<int32_t>(i % kBrokers);
    }
}

// Frees the tables without closing the shared socket.
inline void dropTables(ReplySession &s) {
    PCB *pcb = s.pcb;
    for (uint32_t i = 0; pcb->pBrokerList && i < pcb->u32BrokerCount; ++i)
        pcb->pBrokerList[i].i32Socket = -1;
    kafka_clearBrokers(pcb);
    free(pcb->pPartitionList);
    pcb->pPartitionList = nullptr;
    pcb->u32PartitionCount = 0;
}

inline bool openReplySession(ReplySession &s) {
    gpfnFetchSend = noFetchSend;
    gpfnOffsetCommit = noCommit;
    gpfnScramNonce = fixedNonce;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, s.pair) != 0) return false;
    s.handle = BQXOPEN();
    s.pcb = get_BQXPCB(s.handle);
    if (!s.pcb) return false;
    buildTables(s);
    s.pcb->pszTopic = strdup("bqx-seeds");
    s.pcb->pszGroupID = strdup("seedgrp");
    s.pcb->pszSaslUser = strdup("user");
    s.pcb->pszSaslPassword = strdup("pencil");
    s.pcb->u32ConsumerLoadBalancing = 1;
    return true;
}

inline void closeReplySession(ReplySession &s) {
    dropTables(s);
    s.pcb->iDebugLevel = 0;
    BQXCLSE(s.handle);
    close(s.pair[0]);
    close(s.pair[1]);
}

// Puts back what a handler may legitimately change, so that every reply
// meets the same session: the tables (a Metadata reply replaces them), the
// connections (a handler may close one), the group standing, the offsets.
inline void resetSession(ReplySession &s) {
    PCB *pcb = s.pcb;
    if (s.tablesTouched) {
        dropTables(s);
        buildTables(s);
        s.tablesTouched = false;
    }
    if (fcntl(s.pair[0], F_GETFD) == -1) { // a handler closed the connection
        close(s.pair[1]);
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, s.pair) != 0) abort();
    }
    for (uint32_t i = 0; i < pcb->u32BrokerCount; ++i) {
        BrokerEntry &entry = pcb->pBrokerList[i];
        while (PendingRequest *request = entry.pPendingHead) {
            entry.pPendingHead = request->pNext;
            free(request);
        }
        entry.pPendingTail = nullptr;
        entry.u32PendingCount = 0;
        kafka_fetch_drop_replies(&entry);
        scram_clear(&entry);
        entry.i32Socket = i == kBootstrap ? -1 : s.pair[0];
    }
    pcb->pBrokerList[kCoordinator].i32BrokerID = -2;
    for (uint32_t i = 0; i < kPartitions; ++i) {
        PartitionEntry &p = pcb->pPartitionList[i];
        p.u32Assigned = 1;
        p.i64Offset = 0;
        p.i64RetryAtMs = 0;
    }
    pcb->u32GroupJoined = 1;
    pcb->u32RejoinNeeded = 0;
    pcb->u32CoordinatorLost = 0;
    pcb->u32MetadataMerge = 0;
}

// The partition a Fetch reply names (behind size, correlation id, throttle,
// error, session, topic count, topic and partition count), as a list index.
inline uint32_t fetchedIndex(const uint8_t *data, uint32_t length) {
    uint32_t topicLength = length > 23 ? (uint32_t{data[22]} << 8) | data[23] : 0;
    uint32_t partition = be32(data, length, 24 + topicLength + 4);
    return partition < kPartitions ? partition : 0;
}

// The broker entry that a reply of this key comes from; a Fetch reply's
// entry is marked as awaiting it.
inline uint32_t replyingBroker(PCB *pcb, int16_t apiKey, const uint8_t *data, uint32_t length) {
    switch (apiKey) {
    case 1: {
        uint32_t index = fetchedIndex(data, length);
        uint32_t broker = static_cast<uint32_t>(pcb->pPartitionList[index].i32BrokerIdx);
        pcb->pBrokerList[broker].i32FetchPartitionIdx = static_cast<int32_t>(index);
        pcb->pBrokerList[broker].i64FetchOffset = 0;
        return broker;
    }
    case 8: case 9: case 11: case 12: case 13: case 14:
        return kCoordinator;
    case 3: case 10: // FindCoordinator refills the coordinator entry, which is then unconnected
        pcb->pBrokerList[kCoordinator].i32Socket = -1;
        return kBootstrap;
    default:
        return 0;
    }
}

inline void putBe(std::string &out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>(value >> (8 * i)));
}

// A Produce request as batched produce sends it: every partition with one
// batch of partition+1 records (their count only; the reply handler reads
// no record), so that a reply's partitions settle differing counts.
inline std::string produceRequest(int16_t apiVersion, uint32_t correlId) {
    std::string out;
    putBe(out, 0, 4);
    putBe(out, 0, 2);
    putBe(out, static_cast<uint16_t>(apiVersion), 2);
    putBe(out, correlId, 4);
    putBe(out, 0xFFFF, 2);                 // client id: null
    putBe(out, 0xFFFF, 2);                 // transactional id: null
    putBe(out, 1, 2);                      // acks
    putBe(out, 1500, 4);                   // timeout
    putBe(out, 1, 4);                      // topics
    putBe(out, 9, 2);
    out += "bqx-seeds";
    putBe(out, kPartitions, 4);
    for (uint32_t p = 0; p < kPartitions; ++p) {
        putBe(out, p, 4);
        putBe(out, 61, 4);                 // records size: a batch without records
        putBe(out, 0, 8);                  // baseOffset
        putBe(out, 49, 4);                 // batchLength
        out.append(45, '\0');              // epoch to baseSequence
        putBe(out, p + 1, 4);              // record count
    }
    return out;
}

// The request a reply answers, at the head of the entry's queue.
inline void pushPending(BrokerEntry &entry, int16_t apiKey, int16_t apiVersion, uint32_t correlId) {
    std::string bytes = {0, 0, 0, 4,
                         static_cast<char>(apiKey >> 8), static_cast<char>(apiKey),
                         static_cast<char>(apiVersion >> 8), static_cast<char>(apiVersion)};
    if (apiKey == 0)
        bytes = produceRequest(apiVersion, correlId);
    auto *request = static_cast<PendingRequest *>(calloc(1, sizeof(PendingRequest) + bytes.size()));
    memcpy(request->abRequest, bytes.data(), bytes.size());
    request->u32Length = static_cast<uint32_t>(bytes.size());
    request->u32CorrelID = correlId;
    entry.pPendingHead = entry.pPendingTail = request;
    entry.u32PendingCount = 1;
}

// Reads a stored Fetch reply until nothing more comes: the number of
// records delivered, or -1 when reading failed.
inline int32_t readFetched(PCB *pcb, uint32_t partitionIndex) {
    char buffer[65];
    int32_t delivered = 0;
    for (int i = 0; i < 64; ++i) {
        uint32_t length = 64;
        int32_t rc = kafka_checkReplyBuffers_ex(pcb, pcb->pszTopic, buffer, &length, partitionIndex);
        if (rc == -1) break;
        if (rc != 0) return -1;
        if (length > 64) abort(); // the capacity was exceeded
        ++delivered;
    }
    return delivered;
}

// Hands one reply to the dispatcher. Returns 0 when the reply was taken (a
// Fetch reply: at least one record delivered; a Metadata reply: the tables
// built), else the handler's error.
inline int32_t feedReply(ReplySession &s, const ReplyKind &kind, uint8_t flags,
                         const uint8_t *data, uint32_t length) {
    PCB *pcb = s.pcb;
    s.tablesTouched = kind.apiKey == 3;
    flags |= kind.flags;
    uint32_t broker = replyingBroker(pcb, kind.apiKey, data, length);
    if (kind.apiKey == 36 && (flags & (kScramFirst | kScramFinal)))
        startScram(pcb, pcb->pBrokerList[broker], flags);
    pcb->u32MetadataMerge = (flags & kMetadataMerge) ? 1 : 0;
    uint32_t correlId = be32(data, length, 4);
    pushPending(pcb->pBrokerList[broker], kind.apiKey, kind.apiVersion, correlId);
    if (kind.apiKey == 1)
        pcb->pBrokerList[broker].u32FetchCorrelID = correlId;
    int32_t partition = pcb->pBrokerList[broker].i32FetchPartitionIdx;
    int32_t rc = kafka_processReply(pcb, broker, data, length);
    if (kind.apiKey == 3 && rc == kBrokerTableReplaced)
        return 0;
    if (kind.apiKey == 1 && rc == 0)
        return readFetched(pcb, static_cast<uint32_t>(partition)) > 0 ? 0 : -1;
    return rc;
}

// What no reply may break: a Metadata reply may build other tables, but
// sound ones; every other reply keeps the session's shape.
inline bool sessionSound(const ReplySession &s, int16_t apiKey) {
    const PCB *pcb = s.pcb;
    if (pcb->u32NumMembers > static_cast<uint32_t>(kMaxMembers)) return false;
    if (pcb->u32BrokerCount < 2 || !pcb->pBrokerList) return false;
    for (uint32_t i = 0; i < pcb->u32PartitionCount; ++i) {
        int32_t index = pcb->pPartitionList[i].i32BrokerIdx;
        if (index < -1 || index >= static_cast<int32_t>(pcb->u32BrokerCount)) return false;
    }
    if (apiKey == 3) return true;
    if (pcb->u32PartitionCount != kPartitions || pcb->u32BrokerCount != kBrokers + 2) return false;
    return pcb->pBrokerList[kCoordinator].pszHost != nullptr;
}

} // namespace bqxfuzz

#endif
