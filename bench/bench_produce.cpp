// bqx_bench_produce: produce throughput against a broker through the
// public interface.
//
//   bqx_bench_produce bootstrap topic count size [mode] [window] [keys] [codec]
//
// Produces `count` messages of `size` bytes to `topic` without a key (the
// partitions in turn), with keys (kKeyCount different ones), or (keys
// "both", the default) first without and then with keys, each run in a
// session of its own at debug level 0.
//
//   mode 0 (default)  pipelined: at most `window` (default 100) requests
//                     await their replies, acks 1
//   mode 1            every message waits for its reply, acks -1; the time
//                     of every BQXPROD call is recorded and its 50th and
//                     99th percentiles printed (p50_us, p99_us)
//   mode 4            batched: BQXPROD adds the message to its partition's
//                     batch, and at most `window` requests of batches await
//                     their replies, acks 1
//
// With a codec (compression.type: gzip, snappy, lz4 or zstd; "none" is the
// default) the values are the JSON-like text of bench_text.h, the bytes
// rdkafka_peer sends in its codec settings, else the letters a-z repeated.
//
// The clock runs from the first BQXPROD until every reply has arrived
// (BQXSYNC mode 2 collects the last ones in modes 0 and 4); opening the session
// and BQXCONN's metadata exchange are outside it, the connection to the
// partition leaders (made by the first BQXPROD) is inside. One line per
// run starts with "result" and holds key=value fields; MB is 10^6 bytes of
// message values (keys and protocol bytes not counted). client_cpu_s is the
// process's user + system CPU time over the same span.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "bench_text.h"
#include "bqx.h"

namespace {

constexpr int kKeyCount = 1000;
constexpr uint32_t kDefaultWindow = 100;

using Clock = std::chrono::steady_clock;

struct Options {
    const char *bootstrap;
    const char *topic;
    uint32_t count;
    uint32_t size;
    int32_t mode;
    uint32_t window;
    bool unkeyed; // run without keys
    bool keyed;   // run with keys
    const char *codec;
};

struct Outcome {
    int32_t rc;
    uint32_t produced;
    double seconds;
    double cpuSeconds;
    double p50Seconds; // mode 1: percentiles of the BQXPROD call's time, else 0
    double p99Seconds;
};

int usage(const char *program) {
    fprintf(stderr,
            "usage: %s bootstrap topic count size [mode 0|1|4] [window 1-10000] [keys no|yes|both] "
            "[codec none|gzip|snappy|lz4|zstd]\n",
            program);
    return 2;
}

bool parseKeys(const char *text, Options *options) {
    options->unkeyed = strcmp(text, "no") == 0 || strcmp(text, "both") == 0;
    options->keyed = strcmp(text, "yes") == 0 || strcmp(text, "both") == 0;
    return options->unkeyed || options->keyed;
}

bool parseOptions(int argc, char **argv, Options *options) {
    if (argc < 5 || argc > 9)
        return false;
    long count = atol(argv[3]), size = atol(argv[4]);
    long mode = argc > 5 ? atol(argv[5]) : 0;
    long window = argc > 6 ? atol(argv[6]) : kDefaultWindow;
    if (count < 1 || size < 0 || size > (64L << 20) || (mode != 0 && mode != 1 && mode != 4) || window < 1 ||
        window > 10000)
        return false;
    *options = {argv[1],
                argv[2],
                static_cast<uint32_t>(count),
                static_cast<uint32_t>(size),
                static_cast<int32_t>(mode),
                static_cast<uint32_t>(window),
                false,
                false,
                argc > 8 ? argv[8] : "none"};
    return parseKeys(argc > 7 ? argv[7] : "both", options);
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::vector<std::string> makeKeys() {
    std::vector<std::string> keys;
    for (int i = 0; i < kKeyCount; ++i)
        keys.push_back("key-" + std::to_string(i));
    return keys;
}

// The values sent in turn: one of letters, or the text pool.
std::string makeMessages(const Options &options) {
    if (strcmp(options.codec, "none") == 0) {
        std::string message(options.size, ' ');
        for (uint32_t i = 0; i < options.size; ++i)
            message[i] = static_cast<char>('a' + i % 26);
        return message;
    }
    char *pool = benchTextPool(options.size);
    std::string messages(pool ? pool : "", pool ? size_t{options.size} * kBenchTextPool : 0);
    free(pool);
    return messages;
}

void showLastError(int32_t handle) {
    char text[256] = {0};
    int32_t length = sizeof text - 1;
    int32_t number = BQXGERR(handle, text, &length);
    fprintf(stderr, "bqx_bench_produce: last error %d: %.*s\n", number, length, text);
}

// Opens, configures and connects a session; -1 when that fails.
int32_t openSession(const Options &options) {
    int32_t handle = BQXOPEN();
    if (handle < 0)
        return -1;
    BQXDBUG(handle, 0);
    int32_t rc = BQXCONN(handle, options.bootstrap, static_cast<int32_t>(strlen(options.bootstrap)),
                         options.topic, static_cast<int32_t>(strlen(options.topic)));
    if (rc == 0 && strcmp(options.codec, "none") != 0)
        rc = BQXCONF(handle, "compression.type", 16, options.codec,
                     static_cast<int32_t>(strlen(options.codec)));
    if (rc == 0)
        rc = BQXSYNC(handle, options.mode, options.window, options.mode == 4 ? options.window : 1);
    // 5004: an idempotent mode 4 lowers a window above 5 to 5 and goes on.
    if (rc == 0 || rc == 5004)
        return handle;
    showLastError(handle);
    BQXCLSE(handle);
    return -1;
}

// The value below which `fraction` of the sorted `values` lie (nearest rank).
double percentile(const std::vector<double> &values, double fraction) {
    if (values.empty())
        return 0;
    size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

Outcome produceAll(int32_t handle, const Options &options, bool keyed) {
    static const std::vector<std::string> keys = makeKeys();
    const std::string messages = makeMessages(options);
    const size_t pool = options.size ? messages.size() / options.size : 1;
    const bool timed = options.mode == 1;
    std::vector<double> latencies;
    latencies.reserve(timed ? options.count : 0);
    Outcome outcome{0, 0, 0, 0, 0, 0};
    double cpuStart = cpuSeconds();
    auto start = Clock::now();
    for (uint32_t i = 0; i < options.count && outcome.rc == 0; ++i) {
        const std::string &key = keys[i % kKeyCount];
        const char *message = messages.data() + (pool > 1 ? (i % pool) * options.size : 0);
        auto before = timed ? Clock::now() : Clock::time_point{};
        outcome.rc = keyed ? BQXPROD(handle, key.data(), static_cast<uint32_t>(key.size()), message,
                                     options.size, 0)
                           : BQXPROD(handle, "", 0, message, options.size, 0);
        if (timed)
            latencies.push_back(std::chrono::duration<double>(Clock::now() - before).count());
        outcome.produced += outcome.rc == 0;
    }
    if (outcome.rc == 0 && options.mode != 1)
        outcome.rc = BQXSYNC(handle, 2, 0, 0); // the replies (and batches) still outstanding
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    outcome.cpuSeconds = cpuSeconds() - cpuStart;
    std::sort(latencies.begin(), latencies.end());
    outcome.p50Seconds = percentile(latencies, 0.50);
    outcome.p99Seconds = percentile(latencies, 0.99);
    if (outcome.rc != 0)
        showLastError(handle);
    return outcome;
}

void printOutcome(const Options &options, bool keyed, const Outcome &outcome) {
    double perSecond = outcome.produced / outcome.seconds;
    printf("result client=bqx mode=%d window=%u keys=%s codec=%s count=%u size=%u produced=%u "
           "rc=%d seconds=%.3f msgs_per_s=%.0f mb_per_s=%.2f client_cpu_s=%.3f",
           options.mode, options.mode == 1 ? 1 : options.window, keyed ? "yes" : "no",
           options.codec, options.count, options.size, outcome.produced, outcome.rc,
           outcome.seconds, perSecond, perSecond * options.size / 1e6, outcome.cpuSeconds);
    if (options.mode == 1)
        printf(" p50_us=%.0f p99_us=%.0f", outcome.p50Seconds * 1e6, outcome.p99Seconds * 1e6);
    printf("\n");
    fflush(stdout);
}

int32_t runOnce(const Options &options, bool keyed) {
    int32_t handle = openSession(options);
    if (handle < 0)
        return 1;
    Outcome outcome = produceAll(handle, options, keyed);
    BQXCLSE(handle);
    printOutcome(options, keyed, outcome);
    return outcome.rc;
}

} // namespace

int main(int argc, char **argv) {
    Options options{};
    if (!parseOptions(argc, argv, &options))
        return usage(argv[0]);
    int32_t unkeyed = options.unkeyed ? runOnce(options, false) : 0;
    int32_t keyed = options.keyed ? runOnce(options, true) : 0;
    return unkeyed == 0 && keyed == 0 ? 0 : 1;
}
