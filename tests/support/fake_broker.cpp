#include "support/fake_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "support/protocol_support.h"

namespace bqxtest {

namespace {

constexpr size_t kHeaderBytes = 12; // size, key, version, correlation id

void writeAll(int fd, const uint8_t *data, size_t length) {
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

Bytes frame(const FakeRequest &request, const FakeAction &action) {
    return WireBytes{action.body}.reply(request.correlId + action.correlDelta);
}

} // namespace

FakeAction FakeAction::reply(Bytes body, int32_t correlDelta) {
    FakeAction action;
    action.body = std::move(body);
    action.correlDelta = correlDelta;
    return action;
}

FakeAction FakeAction::rawSizeField(int32_t size) {
    FakeAction action;
    action.kind = Kind::kRawSize;
    action.rawSize = size;
    return action;
}

FakeAction FakeAction::halfThenClose(Bytes body, int32_t correlDelta) {
    FakeAction action = reply(std::move(body), correlDelta);
    action.kind = Kind::kHalfThenClose;
    return action;
}

FakeAction FakeAction::close() {
    FakeAction action;
    action.kind = Kind::kClose;
    return action;
}

FakeAction FakeAction::noReply() {
    FakeAction action;
    action.kind = Kind::kNoReply;
    return action;
}

FakeAction FakeAction::urgentByte() {
    FakeAction action;
    action.kind = Kind::kUrgentByte;
    return action;
}

FakeAction FakeAction::trickle(Bytes body, int gapMs) {
    FakeAction action = reply(std::move(body));
    action.kind = Kind::kTrickle;
    action.gapMs = gapMs;
    return action;
}

FakeAction FakeAction::stopReading() {
    FakeAction action;
    action.kind = Kind::kStopReading;
    return action;
}

FakeAction FakeAction::delayed(int ms) const {
    FakeAction action = *this;
    action.delayMs = ms;
    return action;
}

FakeAction FakeAction::heldBy(std::shared_ptr<FakeGate> held) const {
    FakeAction action = *this;
    action.gate = std::move(held);
    return action;
}

void FakeGate::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    opened_.notify_all();
}

void FakeGate::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
}

Bytes apiVersionsBody(int16_t errorCode, const std::vector<ApiRange> &ranges) {
    WireBytes w;
    w.i16(errorCode).uvarint(ranges.size() + 1);
    for (const ApiRange &r : ranges)
        w.i16(r[0]).i16(r[1]).i16(r[2]).i8(0);
    return w.i32(0).i8(0).bytes; // throttle, tags
}

Bytes saslHandshakeBody(int16_t errorCode, const std::vector<std::string> &mechanisms) {
    WireBytes w;
    w.i16(errorCode).i32(static_cast<int64_t>(mechanisms.size()));
    for (const std::string &name : mechanisms)
        w.str(name);
    return w.bytes;
}

FakeBroker::FakeBroker() {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0; // the kernel picks a free port
    socklen_t size = sizeof address;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr *>(&address), &size) != 0 ||
        pipe(wakePipe_) != 0)
        return; // port() stays 0; the tests that use it fail
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

FakeBroker::~FakeBroker() {
    if (thread_.joinable()) {
        char stop = 's';
        (void)!write(wakePipe_[1], &stop, 1);
        thread_.join();
    }
    for (Connection &connection : connections_)
        ::close(connection.fd);
    for (int fd : {listenFd_, wakePipe_[0], wakePipe_[1]})
        if (fd >= 0)
            ::close(fd);
}

void FakeBroker::script(const FakeAction &action) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(action);
}

std::vector<FakeRequest> FakeBroker::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool FakeBroker::waitForRequests(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= count; });
}

int FakeBroker::connectionsAccepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

void FakeBroker::run() {
    for (;;) {
        std::vector<pollfd> fds = {{wakePipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (const Connection &connection : connections_)
            fds.push_back({connection.deaf ? -1 : connection.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents)
            return;
        if (fds[1].revents)
            acceptOne();
        // Walk backwards so that erasing keeps the remaining indexes valid.
        for (size_t i = fds.size(); i-- > 2;) {
            if (!fds[i].revents || readFrom(connections_[i - 2]))
                continue;
            ::close(connections_[i - 2].fd);
            connections_.erase(connections_.begin() + static_cast<long>(i - 2));
        }
    }
}

void FakeBroker::acceptOne() {
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0)
        return;
    connections_.push_back({fd, {}});
    std::lock_guard<std::mutex> lock(mutex_);
    ++accepted_;
}

bool FakeBroker::readFrom(Connection &connection) {
    uint8_t chunk[4096];
    ssize_t n = recv(connection.fd, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    connection.pending.insert(connection.pending.end(), chunk, chunk + n);
    while (connection.pending.size() >= 4 && !connection.deaf) {
        size_t total = 4 + readBe32(connection.pending.data());
        if (connection.pending.size() < total)
            break;
        Bytes request(connection.pending.begin(), connection.pending.begin() + long(total));
        connection.pending.erase(connection.pending.begin(),
                                 connection.pending.begin() + long(total));
        if (!handle(connection, request))
            return false;
    }
    return true;
}

FakeAction FakeBroker::nextAction(const FakeRequest &request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    arrived_.notify_all();
    if (!script_.empty()) {
        FakeAction action = script_.front();
        script_.pop_front();
        return action;
    }
    if (responder_)
        return responder_(request);
    if (request.apiKey == kApiVersionsKey)
        return FakeAction::reply(apiVersionsBody());
    return FakeAction::noReply();
}

void FakeBroker::respond(std::function<FakeAction(const FakeRequest &)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

bool FakeBroker::handle(Connection &connection, const Bytes &raw) {
    FakeRequest request;
    request.raw = raw;
    if (raw.size() >= kHeaderBytes) {
        request.apiKey = static_cast<int16_t>((raw[4] << 8) | raw[5]);
        request.apiVersion = static_cast<int16_t>((raw[6] << 8) | raw[7]);
        request.correlId = static_cast<int32_t>(readBe32(raw.data() + 8));
    }
    FakeAction action = nextAction(request);
    if (action.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(action.delayMs));
    if (action.gate)
        action.gate->wait();
    Bytes reply = frame(request, action);
    switch (action.kind) {
    case FakeAction::Kind::kReply:
        writeAll(connection.fd, reply.data(), reply.size());
        return true;
    case FakeAction::Kind::kRawSize: {
        Bytes size = WireBytes().i32(action.rawSize).bytes;
        writeAll(connection.fd, size.data(), size.size());
        return true;
    }
    case FakeAction::Kind::kHalfThenClose:
        // At least the whole size field and one byte more, never all of it.
        writeAll(connection.fd, reply.data(), std::max<size_t>(5, reply.size() / 2));
        return false;
    case FakeAction::Kind::kClose:
        return false;
    case FakeAction::Kind::kNoReply:
        return true;
    case FakeAction::Kind::kTrickle:
        return trickle(connection.fd, reply, action.gapMs);
    case FakeAction::Kind::kStopReading:
        connection.deaf = true;
        return true;
    case FakeAction::Kind::kUrgentByte: {
        uint8_t byte = 'U';
        send(connection.fd, &byte, 1, MSG_OOB | MSG_NOSIGNAL);
        return true;
    }
    }
    return true;
}

// Ends early when the peer has closed or the fake is being destroyed.
bool FakeBroker::trickle(int fd, const Bytes &reply, int gapMs) {
    for (uint8_t byte : reply) {
        if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1)
            return false;
        pollfd stop = {wakePipe_[0], POLLIN, 0};
        if (poll(&stop, 1, gapMs) != 0)
            return true; // the run loop sees the stop request
    }
    return true;
}

} // namespace bqxtest
