// Internal to the marshaller: the one log line of a field that does not fit.
#ifndef BQX_CODEC_MARSHALL_H
#define BQX_CODEC_MARSHALL_H

#include <stdint.h>

struct PCB;

// Logs 7514 with the bytes needed up to and including the refused field and
// the buffer's capacity.
void marshall_report_overrun(PCB *pcb, uint64_t required, uint32_t capacity);

#endif
