// Sample program: the smallest complete use of the library. Produces one
// message to a topic and consumes one as a member of the consumer group
// "xxx".
//
//   bqx_sample bootstrap-server topic message
#include <stdio.h>
#include <string.h>

#include "bqx.h"
#include "console.h"

namespace {

constexpr const char *kGroup = "xxx";
constexpr uint32_t kCapacity = 1024;
constexpr int32_t kConsumeTimeout = 5;

int32_t length(const char *text) { return static_cast<int32_t>(strlen(text)); }

} // namespace

int main(int argc, char **argv) {
    printBanner("CLI Sample Program");
    if (argc < 4) {
        print("usage: %s bootstrap-server topic message\n", argv[0]);
        return 0;
    }
    const char *bootstrap = argv[1], *topic = argv[2], *message = argv[3];

    print("\n+++++++++ Connecting to bootstrap server %s\n", bootstrap);
    print("            Topic  = %s\n", topic);
    print("            Msg    = %s\n", message);
    print("\n");

    int32_t handle = BQXFUNC(BQX_FC_OPEN);
    if (handle >= 0) {
        BQXFUNC(BQX_FC_DBUG, handle, 0);
        int32_t rc = BQXFUNC(BQX_FC_CONN, handle, bootstrap, length(bootstrap), topic, length(topic));
        if (rc == 0)
            rc = BQXFUNC(BQX_FC_PROD, handle, "", 0u, message, static_cast<uint32_t>(length(message)), 0u);
        if (rc == 0) {
            char buffer[kCapacity + 1];
            uint32_t received = kCapacity;
            rc = BQXFUNC(BQX_FC_CONS, handle, kGroup, 3, buffer, &received, 0, kConsumeTimeout);
            if (rc == 0)
                print("BqX CLI Sample Received Message from Kafka (len=%d): %s\n",
                      static_cast<int>(received), buffer);
        }
    }
    BQXCLSE(handle);
    return 0;
}
