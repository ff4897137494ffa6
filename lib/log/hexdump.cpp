// Dump of a block of bytes as numbered log lines: a header (info 2) and one
// line of 16 bytes each (info 3) with offset, hex part and character part.
#include <stdio.h>

#include "api/pcb.h"
#include "log/log.h"
#include "log/messages.h"

namespace {

constexpr int32_t kBytesPerLine = 16;
constexpr int32_t kShortDumpLimit = 256; // bytes shown below debug level 15
constexpr int32_t kFullDumpLevel = 15;
constexpr size_t kHexPartSize = 64;      // a full hex part is 55 characters

// Letters and digits of ASCII only, so that the output does not depend on
// the locale that the character conversion may have set.
bool isPlainAlnum(uint8_t byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z');
}

// Writes bytes [offset, offset + count) of `bytes` as one info 3 line.
void dumpLine(PCB *pcb, const char *caller, int32_t broker, int32_t partition,
              const uint8_t *bytes, int32_t offset, int32_t count) {
    char hex[kHexPartSize];
    char chars[kBytesPerLine + 1];
    int used = snprintf(hex, sizeof hex, "%4.4X: ", static_cast<unsigned>(offset));
    for (int32_t i = 0; i < count; ++i) {
        uint8_t byte = bytes[offset + i];
        if (used > 0 && static_cast<size_t>(used) < sizeof hex)
            used += snprintf(hex + used, sizeof hex - used, i == 8 ? "  %2.2X" : " %2.2X",
                             static_cast<unsigned>(byte));
        chars[i] = isPlainAlnum(byte) ? static_cast<char>(byte) : '.';
    }
    chars[count] = '\0';
    bqx_log_vf(INF_HEXDUMP_LINE, pcb, caller, broker, partition, 2, hex, chars);
}

} // namespace

void hexdump(PCB *pcb, const char *caller, int32_t broker, int32_t partition,
             const char *title, const void *data, int32_t length) {
    bqx_log_vf(INF_HEXDUMP_HDR, pcb, caller, broker, partition, 2,
               title ? title : "", static_cast<int>(length));
    if (!data || length <= 0)
        return;
    int32_t shown = length;
    bool fullDump = pcb && pcb->iDebugLevel >= kFullDumpLevel;
    if (!fullDump && shown > kShortDumpLimit)
        shown = kShortDumpLimit;

    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    // 64-bit offset: stepping past a length near INT32_MAX must not overflow.
    for (int64_t offset = 0; offset < shown; offset += kBytesPerLine) {
        int64_t remaining = shown - offset;
        int32_t count = remaining < kBytesPerLine ? static_cast<int32_t>(remaining)
                                                  : kBytesPerLine;
        dumpLine(pcb, caller, broker, partition, bytes,
                 static_cast<int32_t>(offset), count);
    }
}
