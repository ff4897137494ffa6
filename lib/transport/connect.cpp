// Opening the TCP connection of a broker entry (with its TLS layer when the
// session asks for TLS) and its handshake.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "api/pcb.h"
#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "auth/sasl_scram.h"
#include "transport/tls.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

int (*gpfnGetAddrInfo)(const char *, const char *, const addrinfo *, addrinfo **) = getaddrinfo;

namespace {

constexpr const char *kTag = "Connect";
constexpr uint32_t kDefaultConnectSeconds = 30;
constexpr int32_t kMaxPort = 65535;

// A producing session that retries a dead broker with a back-off logs its
// failure once per episode (until a connect succeeds), not per attempt.
int32_t failConnect(PCB *pcb, BrokerEntry *entry, int fd, const char *callName, int error) {
    if (entry->u32ConnectFailures == 0)
        transport_logTcpError(pcb, kTag, entry, callName, error);
    close(fd);
    return ERR_TCPIP;
}

int32_t failLookup(PCB *pcb, BrokerEntry *entry, int fd, int lookupError) {
    bqx_log_vf(ERR_TCPIP, pcb, kTag, entry->i32BrokerID, -1, 5, "getaddrinfo()",
               transport_host(entry), entry->i32Port, lookupError, gai_strerror(lookupError));
    close(fd);
    return ERR_TCPIP;
}

// Longest host name kept for the resolver; DNS names have at most 253.
constexpr size_t kMaxHostName = 255;

// Resolves `host` to its first IPv4 address. The resolver's service does
// not decide the port: the entry's own port is set afterwards.
int resolveHost(const char *host, sockaddr_in *address) {
    if (!host[0])
        return EAI_NONAME; // an empty name would resolve to the local host
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *results = nullptr;
    int rc = gpfnGetAddrInfo(host, "9092", &hints, &results);
    if (rc != 0)
        return rc;
    rc = EAI_NONAME;
    for (addrinfo *result = results; result; result = result->ai_next) {
        if (result->ai_family == AF_INET && result->ai_addrlen >= sizeof *address) {
            memcpy(address, result->ai_addr, sizeof *address);
            rc = 0;
            break;
        }
    }
    freeaddrinfo(results);
    return rc;
}

// Resolves the entry's host with the global lock released: a name server
// that is slow to answer must not stop every other session. The name is
// copied first, since the entry may change while the lock is free.
// *given holds 7502 when the session was taken over meanwhile.
int resolveUnlocked(PCB *pcb, const BrokerEntry *entry, sockaddr_in *address, int32_t *given) {
    char host[kMaxHostName + 1];
    if (!entry->pszHost || strlen(entry->pszHost) > kMaxHostName)
        return EAI_NONAME;
    strcpy(host, entry->pszHost);
    *given = bqx_check_taken(pcb, kTag);
    if (*given != 0)
        return 0;
    bqx_release(kTag);
    int rc = resolveHost(host, address);
    *given = bqx_retake(pcb, kTag, false);
    return rc;
}

// Waits until a non-blocking connect has finished, with the global lock
// released: a broker host that never answers must not stop every other
// session (and the heartbeat thread) for the whole connect time-out. The
// session's wake pipe ends the wait when a close or reconnect takes the
// session over (*given then holds 7502). Returns 0 or an errno.
int awaitConnected(PCB *pcb, int fd, uint32_t seconds, int32_t *given) {
    int64_t deadline = transport_monotonicMs() + static_cast<int64_t>(seconds) * 1000;
    int error = transport_awaitUnlocked(pcb, kTag, fd, POLLOUT, deadline, given);
    if (error != 0)
        return error;
    int result = 0;
    socklen_t size = sizeof result;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size) != 0)
        return errno;
    return result;
}

// Connects with a time-out: non-blocking while connecting, blocking again
// afterwards. Returns 0 or an errno.
int connectWithTimeout(PCB *pcb, int fd, const sockaddr_in *address, uint32_t seconds,
                       int32_t *given) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return errno;
    int error = 0;
    if (connect(fd, reinterpret_cast<const sockaddr *>(address), sizeof *address) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR)
            error = awaitConnected(pcb, fd, seconds, given);
    }
    if (fcntl(fd, F_SETFL, flags) < 0 && error == 0)
        error = errno;
    return error;
}

int32_t failTls(PCB *pcb, BrokerEntry *entry, int fd, ssl_st *tls, const char *reason,
                int code) {
    tls_free(tls, false);
    SocketIo failure = {-1, 0, code, reason};
    transport_logIoError(pcb, kTag, entry, "SSL_connect()", failure);
    close(fd);
    return ERR_TCPIP;
}

// The entry after a step that released the lock, or null with *rc set and
// `fd` closed: 7502 when the session was taken over (`given`), 7500 when a
// Metadata reply replaced the table meanwhile.
BrokerEntry *entryAgain(PCB *pcb, uint32_t brokerIndex, const BrokerEntry *table, int fd,
                        int32_t given, int32_t *rc) {
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    if (given != 0) {
        close(fd);
        *rc = given;
        return nullptr;
    }
    if (pcb->pBrokerList != table || !entry) {
        *rc = failConnect(pcb, nullptr, fd, "connect()", ECONNABORTED);
        return nullptr;
    }
    return entry;
}

// The TLS handshake, by the connect time-out; its waits release the global
// lock as the connect's do. On failure the layer and the socket are closed
// and OpenSSL's reason is logged (or 7502 returned when the session was
// taken over meanwhile).
int32_t handshakeTls(PCB *pcb, uint32_t brokerIndex, const BrokerEntry *table, int fd,
                     ssl_st *tls, uint32_t seconds) {
    int64_t deadline = transport_monotonicMs() + static_cast<int64_t>(seconds) * 1000;
    char reason[kTlsReasonSize];
    int code = 0;
    for (;;) {
        int events = tls_handshakeStep(tls, reason, sizeof reason, &code);
        if (events == 0)
            return 0;
        if (events < 0)
            break;
        int32_t given = 0;
        int error = transport_awaitUnlocked(pcb, kTag, fd, static_cast<short>(events), deadline,
                                            &given);
        int32_t rc = 0;
        if (given != 0 || pcb->pBrokerList != table || !transport_entry(pcb, brokerIndex)) {
            tls_free(tls, false);
            entryAgain(pcb, brokerIndex, table, fd, given, &rc);
            return rc;
        }
        if (error == ETIMEDOUT) {
            snprintf(reason, sizeof reason, "TLS handshake timed out after %u s", seconds);
            code = ETIMEDOUT;
            break;
        }
        if (error != 0) {
            char buffer[kErrorTextSize];
            snprintf(reason, sizeof reason, "%s", transport_errorText(error, buffer, sizeof buffer));
            code = error;
            break;
        }
    }
    return failTls(pcb, transport_entry(pcb, brokerIndex), fd, tls, reason, code);
}

// Opens the entry's connection. The entry is found again by its index each
// time the lock was released (name lookup, connect wait); a Metadata reply
// that replaced the table meanwhile may have moved it, and the new socket
// is then given up (the next request connects again).
int32_t openConnection(PCB *pcb, uint32_t brokerIndex) {
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return transport_logTcpError(pcb, kTag, entry, "socket()", errno);
    const BrokerEntry *table = pcb->pBrokerList;
    sockaddr_in address;
    int32_t given = 0;
    int lookupError = resolveUnlocked(pcb, entry, &address, &given);
    int32_t rc = 0;
    if (!(entry = entryAgain(pcb, brokerIndex, table, fd, given, &rc)))
        return rc;
    if (lookupError != 0)
        return failLookup(pcb, entry, fd, lookupError);
    if (entry->i32Port < 0 || entry->i32Port > kMaxPort)
        return failConnect(pcb, entry, fd, "connect()", EINVAL);
    address.sin_port = htons(static_cast<uint16_t>(entry->i32Port));

    // Requests are small and pipelined: send each at once.
    int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    uint32_t seconds = pcb->u32Timeout ? pcb->u32Timeout : kDefaultConnectSeconds;
    int error = connectWithTimeout(pcb, fd, &address, seconds, &given);
    if (!(entry = entryAgain(pcb, brokerIndex, table, fd, given, &rc)))
        return rc;
    if (error != 0)
        return failConnect(pcb, entry, fd, "connect()", error);
    ssl_st *tls = nullptr;
    if (pcb->u32Tls) {
        if (!(tls = tls_new(pcb, fd, transport_host(entry))))
            return failTls(pcb, entry, fd, nullptr, "cannot set up the TLS layer", ENOMEM);
        rc = handshakeTls(pcb, brokerIndex, table, fd, tls, seconds);
        if (rc != 0)
            return rc;
        entry = transport_entry(pcb, brokerIndex);
    }
    entry->i32Socket = fd;
    entry->pTls = tls;
    return 0;
}

bool isPending(const BrokerEntry &entry, uint32_t correlId) {
    for (const PendingRequest *request = entry.pPendingHead; request; request = request->pNext)
        if (request->u32CorrelID == correlId)
            return true;
    return false;
}

bool apiVersionsDone(const BrokerEntry &entry) { return entry.u32ApiVersionsKnown != 0; }
bool mechanismAccepted(const BrokerEntry &entry) { return entry.u32SaslStep >= 1; }
// Accepted, or refused with SCRAM chosen in place of PLAIN for a second try.
bool mechanismAnswered(const BrokerEntry &entry) {
    return mechanismAccepted(entry) || entry.u32SaslMechanism != kSaslPlain;
}
bool serverFirstRead(const BrokerEntry &entry) {
    return entry.pScram && entry.pScram->u32Stage >= kScramFirstRead;
}
bool authenticated(const BrokerEntry &entry) { return entry.u32SaslStep >= 2; }

// One request of the handshake. Its wait also dispatches other brokers'
// replies and returns the first error of any of them, so the outcome is
// read from this entry's own state: its reply handled without error is
// success, whatever the wait returned; while its request is still pending
// on the open socket, the wait goes on (requests queued behind it by other
// threads meanwhile are not waited for). Returns 0 or this connection's
// own error (logged).
int32_t handshakeStep(PCB *pcb, uint32_t brokerIndex, int32_t (*sendRequest)(PCB *, uint32_t),
                      bool (*done)(const BrokerEntry &)) {
    const BrokerEntry *table = pcb->pBrokerList;
    // The header builder gives the request the entry's next id; requests
    // queued by others while the lock is released get later ones.
    uint32_t ownId = table[brokerIndex].u32LastCorrelID + 1;
    if (ownId == 0)
        ownId = 1;
    int32_t rc = sendRequest(pcb, brokerIndex);
    for (;;) {
        if (pcb->pBrokerList != table)
            return rc; // a handler replaced the table: nothing of this entry is left
        const BrokerEntry &entry = pcb->pBrokerList[brokerIndex];
        if (done(entry))
            return 0;
        bool stillWaiting = entry.i32Socket != -1 && isPending(entry, ownId);
        // The wait's own failures (time-out, select, memory, the session
        // taken over by a close or reconnect) end the step too.
        if (!stillWaiting || rc == ERR_TIMEOUT || rc == ERR_MEMORY || rc == ERR_HANDLE ||
            rc < 0)
            break;
        rc = kafka_waitReply(pcb, WAIT_QUEUE, brokerIndex);
    }
    if (rc == 0)
        rc = transport_checkNotDropped(pcb, table, brokerIndex, rc);
    if (rc == 0) { // the handler refused the reply without an error number
        bqx_log_vf(ERR_PROTOCOL, pcb, kTag, pcb->pBrokerList[brokerIndex].i32BrokerID, -1, 1,
                   "handshake reply not accepted");
        rc = ERR_PROTOCOL;
    }
    return rc;
}

// A broker closes the connection on which it refused a mechanism: the
// second handshake runs on a new connection (ApiVersions first, as on
// every connection) that names the SCRAM chosen from the refusal.
int32_t reconnectForScram(PCB *pcb, uint32_t brokerIndex, const BrokerEntry *table) {
    uint32_t mechanism = table[brokerIndex].u32SaslMechanism;
    uint32_t stale = pcb->u32MetadataStale;
    kafka_clearBroker(pcb, brokerIndex, 0);
    pcb->u32MetadataStale = stale; // the broker is there: its leaders need no refresh
    int32_t rc = openConnection(pcb, brokerIndex);
    if (rc != 0)
        return rc;
    BrokerEntry &entry = pcb->pBrokerList[brokerIndex]; // same table: checked by the open
    entry.u32SaslMechanism = mechanism;
    entry.u32SaslStep = 0;
    return handshakeStep(pcb, brokerIndex, kafka_apiversion, apiVersionsDone);
}

// SASL on a new connection: the handshake names PLAIN; a broker that
// refuses it and offers SCRAM is asked again with that mechanism. Then one
// SaslAuthenticate round for PLAIN, two for SCRAM. A table replaced
// meanwhile leaves no entry to read: the last step then reports it.
// With sasl.mechanism set, the handshake names that mechanism only, and a
// refusal ends the connect: a broker (or an impostor) that would accept
// PLAIN never sees the password of a SCRAM user.
int32_t saslExchange(PCB *pcb, uint32_t brokerIndex) {
    const BrokerEntry *table = pcb->pBrokerList;
    uint32_t fixed = pcb->u32SaslMechanismSet;
    if (fixed != 0)
        pcb->pBrokerList[brokerIndex].u32SaslMechanism = fixed - 1;
    int32_t rc = handshakeStep(pcb, brokerIndex, kafka_saslhandshake,
                               fixed != 0 ? mechanismAccepted : mechanismAnswered);
    if (rc == 0 && fixed == 0 && pcb->pBrokerList == table &&
        !mechanismAccepted(table[brokerIndex])) {
        rc = reconnectForScram(pcb, brokerIndex, table);
        if (rc == 0)
            rc = handshakeStep(pcb, brokerIndex, kafka_saslhandshake, mechanismAccepted);
    }
    if (rc == 0 && pcb->pBrokerList == table && table[brokerIndex].u32SaslMechanism != kSaslPlain)
        rc = handshakeStep(pcb, brokerIndex, kafka_saslauthenticate, serverFirstRead);
    if (rc == 0)
        rc = handshakeStep(pcb, brokerIndex, kafka_saslauthenticate, authenticated);
    return rc;
}

// ApiVersions, then SASL when credentials are set. A connection whose own
// handshake failed is closed, so that no half-authenticated socket is used;
// requests queued on it meanwhile are dropped with a warning each.
int32_t handshake(PCB *pcb, uint32_t brokerIndex) {
    BrokerEntry &entry = pcb->pBrokerList[brokerIndex];
    entry.u32ApiVersionsKnown = 0;
    entry.u32SaslStep = 0;
    scram_clear(&entry); // every connection starts with PLAIN
    const BrokerEntry *table = pcb->pBrokerList;
    int32_t rc = handshakeStep(pcb, brokerIndex, kafka_apiversion, apiVersionsDone);
    if (rc == 0 && pcb->u32SaslEnabled == 1)
        rc = saslExchange(pcb, brokerIndex);
    if (rc != 0 && pcb->pBrokerList == table)
        kafka_clearBroker(pcb, brokerIndex, 0);
    return rc;
}

} // namespace

int32_t kafka_connect(PCB *pcb, uint32_t brokerIndex) {
    // One connect of a session at a time: another call of the session that
    // is connecting has released the lock. Its connection may be this one.
    if (pcb->u32Connecting) {
        const BrokerEntry *table = pcb->pBrokerList;
        while (pcb->u32Connecting) {
            int32_t rc = bqx_await_session_change(pcb, kTag);
            if (rc != 0)
                return rc;
        }
        const BrokerEntry *now = transport_entry(pcb, brokerIndex);
        if (pcb->pBrokerList == table && now && now->i32Socket != -1)
            return 0;
    }
    BrokerEntry *entry = transport_entry(pcb, brokerIndex);
    if (!entry)
        return transport_badIndex(pcb, kTag, "connect()", brokerIndex);
    if (pcb->iDebugLevel > 1)
        bqx_log_vf(INF_BROKER, pcb, kTag, entry->i32BrokerID, -1, 2, transport_host(entry),
                   entry->i32Port);
    // A new connection starts with an empty queue: replies to requests of an
    // earlier connection can never come and would block every later match.
    if (entry->i32Socket != -1 || entry->pPendingHead)
        kafka_clearBroker(pcb, brokerIndex, 0);
    // Set until the handshake is done: a connection is used by no other
    // call of the session before it has been authenticated.
    pcb->u32Connecting = 1;
    const BrokerEntry *tableBefore = pcb->pBrokerList;
    int32_t rc = openConnection(pcb, brokerIndex);
    // An idempotent producing session (producer id held) retries a dead
    // broker with a back-off: its connect failures are logged once per
    // episode, until a connect succeeds.
    if (pcb->pBrokerList == tableBefore && rc != ERR_HANDLE && pcb->u32ProducerIdState == 1) {
        BrokerEntry *again = &pcb->pBrokerList[brokerIndex];
        again->u32ConnectFailures = rc == 0 ? 0 : again->u32ConnectFailures + 1;
    }
    if (rc == 0)
        rc = handshake(pcb, brokerIndex);
    pcb->u32Connecting = 0;
    bqx_session_changed();
    return rc;
}
