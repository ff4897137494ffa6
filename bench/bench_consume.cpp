// bqx_bench_consume: consume throughput against a broker through the
// public interface.
//
//   bqx_bench_consume bootstrap topic count [window [size]]
//   bqx_bench_consume --messages count size
//
// Consumes `count` messages of `topic` from its beginning as the only
// member of a consumer group of its own (a new group per run), in synch
// mode 0 with the receive window `window` (default 1: a commit after every
// message). The clock runs from the first BQXCONS (which joins the group)
// until the last message arrived; BQXCONN is outside it. One line starting
// with "result" holds key=value fields; client_cpu_s is the process's user
// + system CPU time over the same span, first_s the time from the first
// BQXCONS to the first message (the group join).
//
// BQX_BENCH_CONF=name=value[,name=value...] sets session settings with
// BQXCONF before BQXCONN (for example check.crcs=false).
//
// --messages writes the benchmark's messages to standard output, one per
// line, for a producer that reads lines (kcat -P -l). Message i starts with
// i as ten digits; the rest is words of a fixed vocabulary picked by a
// generator seeded with i, so a batch of them compresses about as text
// does. Given `size`, a consuming run checks inside the clock that every
// value has that size and names a message by its first ten digits, that no
// message came twice, and the whole content of every 256th message (made
// again from its index and compared), so `count` values mean that every
// message of the topic arrived exactly once. No table of all the messages
// is kept: the run's peak memory is the library's and the program's own.
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
#include "peak_memory.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kCapacity = 1 << 20;
constexpr int32_t kConsumeTimeout = 10;
constexpr size_t kIndexDigits = 10;
constexpr long kMinSize = kIndexDigits + 1;
constexpr long kMaxSize = 1 << 20;
constexpr int kWords = 256;

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

uint64_t nextRandom(uint64_t &state) { // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

// kWords lower-case words of 2 to 9 letters, the same on every run.
std::vector<std::string> vocabulary() {
    std::vector<std::string> words;
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    for (int i = 0; i < kWords; ++i) {
        std::string word(2 + nextRandom(state) % 8, 'a');
        for (char &c : word)
            c = static_cast<char>('a' + nextRandom(state) % 26);
        words.push_back(word);
    }
    return words;
}

// Message `index` of `size` bytes into `out`: the index as ten digits, then
// words separated by spaces, the last one cut at the end.
void makeMessage(const std::vector<std::string> &words, long index, long size, char *out) {
    long digits = index;
    for (size_t i = kIndexDigits; i-- > 0; digits /= 10)
        out[i] = static_cast<char>('0' + digits % 10);
    uint64_t state = static_cast<uint64_t>(index) * 0x9E3779B97F4A7C15ULL + 1;
    long at = kIndexDigits;
    while (at < size) {
        out[at++] = ' ';
        const std::string &word = words[nextRandom(state) % kWords];
        for (size_t i = 0; i < word.size() && at < size; ++i)
            out[at++] = word[i];
    }
}

int writeMessages(long count, long size) {
    std::vector<std::string> words = vocabulary();
    std::vector<char> line(static_cast<size_t>(size) + 1);
    line[static_cast<size_t>(size)] = '\n';
    for (long i = 0; i < count; ++i) {
        makeMessage(words, i, size, line.data());
        if (fwrite(line.data(), 1, line.size(), stdout) != line.size())
            return 1;
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

// Every kCheckEvery-th message (by index) is compared whole.
constexpr long kCheckEvery = 256;

// What a checked run expects and has seen.
struct Check {
    long size = 0; // 0: values are not checked
    std::vector<std::string> words;
    std::vector<char> scratch; // a message made again for comparison
    std::vector<uint8_t> seen;
    long wrong = 0;     // a value that is not one of the messages
    long duplicate = 0; // a message that came again
};

void prepareCheck(Check &check, long count, long size) {
    check.size = size;
    if (size == 0)
        return;
    check.words = vocabulary();
    check.scratch.resize(static_cast<size_t>(size));
    check.seen.assign(static_cast<size_t>(count), 0);
}

bool sameMessage(Check &check, const char *value, long index) {
    if (index % kCheckEvery != 0)
        return true;
    makeMessage(check.words, index, check.size, check.scratch.data());
    return memcmp(value, check.scratch.data(), static_cast<size_t>(check.size)) == 0;
}

void checkValue(Check &check, const char *value, uint32_t length) {
    if (check.size == 0)
        return;
    long index = length >= kIndexDigits ? 0 : -1;
    for (size_t i = 0; i < kIndexDigits && index >= 0; ++i)
        index = value[i] >= '0' && value[i] <= '9' ? index * 10 + (value[i] - '0') : -1;
    auto count = static_cast<long>(check.seen.size());
    if (length != check.size || index < 0 || index >= count || !sameMessage(check, value, index)) {
        ++check.wrong;
        return;
    }
    if (check.seen[static_cast<size_t>(index)]++)
        ++check.duplicate;
}

} // namespace

// BQXCONF for each name=value of the comma-separated list; false (after
// printing what was refused) when one is refused.
bool applySettings(int32_t handle, const char *list) {
    std::string rest = list ? list : "";
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        size_t equals = item.find('=');
        if (equals == std::string::npos ||
            BQXCONF(handle, item.c_str(), static_cast<int32_t>(equals), item.c_str() + equals + 1,
                    static_cast<int32_t>(item.size() - equals - 1)) != 0) {
            fprintf(stderr, "BQX_BENCH_CONF: %s refused\n", item.c_str());
            return false;
        }
    }
    return true;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--messages") == 0) {
        long count = atol(argv[2]), size = atol(argv[3]);
        if (count < 1 || size < kMinSize || size > kMaxSize) {
            fprintf(stderr, "usage: %s --messages count size (%ld-%ld)\n", argv[0], kMinSize, kMaxSize);
            return 2;
        }
        return writeMessages(count, size);
    }
    long count = argc > 3 ? atol(argv[3]) : 0;
    long window = argc > 4 ? atol(argv[4]) : 1;
    long size = argc > 5 ? atol(argv[5]) : 0;
    if (argc < 4 || argc > 6 || count < 1 || window < 1 || window > 10000 ||
        (argc > 5 && (size < kMinSize || size > kMaxSize))) {
        fprintf(stderr, "usage: %s bootstrap topic count [window 1-10000 [size %ld-%ld]]\n", argv[0],
                kMinSize, kMaxSize);
        return 2;
    }
    const char *bootstrap = argv[1], *topic = argv[2];
    std::string group = "bqx-bench-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    Check check;
    prepareCheck(check, count, size);

    int32_t handle = BQXOPEN();
    if (handle < 0)
        return 1;
    BQXDBUG(handle, 0);
    if (!applySettings(handle, getenv("BQX_BENCH_CONF")))
        return 2;
    int32_t rc = BQXCONN(handle, bootstrap, static_cast<int32_t>(strlen(bootstrap)), topic,
                         static_cast<int32_t>(strlen(topic)));
    if (rc == 0)
        rc = BQXSYNC(handle, 0, 100, static_cast<uint32_t>(window));
    std::vector<char> buffer(kCapacity + 1);
    long consumed = 0;
    uint64_t bytes = 0;
    double cpuStart = cpuSeconds();
    auto start = Clock::now();
    double firstSeconds = 0;
    while (rc == 0 && consumed < count) {
        uint32_t length = kCapacity;
        rc = BQXCONS(handle, group.data(), static_cast<int32_t>(group.size()), buffer.data(), &length,
                     0, kConsumeTimeout);
        if (rc == 0) {
            if (consumed++ == 0)
                firstSeconds = std::chrono::duration<double>(Clock::now() - start).count();
            bytes += length;
            checkValue(check, buffer.data(), length);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = cpuSeconds() - cpuStart;
    if (rc != 0)
        showLastError(handle);
    BQXCLSE(handle);
    bool checkFailed = check.wrong != 0 || check.duplicate != 0;
    if (checkFailed)
        fprintf(stderr, "bqx_bench_consume: %ld wrong values, %ld duplicates\n", check.wrong,
                check.duplicate);
    double perSecond = consumed / seconds;
    printf("result client=bqx window=%ld count=%ld consumed=%ld rc=%d seconds=%.3f msgs_per_s=%.0f "
           "mb_per_s=%.2f client_cpu_s=%.3f checked=%s wrong=%ld duplicates=%ld peak_rss_kb=%ld "
           "first_s=%.3f\n",
           window, count, consumed,
           rc != 0       ? rc
           : checkFailed ? 1
                         : 0,
           seconds, perSecond, bytes / seconds / 1e6, cpu, check.size ? "yes" : "no", check.wrong,
           check.duplicate, peak_memory_kb(), firstSeconds);
    return rc == 0 && !checkFailed ? 0 : 1;
}
