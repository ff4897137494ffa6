// Test program: consumes up to 100 messages of a topic as a member of the
// consumer group "xxx", printing each, with an optional pause between
// consumes.
//
//   bqx_test coordinator-timeout delay [bootstrap-server [topic]]
//
// The bootstrap server and topic default to built-in values; the optional
// arguments, or the environment variables BQX_BOOTSTRAP and BQX_TOPIC,
// point the program at another cluster. Missing numbers count as 0.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bqx.h"
#include "console.h"

namespace {

constexpr const char *kDefaultBootstrap = "localhost:9090";
constexpr const char *kDefaultTopic = "bqx-test";
constexpr const char *kMessage = "Test_Message";
constexpr const char *kGroup = "xxx";
constexpr uint32_t kCapacity = 1024;
constexpr int32_t kConsumeTimeout = 60;
constexpr unsigned kMessages = 100;

// The argument, else the environment variable, else the built-in value.
const char *setting(int argc, char **argv, int index, const char *variable, const char *fallback) {
    if (argc > index && argv[index][0] != '\0')
        return argv[index];
    const char *value = getenv(variable);
    return value && value[0] != '\0' ? value : fallback;
}

void consumeSeries(int32_t handle, int delaySeconds) {
    char buffer[kCapacity + 1];
    for (unsigned number = 1; number <= kMessages; ++number) {
        uint32_t length = kCapacity;
        int32_t rc = BQXCONS(handle, kGroup, 3, buffer, &length, 1, kConsumeTimeout);
        if (rc != 0)
            break;
        print("BqX Test Received Message %u of %u from Kafka (len=%d): %s\n", number, kMessages,
              static_cast<int>(length), buffer);
        if (delaySeconds != 0)
            bqx_sleep_ms(static_cast<unsigned long>(delaySeconds) * 1000);
    }
}

} // namespace

int main(int argc, char **argv) {
    printBanner("Test Program");

    int timeout = argc > 1 ? atoi(argv[1]) : 0;
    int delay = argc > 2 ? atoi(argv[2]) : 0;
    const char *bootstrap = setting(argc, argv, 3, "BQX_BOOTSTRAP", kDefaultBootstrap);
    const char *topic = setting(argc, argv, 4, "BQX_TOPIC", kDefaultTopic);

    print("\n+++++++++ Connecting to bootstrap server %s\n", bootstrap);
    print("            Topic  = %s\n", topic);
    print("            Msg    = %s\n", kMessage);
    print("            CoordinatorTimeout = %d\n", timeout);
    print("            Delay between Consumes = %d\n", delay);
    print("\n");

    int32_t handle = BQXFUNC(BQX_FC_OPEN);
    if (handle >= 0) {
        BQXFUNC(BQX_FC_DBUG, handle, 1);
        int32_t rc = BQXFUNC(BQX_FC_CONN, handle, bootstrap, static_cast<int32_t>(strlen(bootstrap)),
                             topic, static_cast<int32_t>(strlen(topic)));
        if (rc == 0)
            rc = BQXFUNC(BQX_FC_TIMO, handle, timeout);
        if (rc == 0)
            consumeSeries(handle, delay);
    }
    BQXCLSE(handle);
    return 0;
}
