// A C++ program built with find_package(bqx): produces a few keyed messages
// and consumes them back in a group, with the session held by a small RAII
// wrapper so that it is closed on every path.
//
//   roundtrip BOOTSTRAP TOPIC GROUP
#include <bqx.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class Session {
  public:
    Session() : handle_(BQXOPEN()) {}
    ~Session() {
        if (handle_ >= 0) BQXCLSE(handle_);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    bool open() const { return handle_ >= 0; }
    int32_t conf(const std::string &name, const std::string &value) {
        return BQXCONF(handle_, name.data(), int32_t(name.size()), value.data(),
                       int32_t(value.size()));
    }
    int32_t connect(const std::string &bootstrap, const std::string &topic) {
        return BQXCONN(handle_, bootstrap.data(), int32_t(bootstrap.size()), topic.data(),
                       int32_t(topic.size()));
    }
    int32_t produce(const std::string &key, const std::string &value) {
        return BQXPROD(handle_, key.data(), uint32_t(key.size()), value.data(),
                       uint32_t(value.size()), 0);
    }
    int32_t sync(int32_t mode) { return BQXSYNC(handle_, mode, 100, 1); }
    // One message's value and key, or the error.
    int32_t consume(const std::string &group, std::string *value, std::string *key,
                    int32_t *partition, int64_t *offset) {
        std::vector<char> buffer(65537);
        uint32_t length = 65536;
        int32_t rc = BQXCONS(handle_, group.data(), int32_t(group.size()), buffer.data(), &length,
                             0, 30);
        if (rc != 0) return rc;
        value->assign(buffer.data(), length);
        char keyBuffer[1024];
        uint32_t keyLength = sizeof keyBuffer, flags = 0;
        int64_t timestamp = 0;
        rc = BQXINFO(handle_, keyBuffer, &keyLength, partition, offset, &timestamp, &flags);
        key->assign(keyBuffer, keyLength);
        return rc;
    }
    std::string lastError() {
        char text[256];
        int32_t length = sizeof text;
        BQXGERR(handle_, text, &length);
        return std::string(text, size_t(length));
    }

  private:
    int32_t handle_;
};

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s BOOTSTRAP TOPIC GROUP\n", argv[0]);
        return 2;
    }
    Session session;
    if (!session.open()) return 1;
    const int count = 5;
    int32_t rc = session.conf("partitioner", "murmur2");
    if (rc == 0) rc = session.connect(argv[1], argv[2]);
    if (rc == 0) rc = session.sync(1); // each BQXPROD waits for its acknowledgement
    for (int i = 0; rc == 0 && i < count; ++i)
        rc = session.produce("cpp-key-" + std::to_string(i), "cpp message " + std::to_string(i));
    for (int i = 0; rc == 0 && i < count; ++i) {
        std::string value, key;
        int32_t partition = -1;
        int64_t offset = -1;
        rc = session.consume(argv[3], &value, &key, &partition, &offset);
        if (rc == 0)
            std::printf("%s (key %s, partition %d, offset %lld)\n", value.c_str(), key.c_str(),
                        int(partition), static_cast<long long>(offset));
    }
    if (rc != 0) {
        std::fprintf(stderr, "roundtrip: error %d: %s\n", int(rc), session.lastError().c_str());
        return 1;
    }
    std::printf("roundtrip: %d messages produced and consumed\n", count);
    return 0;
}
