// bqx_bench_consume: consume throughput against a broker through the
// public interface.
//
//   bqx_bench_consume bootstrap topic count [window]
//
// Consumes `count` messages of `topic` from its beginning as the only
// member of a consumer group of its own (a new group per run), in synch
// mode 0 with the receive window `window` (default 1: a commit after every
// message). The clock runs from the first BQXCONS (which joins the group)
// until the last message arrived; BQXCONN is outside it. One line starting
// with "result" holds key=value fields; client_cpu_s is the process's user
// + system CPU time over the same span.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bqx.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kCapacity = 1 << 20;
constexpr int32_t kConsumeTimeout = 10;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void showLastError(int32_t handle) {
    char text[256] = {0};
    int32_t length = sizeof text - 1;
    int32_t number = BQXGERR(handle, text, &length);
    fprintf(stderr, "bqx_bench_consume: last error %d: %.*s\n", number, length, text);
}

} // namespace

int main(int argc, char **argv) {
    long count = argc > 3 ? atol(argv[3]) : 0;
    long window = argc > 4 ? atol(argv[4]) : 1;
    if (argc < 4 || argc > 5 || count < 1 || window < 1 || window > 10000) {
        fprintf(stderr, "usage: %s bootstrap topic count [window 1-10000]\n", argv[0]);
        return 2;
    }
    const char *bootstrap = argv[1], *topic = argv[2];
    std::string group = "bqx-bench-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));

    int32_t handle = BQXOPEN();
    if (handle < 0)
        return 1;
    BQXDBUG(handle, 0);
    int32_t rc = BQXCONN(handle, bootstrap, static_cast<int32_t>(strlen(bootstrap)), topic,
                         static_cast<int32_t>(strlen(topic)));
    if (rc == 0)
        rc = BQXSYNC(handle, 0, 100, static_cast<uint32_t>(window));
    std::vector<char> buffer(kCapacity + 1);
    long consumed = 0;
    uint64_t bytes = 0;
    double cpuStart = cpuSeconds();
    auto start = Clock::now();
    while (rc == 0 && consumed < count) {
        uint32_t length = kCapacity;
        rc = BQXCONS(handle, group.data(), static_cast<int32_t>(group.size()), buffer.data(), &length,
                     0, kConsumeTimeout);
        if (rc == 0) {
            ++consumed;
            bytes += length;
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = cpuSeconds() - cpuStart;
    if (rc != 0)
        showLastError(handle);
    BQXCLSE(handle);
    double perSecond = consumed / seconds;
    printf("result client=bqx window=%ld count=%ld consumed=%ld rc=%d seconds=%.3f msgs_per_s=%.0f "
           "mb_per_s=%.2f client_cpu_s=%.2f\n",
           window, count, consumed, rc, seconds, perSecond, bytes / seconds / 1e6, cpu);
    return rc == 0 ? 0 : 1;
}
