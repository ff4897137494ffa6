// Loopback ports for tests: a listening socket on a free port, and a port
// on which nothing listens (the kernel hands out a free port, which is
// released again at once).
#ifndef BQX_TESTS_LOOPBACK_H
#define BQX_TESTS_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bqxtest {

// A listening socket on 127.0.0.1 with a port the kernel chose.
inline int listenOnLoopback(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), size);
    listen(fd, 16);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    *port = ntohs(address.sin_port);
    return fd;
}

inline int closedLoopbackPort() {
    int port = 0;
    close(listenOnLoopback(&port));
    return port;
}

} // namespace bqxtest

#endif
