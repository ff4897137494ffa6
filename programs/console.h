// What the console programs share: their one print function, the banner
// they start with, and the one platform-dependent call, a pause in
// milliseconds.
#ifndef BQX_PROGRAMS_CONSOLE_H
#define BQX_PROGRAMS_CONSOLE_H

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

// Formatted output to standard output, flushed so that it interleaves in
// order with the library's log lines.
inline void print(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

// The three banner lines and an empty line; `program` names the program.
inline void printBanner(const char *program) {
    print("BqX Kafka Connector for Linux\n");
    print("%s Version 1.2.1 (built %s %s)\n", program, __DATE__, __TIME__);
    print("Licensed under the Apache License, Version 2.0 (see LICENSE)\n\n");
}

// Sleeps `ms` milliseconds, going on after a signal interrupted the pause.
inline void bqx_sleep_ms(unsigned long ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

#endif
