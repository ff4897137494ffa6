// TLS over a broker connection (OpenSSL): the session's context, the
// handshake and non-blocking reads and writes. Used by the transport only.
#ifndef BQX_TRANSPORT_TLS_H
#define BQX_TRANSPORT_TLS_H

#include <stddef.h>
#include <stdint.h>

struct PCB;
struct ssl_st;

// Room for a failure's text: OpenSSL's reason, with detail.
constexpr size_t kTlsReasonSize = 128;

// Outcome of one non-blocking read or write on a connection, plain or TLS.
struct SocketIo {
    long bytes;          // > 0: bytes moved
    short waitFor;       // POLLIN or POLLOUT: nothing moved yet, wait for this
    int error;           // errno-like number of a failure, 0 otherwise
    const char *reason;  // OpenSSL's text of a TLS failure, else null
};
// bytes == 0, waitFor == 0 and error == 0: the peer closed the connection.

// A TLS layer for `fd`, checked against `host` (a name or an IP address),
// or null (logged by the caller) when OpenSSL cannot make one.
ssl_st *tls_new(PCB *pcb, int fd, const char *host);

// One step of the client handshake. Returns 0 when done, POLLIN or POLLOUT
// when it must wait for the socket, or -1 with the reason written (and the
// number for the log line in *code).
int tls_handshakeStep(ssl_st *tls, char *reason, size_t size, int *code);

// Reads or writes at most `length` bytes without blocking.
SocketIo tls_read(ssl_st *tls, uint8_t *into, uint32_t length);
SocketIo tls_write(ssl_st *tls, const uint8_t *bytes, uint32_t length);

// True when OpenSSL holds decrypted bytes not yet handed out: the socket
// may look idle although a reply can be read. Bytes of a record that is
// not complete yet do not count (only the socket can bring the rest).
bool tls_hasBuffered(ssl_st *tls);

// Ends the layer: a close_notify when the connection is sound (`orderly`),
// then the layer is freed. The socket itself is the caller's.
void tls_free(ssl_st *tls, bool orderly);

#endif
