#include "support/tls_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace bqxtest {

namespace {

// ---- certificates -------------------------------------------------------------

void addExtension(X509 *cert, X509 *issuer, int nid, const char *value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for `key`, signed by `issuer` (itself when null).
X509 *makeCert(EVP_PKEY *key, const char *commonName, X509 *issuer, EVP_PKEY *issuerKey,
               const char *altName) {
    static long serial = 1;
    X509 *cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 86400);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(commonName), -1, -1, 0);
    X509 *signer = issuer ? issuer : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    addExtension(cert, signer, NID_basic_constraints, issuer ? "CA:FALSE" : "critical,CA:TRUE");
    if (!issuer)
        addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    if (altName)
        addExtension(cert, signer, NID_subject_alt_name, altName);
    X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256());
    return cert;
}

void writeCert(const std::string &path, X509 *cert) {
    FILE *file = fopen(path.c_str(), "w");
    PEM_write_X509(file, cert);
    fclose(file);
}

void writeKey(const std::string &path, EVP_PKEY *key) {
    FILE *file = fopen(path.c_str(), "w");
    PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(file);
}

TlsFiles makeFiles() {
    char dirTemplate[] = "/tmp/bqx-tls-XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    TlsFiles files{dir + "/ca.pem",     dir + "/other-ca.pem", dir + "/server.pem",
                   dir + "/server.key", dir + "/client.pem",   dir + "/client.key"};
    EVP_PKEY *caKey = EVP_EC_gen("P-256");
    EVP_PKEY *otherKey = EVP_EC_gen("P-256");
    EVP_PKEY *serverKey = EVP_EC_gen("P-256");
    EVP_PKEY *clientKey = EVP_EC_gen("P-256");
    X509 *ca = makeCert(caKey, "bqx test CA", nullptr, nullptr, nullptr);
    X509 *other = makeCert(otherKey, "bqx other CA", nullptr, nullptr, nullptr);
    X509 *server = makeCert(serverKey, "127.0.0.1", ca, caKey, "IP:127.0.0.1");
    X509 *client = makeCert(clientKey, "bqx client", ca, caKey, nullptr);
    writeCert(files.caFile, ca);
    writeCert(files.otherCaFile, other);
    writeCert(files.serverCert, server);
    writeKey(files.serverKey, serverKey);
    writeCert(files.clientCert, client);
    writeKey(files.clientKey, clientKey);
    for (X509 *cert : {ca, other, server, client})
        X509_free(cert);
    for (EVP_PKEY *key : {caKey, otherKey, serverKey, clientKey})
        EVP_PKEY_free(key);
    return files;
}

// ---- the relay ------------------------------------------------------------------

int connectBackend(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

SSL_CTX *serverContext(bool requireClientCert, bool tls12Only) {
    const TlsFiles &files = tlsFiles();
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (tls12Only) {
        SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
        // SSL_read returns after handshake records: see renegotiate().
        SSL_CTX_clear_mode(context, SSL_MODE_AUTO_RETRY);
    }
    SSL_CTX_use_certificate_file(context, files.serverCert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(context, files.serverKey.c_str(), SSL_FILETYPE_PEM);
    if (requireClientCert) {
        SSL_CTX_load_verify_locations(context, files.caFile.c_str(), nullptr);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return context;
}

// Moves what the backend has (gathering for `coalesceMs`) into one write.
bool backendToClient(SSL *tls, int backend, int coalesceMs) {
    std::vector<unsigned char> bytes(65536);
    ssize_t n = read(backend, bytes.data(), bytes.size());
    if (n <= 0)
        return false;
    size_t have = static_cast<size_t>(n);
    if (coalesceMs > 0) {
        usleep(static_cast<useconds_t>(coalesceMs) * 1000);
        ssize_t more = recv(backend, bytes.data() + have, bytes.size() - have, MSG_DONTWAIT);
        if (more > 0)
            have += static_cast<size_t>(more);
    }
    return SSL_write(tls, bytes.data(), static_cast<int>(have)) > 0;
}

// Asks for a renegotiation and waits until the client has completed it
// (or refused it: false).
bool renegotiate(SSL *tls) {
    if (SSL_renegotiate(tls) != 1 || SSL_do_handshake(tls) != 1)
        return false;
    while (SSL_renegotiate_pending(tls)) {
        unsigned char none;
        int n = SSL_read(tls, &none, 1);
        if (n <= 0 && SSL_get_error(tls, n) != SSL_ERROR_WANT_READ)
            return false;
    }
    return true;
}

int apiKeyOf(const unsigned char *request, int length) {
    return length >= 6 ? (request[4] << 8) | request[5] : -1;
}

// Relays one request; false ends the relay. The hostile options act here.
bool clientToBackend(SSL *tls, int client, int backend, const TlsFrontOptions &options,
                     bool *stalled) {
    unsigned char bytes[16384];
    int n = SSL_read(tls, bytes, sizeof bytes);
    if (n <= 0)
        return false;
    int key = apiKeyOf(bytes, n);
    if (key >= 0 && key == options.partialRecordOnKey) {
        static const unsigned char header[] = {0x17, 0x03, 0x03};
        *stalled = write(client, header, sizeof header) == sizeof header;
        return *stalled;
    }
    if (key >= 0 && key == options.renegotiateOnKey && !renegotiate(tls))
        return false;
    return write(backend, bytes, static_cast<size_t>(n)) == n;
}

} // namespace

const TlsFiles &tlsFiles() {
    static const TlsFiles files = makeFiles();
    return files;
}

TlsFront::TlsFront(int backendPort, TlsFrontOptions options)
    : backendPort_(backendPort), options_(options) {
    tlsFiles();
    listenFd_ = listenOnLoopback(&port_);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TlsFront::~TlsFront() {
    stop_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : sockets_)
            shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &relay : relays_)
        relay.join();
    for (int fd : sockets_)
        close(fd);
    close(listenFd_);
}

void TlsFront::acceptLoop() {
    for (;;) {
        int client = accept(listenFd_, nullptr, nullptr);
        if (client < 0 || stop_) {
            if (client >= 0)
                close(client);
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        sockets_.push_back(client);
        relays_.emplace_back([this, client] { relay(client); });
    }
}

void TlsFront::relay(int client) {
    SSL_CTX *context = serverContext(options_.requireClientCert, options_.tls12Only);
    SSL *tls = SSL_new(context);
    SSL_set_fd(tls, client);
    int backend = -1;
    if (SSL_accept(tls) == 1) {
        backend = connectBackend(backendPort_);
    } else {
        // As a broker's TLS listener answers what is no TLS: a fatal
        // protocol_version alert.
        static const unsigned char alert[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x46};
        (void)!write(client, alert, sizeof alert);
    }
    if (backend >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        sockets_.push_back(backend);
    }
    bool stalled = false; // a partial record went out: nothing more is read or relayed
    for (int stalledMs = 0; backend >= 0 && !stop_ && stalledMs < 3000;) {
        pollfd ready[2] = {{client, POLLIN, 0}, {backend, POLLIN, 0}};
        if (stalled) {
            usleep(20 * 1000);
            stalledMs += 20;
            // The rest of the header (a 16 KiB record), then its body.
            unsigned char next = stalledMs == 200 ? 0x40 : 0;
            if (stalledMs % 200 == 0 && write(client, &next, 1) != 1)
                break;
            continue;
        }
        if (SSL_pending(tls) == 0 && poll(ready, 2, 100) <= 0)
            continue;
        if ((SSL_pending(tls) > 0 || ready[0].revents) &&
            !clientToBackend(tls, client, backend, options_, &stalled))
            break;
        if (ready[1].revents && !backendToClient(tls, backend, options_.coalesceMs))
            break;
    }
    SSL_free(tls);
    SSL_CTX_free(context);
    ERR_clear_error();
    // The sockets are closed by the owner of the list, after the relays end.
    if (backend >= 0)
        shutdown(backend, SHUT_RDWR);
    shutdown(client, SHUT_RDWR);
}

} // namespace bqxtest
