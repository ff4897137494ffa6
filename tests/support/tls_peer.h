// TLS for tests without a broker: certificates made at run time, and a TLS
// front that terminates TLS on 127.0.0.1 and passes the plain bytes on to a
// fake broker.
#ifndef BQX_TESTS_TLS_PEER_H
#define BQX_TESTS_TLS_PEER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/scoped_env.h"

namespace bqxtest {

// PEM files in a temporary directory, made once per process: a CA, a server
// certificate for the address 127.0.0.1 only (the name "localhost" does not
// match it), a client certificate signed by the same CA, and a second,
// unrelated CA.
struct TlsFiles {
    std::string caFile, otherCaFile;
    std::string serverCert, serverKey;
    std::string clientCert, clientKey;
};
const TlsFiles &tlsFiles();

struct TlsFrontOptions {
    bool requireClientCert = false;
    // Replies that arrive from the backend within this time go out in one
    // TLS record, so that OpenSSL reads them at once (0: as they come).
    int coalesceMs = 0;
    // Hostile peers, for requests of this API key (-1: none).
    // Answered by the first 3 bytes of a record header, raw on the socket,
    // then one more byte of the record every 200 ms: it never completes,
    // and the connection is closed 3 s later (a client that spins, or that
    // takes each byte for progress, is caught).
    int partialRecordOnKey = -1;
    // Relayed once the front asked for a renegotiation and the client
    // completed it; a client that refuses ends the connection (TLS 1.2 only).
    int renegotiateOnKey = -1;
    bool tls12Only = false;
};

// Accepts TLS connections and relays each to 127.0.0.1:backendPort.
class TlsFront {
  public:
    TlsFront(int backendPort, TlsFrontOptions options = {});
    ~TlsFront();
    TlsFront(const TlsFront &) = delete;
    TlsFront &operator=(const TlsFront &) = delete;
    int port() const { return port_; }

  private:
    void acceptLoop();
    void relay(int client);

    int backendPort_;
    TlsFrontOptions options_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<int> sockets_; // shut down at the end, so that relays end
    std::vector<std::thread> relays_;
    std::thread acceptor_;
};

} // namespace bqxtest

#endif
