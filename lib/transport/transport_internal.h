// Helpers shared by the files of the broker transport; not used elsewhere.
#ifndef BQX_TRANSPORT_TRANSPORT_INTERNAL_H
#define BQX_TRANSPORT_TRANSPORT_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

struct PCB;
struct BrokerEntry;
struct PendingRequest;

// Room for the text of a system error number.
constexpr size_t kErrorTextSize = 128;

// Bytes before the correlation id's end: size, API key, version, correlation id.
constexpr uint32_t kRequestMinLength = 12;

// Frees a pending request; the copy of a SaslAuthenticate request (key 36)
// is wiped first, as it holds the password.
void transport_freePending(PendingRequest *request);

// Called, when set, with each pending request just before it is freed (after
// any wiping); lets tests see what is left of it. Null in the library.
extern void (*gpfnPendingReleased)(const PendingRequest *request);

// The resolver the connect uses: getaddrinfo, replaced by tests that need
// a slow one.
struct addrinfo;
extern int (*gpfnGetAddrInfo)(const char *host, const char *service, const struct addrinfo *hints,
                              struct addrinfo **results);

// One non-blocking read or write on the entry's connection, through its TLS
// layer when it has one (SocketIo: lib/transport/tls.h).
struct SocketIo;
SocketIo transport_read(BrokerEntry *entry, uint8_t *into, uint32_t length);
SocketIo transport_write(BrokerEntry *entry, const uint8_t *bytes, uint32_t length);

// True when the entry's TLS layer holds bytes already read from the socket.
bool transport_hasBuffered(const BrokerEntry *entry);

// Closes the entry's connection (its TLS layer first, with a close_notify
// when `orderly`) and marks it unconnected. Nothing else of the entry changes.
void transport_closeSocket(BrokerEntry *entry, bool orderly);

// Logs error 7500 for a failed read or write (`io`): OpenSSL's reason for
// a TLS failure, else the system's text. Returns 7500.
int32_t transport_logIoError(PCB *pcb, const char *tag, const BrokerEntry *entry,
                             const char *callName, const SocketIo &io);

// Waits with the global lock released until `fd` is ready for `events` or
// the monotonic `deadline` passes; the session's wake pipe ends it early.
// Returns 0 when ready, ETIMEDOUT, ECANCELED with *given set (7502: the
// session was taken over), or poll's errno.
int transport_awaitUnlocked(PCB *pcb, const char *tag, int fd, short events, int64_t deadline,
                            int32_t *given);

// The entry at `brokerIndex`, or null when the table has no such entry.
BrokerEntry *transport_entry(PCB *pcb, uint32_t brokerIndex);

// The entry's host for log lines; never null.
const char *transport_host(const BrokerEntry *entry);

// The system's text for error number `error`, written into `buffer`.
const char *transport_errorText(int error, char *buffer, size_t size);

// Logs error 7500 ("TCPIP Error from ...") for `callName` and the entry, with
// the system's text of `error`. Returns 7500.
int32_t transport_logTcpError(PCB *pcb, const char *tag, const BrokerEntry *entry,
                              const char *callName, int error);

// Logs error 7500 for a broker index that names no entry of the table.
// Returns 7500.
int32_t transport_badIndex(PCB *pcb, const char *tag, const char *callName,
                           uint32_t brokerIndex);

// Milliseconds of the monotonic clock, for time-outs that must not jump
// with the wall clock.
int64_t transport_monotonicMs();

// Milliseconds a reply (or a request) may take: the library's reply wait,
// or the session's own when that is longer.
int transport_replyWaitMs(const PCB *pcb);

// Waits until `fd` is ready for `events` (poll's flags) or the monotonic
// time `deadline` has passed. Returns 0 when ready (an error or hang-up of
// the socket counts: the next call on it tells), ETIMEDOUT, or poll's errno.
int transport_awaitSocket(int fd, short events, int64_t deadline);

// A wait that ended without an error may still have lost its request: an
// orderly close by the broker drops every pending request with a warning
// only. Returns `rc`, or 7501 (logged) when the entry at `brokerIndex` was
// closed by it. A changed table (`tableBefore`) proves that the reply came.
int32_t transport_checkNotDropped(PCB *pcb, const BrokerEntry *tableBefore, uint32_t brokerIndex,
                                  int32_t rc);

// Big-endian reads and writes of the wire's integers.
uint32_t transport_readBe32(const uint8_t *bytes);
int16_t transport_readBe16(const uint8_t *bytes);
void transport_writeBe32(uint8_t *bytes, uint32_t value);

// Hex-dumps at most `limit` bytes of a request. A SaslAuthenticate request
// is dumped from a copy whose password bytes are replaced by '*', so that
// credentials never reach the log.
void transport_dumpRequest(PCB *pcb, const char *tag, int32_t broker, const char *title,
                           const uint8_t *request, uint32_t length, uint32_t limit);

// Replaces the password of a SaslAuthenticate request (key 36) in `copy`
// by '*'. When the request's layout cannot be followed, every byte behind
// the request header is masked. `copy` holds `length` bytes.
void transport_maskSaslPassword(uint8_t *copy, uint32_t length);

// One reply read from a broker entry's socket.
struct ReceivedReply {
    int32_t result;  // 0, or the error that was logged
    uint8_t *buffer; // size field and body, owned by the caller; null on failure
    uint32_t length; // bytes in buffer
    bool cleared;    // the entry's connection was closed
};

// Reads one reply (size field, then body) from the socket of the entry at
// `brokerIndex`. The buffer is null when no complete reply was read: either
// nothing (more) was there (`cleared` false), or the connection ended and
// the entry has been cleared with warnings (`result` 0 for a connection that
// the broker closed, else the error logged). With `partialOk` a reply whose
// body is not all there yet stays on the entry with what has come, and a
// later call goes on with it; otherwise the call waits for the whole reply.
ReceivedReply transport_receiveReply(PCB *pcb, uint32_t brokerIndex, bool partialOk);

// Takes the entry's part-read reply off it (null when none); the caller
// releases it or hands it on.
uint8_t *transport_takePartialReply(BrokerEntry *entry);

#endif
