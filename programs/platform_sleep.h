// The programs' one platform-dependent call: a pause in milliseconds.
#ifndef BQX_PROGRAMS_PLATFORM_SLEEP_H
#define BQX_PROGRAMS_PLATFORM_SLEEP_H

#include <errno.h>
#include <time.h>

// Sleeps `ms` milliseconds, going on after a signal interrupted the pause.
inline void bqx_sleep_ms(unsigned long ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

#endif
