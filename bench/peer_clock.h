/* The clocks of the librdkafka peers: wall time and the process's CPU time
 * (user + system, every thread included), in seconds. */
#ifndef BQX_BENCH_PEER_CLOCK_H
#define BQX_BENCH_PEER_CLOCK_H

#include <sys/resource.h>
#include <time.h>

static double nowSeconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double cpuSeconds(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

#endif
