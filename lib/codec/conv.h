// Character conversion steps that the marshaller needs without the log
// lines of iconv_convert: a text that does not fit its request buffer is
// reported by the marshaller itself.
#ifndef BQX_CODEC_CONV_H
#define BQX_CODEC_CONV_H

#include <stdint.h>

struct PCB;

// Converts `length` bytes in pieces of 2048 into at most `capacity` bytes
// of `output`, without logging. `*produced` receives the bytes written.
// Returns 0, or the system error number of the step that failed (EBADF
// when the session has no open descriptor for `direction`).
int conv_quiet(PCB *pcb, int32_t direction, const char *input, uint32_t length,
               char *output, uint32_t capacity, uint32_t *produced);

// Bytes that converting `input` produces. When the input cannot be
// converted (iconv_convert then passes it through unchanged), the larger of
// `length` and what the converter writes before it meets the bad byte.
uint64_t conv_measure(PCB *pcb, int32_t direction, const char *input, uint32_t length);

#endif
