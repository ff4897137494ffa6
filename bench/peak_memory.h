/* Peak resident memory of the calling process, in KiB.
 *
 * getrusage's ru_maxrss is not used: Linux carries it across exec, so a
 * program started by a larger one (the Python driver of scripts/bench)
 * reports at least its starter's size. VmHWM in /proc/self/status is the
 * peak of this program's own address space. ru_maxrss remains the answer
 * where /proc has no VmHWM. */
#ifndef BQX_BENCH_PEAK_MEMORY_H
#define BQX_BENCH_PEAK_MEMORY_H

#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

static inline long peak_memory_kb(void) {
    FILE *status = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (status && kb < 0 && fgets(line, sizeof line, status))
        if (strncmp(line, "VmHWM:", 6) == 0 && sscanf(line + 6, "%ld", &kb) != 1)
            kb = -1;
    if (status)
        fclose(status);
    if (kb < 0) {
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        kb = usage.ru_maxrss;
    }
    return kb;
}

#endif
