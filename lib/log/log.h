// The numbered log line, the message catalogue, hex dumps and Kafka error texts.
#ifndef BQX_LOG_LOG_H
#define BQX_LOG_LOG_H

#include <stdint.h>

struct PCB;

// Writes one log line for catalogue message `msgNum` where BQX_LOG says.
// `argCount` must equal the number of values the format takes; a mismatch
// writes error 7504 instead, an unknown number error 7505. Errors logged
// with a PCB are stored there as its last error. Returns the characters
// written.
int bqx_log_vf(uint32_t msgNum, PCB *pcb, const char *caller, int32_t broker,
               int32_t partition, int32_t argCount, ...);

// Reads BQX_LOG again (the first line reads it anyway): stdout, stderr,
// file:PATH, syslog or none. BQXOPEN calls it when no other session is open.
void bqx_log_configure();

// Replaces each control character of `text` (below 0x20, and 0x7F) by '?'
// in place. Every line's text passes through it: texts from a broker (error
// messages, host, topic and mechanism names, member ids) must not break a
// log line or forge one.
void log_sanitise(char *text);

// Milliseconds since 1970.
int64_t getTimeStamp();

// Writes `length` bytes as numbered dump lines (info 2 and 3); at most 256
// bytes unless the session's debug level is 15 or more.
void hexdump(PCB *pcb, const char *caller, int32_t broker, int32_t partition,
             const char *title, const void *data, int32_t length);

// Text of a Kafka error code; "internal error" outside 0..104.
const char *getErrorText(int32_t code);

// The values a printf format takes ("%.*s" counts two, "%%" counts two).
int32_t bqx_count_format_args(const char *format);

#endif
