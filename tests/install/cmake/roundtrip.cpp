// An application built outside the bqx tree, in C++, against an installed
// bqx found by find_package(bqx). Produces a few messages to a topic and
// consumes them back in a consumer group of its own; exits 0 only when every
// call succeeded and every message it produced came back.
//
//   bqx_cmake_roundtrip BOOTSTRAP TOPIC
#include <bqx.h>

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <set>
#include <string>

namespace {

constexpr int kMessages = 5;
constexpr uint32_t kCapacity = 256;
constexpr int32_t kTimeoutSeconds = 30;
constexpr int kMaxConsumes = 100;

int32_t size(const std::string &text) { return static_cast<int32_t>(text.size()); }

// Reports a failed call with the session's last error and returns 1.
int failure(int32_t handle, const char *call, int32_t rc) {
    char text[512];
    int32_t length = sizeof(text);
    if (handle < 0 || BQXGERR(handle, text, &length) < 0 || length < 0) length = 0;
    std::fprintf(stderr, "bqx_cmake_roundtrip: %s returned %d: %.*s\n", call, static_cast<int>(rc),
                 static_cast<int>(length), text);
    return 1;
}

int roundtrip(int32_t handle, const std::string &bootstrap, const std::string &topic) {
    // Messages and group are unique to this run: the topic may hold others.
    const std::string run = std::to_string(getpid()) + "-" + std::to_string(std::time(nullptr));
    const std::string group = "bqx-install-cpp-" + run;

    int32_t rc = BQXCONN(handle, bootstrap.data(), size(bootstrap), topic.data(), size(topic));
    if (rc != 0) return failure(handle, "BQXCONN", rc);
    // Batched pipelined: the messages go out together at the synch point.
    rc = BQXSYNC(handle, 4, 2, 100);
    if (rc != 0) return failure(handle, "BQXSYNC", rc);
    std::set<std::string> missing;
    for (int i = 0; i < kMessages; ++i) {
        std::string message = "find_package build " + run + " message " + std::to_string(i);
        rc = BQXPROD(handle, nullptr, 0, message.data(), static_cast<uint32_t>(message.size()), 0);
        if (rc != 0) return failure(handle, "BQXPROD", rc);
        missing.insert(message);
    }
    rc = BQXSYNC(handle, 2, 0, 0);
    if (rc != 0) return failure(handle, "BQXSYNC", rc);

    for (int i = 0; i < kMaxConsumes && !missing.empty(); ++i) {
        char buffer[kCapacity + 1];
        uint32_t length = kCapacity;
        rc = BQXCONS(handle, group.data(), size(group), buffer, &length, 0, kTimeoutSeconds);
        if (rc != 0) return failure(handle, "BQXCONS", rc);
        missing.erase(std::string(buffer, length));
    }
    if (!missing.empty()) {
        std::fprintf(stderr, "bqx_cmake_roundtrip: %zu of %d messages did not come back\n",
                     missing.size(), kMessages);
        return 1;
    }
    std::printf("bqx_cmake_roundtrip: %d messages produced and consumed back\n", kMessages);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BOOTSTRAP TOPIC\n", argv[0]);
        return 2;
    }
    int32_t handle = BQXOPEN();
    if (handle < 0) return failure(handle, "BQXOPEN", handle);
    int status = roundtrip(handle, argv[1], argv[2]);
    int32_t rc = BQXCLSE(handle);
    if (rc != 0 && status == 0) {
        std::fprintf(stderr, "bqx_cmake_roundtrip: BQXCLSE returned %d\n", static_cast<int>(rc));
        status = 1;
    }
    return status;
}
