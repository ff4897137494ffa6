// TLS over broker connections with OpenSSL. The session's context holds
// the trust store (the system's, or BQX_SSL_CA_FILE) and, for mutual TLS,
// the client certificate and key (BQX_SSL_CERT_FILE, BQX_SSL_KEY_FILE).
// Each connection reads and writes its socket through a small BIO of our
// own that never blocks and never raises SIGPIPE, so the transport's
// deadlines and readiness waits work as they do on plaintext.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "api/pcb.h"
#include "log/log.h"
#include "log/messages.h"
#include "transport/tls.h"
#include "transport/transport.h"
#include "transport/transport_internal.h"

namespace {

// ---- the socket BIO ---------------------------------------------------------

int bioFd(BIO *bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int bioWrite(BIO *bio, const char *data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n = send(bioFd(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && wouldBlock(errno))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int bioRead(BIO *bio, char *into, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n = recv(bioFd(bio), into, static_cast<size_t>(length), MSG_DONTWAIT);
    if (n < 0 && wouldBlock(errno))
        BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long bioCtrl(BIO *, int command, long, void *) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once for the process; OpenSSL keeps it until exit.
const BIO_METHOD *socketMethod() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "bqx socket");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioCtrl);
            BIO_meth_set_create(m, bioCreate);
        }
        return m;
    }();
    return method;
}

// ---- failure texts ------------------------------------------------------------

// The reason of the newest queued OpenSSL error, or null; the queue is
// emptied, since it is kept per thread and would mislead a later call.
const char *queuedReason(unsigned long *code) {
    unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (code)
        *code = error;
    return error ? ERR_reason_error_string(error) : nullptr;
}

// ---- the session's context ----------------------------------------------------

constexpr const char *kSetupTag = "BQXCONN";

int32_t logSetupFailure(PCB *pcb, const char *setting, const char *file) {
    unsigned long code = 0;
    const char *reason = queuedReason(&code);
    char text[kTlsReasonSize];
    snprintf(text, sizeof text, "%s", reason ? reason : "cannot be used");
    bqx_log_vf(ERR_TCPIP, pcb, kSetupTag, -1, -1, 5, setting, file ? file : "", 0,
               static_cast<int>(ERR_GET_REASON(code)), text);
    return ERR_TCPIP;
}

// The session's BQXCONF setting (ssl.ca.location and the like), else the
// BQX_SSL_* variable; null when neither is set.
const char *setting(const PCB *pcb, SslFile file, const char *name) {
    const char *value = pcb->apszSslFiles[file] ? pcb->apszSslFiles[file] : getenv(name);
    return value && value[0] ? value : nullptr;
}

// A key file that is encrypted is opened with BQX_SSL_KEY_PASSWORD; without
// one the load fails at once instead of prompting on the terminal.
int keyPassword(char *buffer, int size, int, void *userData) {
    const char *password = static_cast<const char *>(userData);
    if (!password || size <= 0)
        return 0;
    size_t length = strlen(password);
    if (length >= static_cast<size_t>(size))
        return 0;
    memcpy(buffer, password, length);
    return static_cast<int>(length);
}

int32_t loadTrust(PCB *pcb, SSL_CTX *context) {
    const char *caFile = setting(pcb, kSslCaFile, "BQX_SSL_CA_FILE");
    int ok = caFile ? SSL_CTX_load_verify_locations(context, caFile, nullptr)
                    : SSL_CTX_set_default_verify_paths(context);
    return ok == 1 ? 0 : logSetupFailure(pcb, "BQX_SSL_CA_FILE", caFile ? caFile : "(system)");
}

int32_t loadClientCertificate(PCB *pcb, SSL_CTX *context) {
    const char *certFile = setting(pcb, kSslCertFile, "BQX_SSL_CERT_FILE");
    const char *keyFile = setting(pcb, kSslKeyFile, "BQX_SSL_KEY_FILE");
    if (!certFile && !keyFile)
        return 0;
    if (!certFile || !keyFile) {
        ERR_clear_error();
        return logSetupFailure(pcb, certFile ? "BQX_SSL_KEY_FILE" : "BQX_SSL_CERT_FILE",
                               "(not set; both are needed)");
    }
    if (SSL_CTX_use_certificate_chain_file(context, certFile) != 1)
        return logSetupFailure(pcb, "BQX_SSL_CERT_FILE", certFile);
    SSL_CTX_set_default_passwd_cb(context, keyPassword);
    SSL_CTX_set_default_passwd_cb_userdata(
        context, const_cast<char *>(setting(pcb, kSslKeyPassword, "BQX_SSL_KEY_PASSWORD")));
    int ok = SSL_CTX_use_PrivateKey_file(context, keyFile, SSL_FILETYPE_PEM);
    SSL_CTX_set_default_passwd_cb_userdata(context, nullptr);
    if (ok != 1 || SSL_CTX_check_private_key(context) != 1)
        return logSetupFailure(pcb, "BQX_SSL_KEY_FILE", keyFile);
    return 0;
}

} // namespace

int32_t kafka_tls_setup(PCB *pcb, uint32_t tls) {
    kafka_tls_release(pcb);
    pcb->u32Tls = tls;
    if (!tls)
        return 0;
    ERR_clear_error();
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context || !socketMethod())
        return logSetupFailure(pcb, "SSL_CTX_new()", "");
    pcb->pTlsContext = context;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // Writes may be cut at record boundaries and resumed from a moved
    // pointer: the transport's write loop goes on where a write stopped.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A reply cut short by a closed connection is refused by its size field;
    // a missing close_notify is an ordinary close.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // A broker never renegotiates a TLS 1.2 connection: a peer that asks
    // to is refused (and the connection fails), so that nobody on the path
    // can start a new handshake under a connection already verified.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    int32_t rc = loadTrust(pcb, context);
    if (rc == 0)
        rc = loadClientCertificate(pcb, context);
    if (rc != 0)
        kafka_tls_release(pcb);
    return rc;
}

void kafka_tls_release(PCB *pcb) {
    SSL_CTX_free(pcb->pTlsContext); // connections still open hold their own reference
    pcb->pTlsContext = nullptr;
}

ssl_st *tls_new(PCB *pcb, int fd, const char *host) {
    ERR_clear_error();
    SSL *tls = pcb->pTlsContext ? SSL_new(pcb->pTlsContext) : nullptr;
    BIO *bio = tls ? BIO_new(socketMethod()) : nullptr;
    if (!bio) {
        SSL_free(tls);
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    SSL_set_bio(tls, bio, bio);
    // The certificate must name the host the connection was made to: an IP
    // address is matched against the address entries, a name against the
    // DNS names (and is sent as the server name).
    unsigned char address[sizeof(in6_addr)];
    bool isAddress = inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
    int ok = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls), host)
                       : SSL_set1_host(tls, host) && SSL_set_tlsext_host_name(tls, host);
    if (ok != 1) {
        SSL_free(tls);
        return nullptr;
    }
    SSL_set_connect_state(tls);
    return tls;
}

int tls_handshakeStep(ssl_st *tls, char *reason, size_t size, int *code) {
    ERR_clear_error();
    int rc = SSL_do_handshake(tls);
    if (rc == 1)
        return 0;
    int error = SSL_get_error(tls, rc);
    if (error == SSL_ERROR_WANT_READ)
        return POLLIN;
    if (error == SSL_ERROR_WANT_WRITE)
        return POLLOUT;
    int systemError = errno;
    unsigned long queued = 0;
    const char *text = queuedReason(&queued);
    long verify = SSL_get_verify_result(tls);
    if (verify != X509_V_OK) {
        snprintf(reason, size, "certificate verify failed: %s", X509_verify_cert_error_string(verify));
        *code = static_cast<int>(verify);
    } else if (text) {
        snprintf(reason, size, "%s", text);
        *code = ERR_GET_REASON(queued);
    } else if (error == SSL_ERROR_SYSCALL && systemError != 0) {
        char buffer[kErrorTextSize];
        snprintf(reason, size, "%s", transport_errorText(systemError, buffer, sizeof buffer));
        *code = systemError;
    } else {
        snprintf(reason, size, "connection closed by the broker during the TLS handshake");
        *code = ECONNRESET;
    }
    return -1;
}

namespace {

// What a failed SSL_read or SSL_write means for the transport.
SocketIo ioResult(SSL *tls, int rc) {
    int error = SSL_get_error(tls, rc);
    int systemError = errno;
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return {0, POLLIN, 0, nullptr};
    case SSL_ERROR_WANT_WRITE:
        return {0, POLLOUT, 0, nullptr};
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return {0, 0, 0, nullptr};
    default:
        break;
    }
    // Nothing more may be sent on a connection that failed, not even the
    // close_notify.
    SSL_set_quiet_shutdown(tls, 1);
    const char *reason = queuedReason(nullptr);
    if (error == SSL_ERROR_SYSCALL && !reason)
        return systemError != 0 ? SocketIo{-1, 0, systemError, nullptr} : SocketIo{0, 0, 0, nullptr};
    return {-1, 0, EPROTO, reason ? reason : "TLS failure"};
}

} // namespace

SocketIo tls_read(ssl_st *tls, uint8_t *into, uint32_t length) {
    ERR_clear_error();
    int rc = SSL_read(tls, into, length > INT32_MAX ? INT32_MAX : static_cast<int>(length));
    return rc > 0 ? SocketIo{rc, 0, 0, nullptr} : ioResult(tls, rc);
}

SocketIo tls_write(ssl_st *tls, const uint8_t *bytes, uint32_t length) {
    ERR_clear_error();
    int rc = SSL_write(tls, bytes, length > INT32_MAX ? INT32_MAX : static_cast<int>(length));
    return rc > 0 ? SocketIo{rc, 0, 0, nullptr} : ioResult(tls, rc);
}

// Decrypted bytes only: SSL_has_pending also counts the bytes of a record
// not yet complete, which cannot be read until the rest arrives.
bool tls_hasBuffered(ssl_st *tls) { return SSL_pending(tls) > 0; }

void tls_free(ssl_st *tls, bool orderly) {
    if (!tls)
        return;
    if (orderly && SSL_is_init_finished(tls)) {
        ERR_clear_error();
        SSL_shutdown(tls); // one non-blocking try at the close_notify
    }
    ERR_clear_error();
    SSL_free(tls);
}
