// Reading one size-framed reply from a broker's socket.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "api/pcb.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/consumer.h"
#include "transport/tls.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

constexpr const char *kTag = "WaitReply";
constexpr uint32_t kSizeFieldLength = 4;
constexpr int32_t kMinReplySize = 4;                 // the correlation id
constexpr int32_t kMaxReplySize = 100 * 1024 * 1024; // far above any reply asked for
constexpr int16_t kFetchKey = 1;

enum class ReadStatus { kComplete, kNothing, kClosed, kFailed };

// Reads into `into` until `*received` reaches `length`, by the deadline
// (monotonic ms); short reads and interruptions go on. Every read is
// non-blocking, with a wait for readiness before it, so that a broker
// trickling bytes cannot stretch one read beyond the deadline. kNothing
// tells that the socket had nothing more: with `probeFirst` at the first
// read (the readiness was spurious, or belonged to a socket closed and
// reopened under the same number while the lock was released, or to TLS
// records that carried no reply bytes), with `stopWhenDry` at any read. A
// TLS layer that must write before it can read is waited for either way.
ReadStatus readFully(PCB *pcb, BrokerEntry *entry, uint8_t *into, uint32_t length,
                     uint32_t *received, bool probeFirst, bool stopWhenDry, int64_t deadline,
                     SocketIo *failure) {
    bool probing = probeFirst;
    while (*received < length) {
        SocketIo io = transport_read(entry, into + *received, length - *received);
        pcb->ullRcvs++;
        if (io.bytes > 0) {
            *received += static_cast<uint32_t>(io.bytes);
            pcb->ullRcvBytes += static_cast<uint64_t>(io.bytes);
            probing = false;
            continue;
        }
        if (io.waitFor == 0 && io.error == 0)
            return ReadStatus::kClosed;
        if (io.waitFor == 0) {
            *failure = io;
            return ReadStatus::kFailed;
        }
        if ((stopWhenDry || probing) && io.waitFor == POLLIN)
            return ReadStatus::kNothing;
        int error = transport_awaitSocket(entry->i32Socket, io.waitFor, deadline);
        if (error != 0) {
            *failure = {-1, 0, error, nullptr};
            return ReadStatus::kFailed;
        }
    }
    return ReadStatus::kComplete;
}

// The connection ended before a whole reply was in: clear the entry.
ReceivedReply connectionEnded(PCB *pcb, uint32_t brokerIndex, ReadStatus status,
                              const SocketIo &failure) {
    BrokerEntry *entry = &pcb->pBrokerList[brokerIndex];
    int32_t result = 0;
    if (status == ReadStatus::kFailed)
        result = transport_logIoError(pcb, kTag, entry, entry->pTls ? "SSL_read()" : "recv()",
                                      failure);
    else if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_REMOTE_CLOSED, pcb, kTag, entry->i32BrokerID, -1, 2,
                   transport_host(entry), entry->i32Port);
    kafka_clearBroker(pcb, brokerIndex, 0);
    return {result, nullptr, 0, true};
}

// A TLS record (an alert or a handshake) begins with its type, 21 or 22,
// and the major version 3: what a TLS listener sends to a plaintext client.
constexpr const char *kTlsListenerText =
    "a TLS record: the listener expects SSL:// or SASL_SSL://";

bool looksLikeTls(const BrokerEntry *entry, int32_t size) {
    uint32_t head = static_cast<uint32_t>(size) >> 16;
    return !entry->pTls && (head == 0x1503 || head == 0x1603);
}

// The reply answers the oldest pending request. A Fetch states how much it
// may get; any other reply is bounded by the library's limit only.
bool beyondFetchLimit(const BrokerEntry *entry, int32_t size) {
    const PendingRequest *oldest = entry->pPendingHead;
    return oldest && oldest->u32Length >= kRequestMinLength &&
           transport_readBe16(oldest->abRequest + 4) == kFetchKey &&
           static_cast<uint32_t>(size) > kafka_fetch_reply_limit();
}

const char *sizeProblem(const BrokerEntry *entry, int32_t size) {
    if (looksLikeTls(entry, size))
        return kTlsListenerText;
    return beyondFetchLimit(entry, size) ? "reply larger than its Fetch allows"
                                         : "invalid reply size";
}

// A size field that no reply can have, or that cannot be served, leaves
// the stream out of step: the connection is closed.
ReceivedReply refuseSize(PCB *pcb, uint32_t brokerIndex, int32_t size, bool noMemory) {
    BrokerEntry *entry = &pcb->pBrokerList[brokerIndex];
    int32_t result = noMemory ? ERR_MEMORY : ERR_TCPIP;
    if (noMemory)
        bqx_log_vf(ERR_MEMORY, pcb, kTag, entry->i32BrokerID, -1, 1, "Reply Buffer");
    else
        bqx_log_vf(ERR_TCPIP, pcb, kTag, entry->i32BrokerID, -1, 5, "recv()", transport_host(entry),
                   entry->i32Port, static_cast<int>(size), sizeProblem(entry, size));
    kafka_clearBroker(pcb, brokerIndex, 0);
    return {result, nullptr, 0, true};
}

} // namespace

namespace {

// The use count and the room sit in front of the reply, in a head that
// keeps the reply as aligned as malloc's own blocks.
constexpr size_t kReplyHead = alignof(max_align_t);

struct ReplyHead {
    uint32_t uses;
    uint32_t room; // bytes the block holds behind its head
};
static_assert(sizeof(ReplyHead) <= kReplyHead);

// One large block that a used-up reply left is kept for the next one:
// a large Fetch reply in a fresh block costs a page fault and a zeroed
// page per 4 KiB, and streams of them come one after the other. Blocks
// from 256 KiB to 16 MiB are kept (rounded up to 64 KiB, so that replies
// of about the same size fit), at most one for the whole process.
constexpr uint32_t kSpareMin = 256u << 10;
constexpr uint32_t kSpareMax = 16u << 20;
constexpr uint32_t kSpareGrain = 64u << 10;
pthread_mutex_t gSpareLock = PTHREAD_MUTEX_INITIALIZER;
uint8_t *gSpare = nullptr;

ReplyHead *headOf(const uint8_t *reply) {
    return reinterpret_cast<ReplyHead *>(const_cast<uint8_t *>(reply) - kReplyHead);
}

bool spareSized(uint32_t room) { return room >= kSpareMin && room <= kSpareMax; }

// The spare block when it fits `length` without wasting half of it.
uint8_t *takeSpare(uint32_t length) {
    if (!spareSized(length))
        return nullptr;
    pthread_mutex_lock(&gSpareLock);
    uint8_t *block = gSpare;
    uint32_t room = block ? reinterpret_cast<ReplyHead *>(block)->room : 0;
    if (block && room >= length && room / 2 <= length)
        gSpare = nullptr;
    else
        block = nullptr;
    pthread_mutex_unlock(&gSpareLock);
    return block;
}

// Keeps the block as the spare when it is the larger one; frees the other.
void keepOrFree(uint8_t *block) {
    if (spareSized(reinterpret_cast<ReplyHead *>(block)->room)) {
        pthread_mutex_lock(&gSpareLock);
        if (!gSpare || reinterpret_cast<ReplyHead *>(gSpare)->room <
                           reinterpret_cast<ReplyHead *>(block)->room) {
            uint8_t *smaller = gSpare;
            gSpare = block;
            block = smaller;
        }
        pthread_mutex_unlock(&gSpareLock);
    }
    free(block);
}

} // namespace

uint8_t *transport_reply_alloc(uint32_t length) {
    uint8_t *block = takeSpare(length);
    if (!block) {
        uint64_t room = length;
        if (spareSized(length))
            room = (room + kSpareGrain - 1) / kSpareGrain * kSpareGrain;
        block = static_cast<uint8_t *>(malloc(kReplyHead + room));
        if (!block)
            return nullptr;
        reinterpret_cast<ReplyHead *>(block)->room = static_cast<uint32_t>(room);
    }
    reinterpret_cast<ReplyHead *>(block)->uses = 1;
    return block + kReplyHead;
}

void transport_reply_retain(const uint8_t *reply) {
    if (reply)
        ++headOf(reply)->uses;
}

void transport_reply_release(const uint8_t *reply) {
    if (reply && --headOf(reply)->uses == 0)
        keepOrFree(reinterpret_cast<uint8_t *>(headOf(reply)));
}

namespace {

// Reads a reply's size field and gives the entry the reply's buffer, with
// the size field in it. False with *out set when there is no reply to go on
// with: nothing was there, the connection ended, or the size was refused.
bool beginReply(PCB *pcb, uint32_t brokerIndex, int64_t deadline, ReceivedReply *out) {
    BrokerEntry *entry = &pcb->pBrokerList[brokerIndex];
    uint8_t sizeField[kSizeFieldLength];
    uint32_t received = 0;
    SocketIo failure = {0, 0, 0, nullptr};
    ReadStatus status = readFully(pcb, entry, sizeField, kSizeFieldLength, &received, true, false,
                                  deadline, &failure);
    if (status != ReadStatus::kComplete) {
        *out = status == ReadStatus::kNothing ? ReceivedReply{0, nullptr, 0, false}
                                              : connectionEnded(pcb, brokerIndex, status, failure);
        return false;
    }
    int32_t size = static_cast<int32_t>(transport_readBe32(sizeField));
    if (size < kMinReplySize || size > kMaxReplySize || beyondFetchLimit(entry, size)) {
        *out = refuseSize(pcb, brokerIndex, size, false);
        return false;
    }
    uint32_t length = static_cast<uint32_t>(size) + kSizeFieldLength;
    uint8_t *buffer = transport_reply_alloc(length);
    if (!buffer) {
        *out = refuseSize(pcb, brokerIndex, size, true);
        return false;
    }
    memcpy(buffer, sizeField, kSizeFieldLength);
    entry->pPartialReply = buffer;
    entry->u32PartialLength = length;
    entry->u32PartialReceived = kSizeFieldLength;
    return true;
}

} // namespace

uint8_t *transport_takePartialReply(BrokerEntry *entry) {
    uint8_t *buffer = entry->pPartialReply;
    entry->pPartialReply = nullptr;
    entry->u32PartialLength = 0;
    entry->u32PartialReceived = 0;
    return buffer;
}

ReceivedReply transport_receiveReply(PCB *pcb, uint32_t brokerIndex, bool partialOk) {
    BrokerEntry *entry = &pcb->pBrokerList[brokerIndex];
    // The wait runs from now: the time a part-read reply waited for its
    // reader is the reader's, not the broker's.
    int64_t deadline = transport_monotonicMs() + transport_replyWaitMs(pcb);
    ReceivedReply result;
    if (!entry->pPartialReply && !beginReply(pcb, brokerIndex, deadline, &result))
        return result;
    SocketIo failure = {0, 0, 0, nullptr};
    ReadStatus status = readFully(pcb, entry, entry->pPartialReply, entry->u32PartialLength,
                                  &entry->u32PartialReceived, false, partialOk, deadline, &failure);
    if (status == ReadStatus::kNothing)
        return {0, nullptr, 0, false}; // the rest comes with a later wait
    uint32_t length = entry->u32PartialLength;
    uint8_t *buffer = transport_takePartialReply(entry);
    if (status != ReadStatus::kComplete) {
        transport_reply_release(buffer); // a partial reply is never handed to a handler
        return connectionEnded(pcb, brokerIndex, status, failure);
    }
    return {0, buffer, length, false};
}
