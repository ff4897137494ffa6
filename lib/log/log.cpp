// The numbered log line: catalogue lookup, argument check, formatting, the
// session's last error and the one write to where BQX_LOG says.
#include "log/log.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "api/pcb.h"
#include "bqx.h"
#include "log/messages.h"

namespace {

constexpr uint32_t kWarningBase = 5000;
constexpr uint32_t kErrorBase = 7500;
constexpr uint32_t kInfoCount = 50;
constexpr uint32_t kWarningCount = 10;
constexpr uint32_t kErrorCount = 50;
constexpr size_t kTextSize = 128;      // formatted text, NUL included
constexpr size_t kTimeStampSize = 32;  // "%m/%d/%Y %H:%M:%S.mmm" and slack
constexpr size_t kLineSize = 256;      // the longest line is about 185 bytes

// The catalogue entry of a message number, before any check.
struct CatalogueSlot {
    const char *const *table;
    uint32_t count;
    uint32_t index;
    char severity;
};

CatalogueSlot lookup(uint32_t msgNum) {
    if (msgNum >= kErrorBase)
        return {aszBqxErrMsgs, kErrorCount, msgNum - kErrorBase, 'E'};
    if (msgNum >= kWarningBase)
        return {aszBqxWrnMsgs, kWarningCount, msgNum - kWarningBase, 'W'};
    return {aszBqxInfMsgs, kInfoCount, msgNum, 'I'};
}

// Local time of the clock's current reading as "%m/%d/%Y %H:%M:%S.mmm".
void formatTimeStamp(char *out, size_t size) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local); // localtime() is not safe across threads
    size_t used = strftime(out, size, "%m/%d/%Y %H:%M:%S", &local);
    snprintf(out + used, size - used, ".%03lu",
             static_cast<unsigned long>(now.tv_nsec / 1000000));
}

void formatFixed(char *text, uint32_t msgNum, ...) {
    va_list values;
    va_start(values, msgNum);
    vsnprintf(text, kTextSize, aszBqxErrMsgs[msgNum - kErrorBase], values);
    va_end(values);
}

// Checks the caller's message number and argument count and formats the
// text. Returns the message number the line is written with (the caller's,
// 7504 or 7505) and sets the severity letter to match.
uint32_t checkAndFormat(uint32_t msgNum, int32_t argCount, va_list values,
                        char *text, char *severity) {
    CatalogueSlot slot = lookup(msgNum);
    *severity = slot.severity;
    if (slot.index >= slot.count) {
        *severity = 'E';
        formatFixed(text, ERR_MSG_NUMBER, static_cast<int>(msgNum),
                    static_cast<int>(slot.count), static_cast<int>(slot.index));
        return ERR_MSG_NUMBER;
    }
    const char *format = slot.table[slot.index];
    int32_t required = bqx_count_format_args(format);
    if (required != argCount) {
        // The values are never touched: a wrong count could make vsnprintf
        // read arguments that were not passed.
        *severity = 'E';
        formatFixed(text, ERR_ARG_COUNT, static_cast<int>(msgNum),
                    static_cast<int>(argCount), static_cast<int>(required));
        return ERR_ARG_COUNT;
    }
    vsnprintf(text, kTextSize, format, values);
    return msgNum;
}

void storeLastError(PCB *pcb, uint32_t msgNum, const char *text) {
    pcb->i32LastError = static_cast<int32_t>(msgNum);
    snprintf(pcb->szLastError, sizeof pcb->szLastError, "%s", text);
}

// One of the six column layouts, chosen by broker (-1, -2, other) and
// partition (-1, other); "--" marks an empty column.
int formatLine(char *line, const char *stamp, uint32_t msgNum, char severity,
               const char *caller, int32_t broker, int32_t partition,
               const char *text) {
    const char *tag = caller ? caller : "";
    if (broker == -1 && partition == -1)
        return snprintf(line, kLineSize, "%s BQX%04u%c %-8.8s -- -- %.128s\n",
                        stamp, msgNum, severity, tag, text);
    if (broker == -1)
        return snprintf(line, kLineSize, "%s BQX%04u%c %-8.8s -- %.2d %.128s\n",
                        stamp, msgNum, severity, tag, partition, text);
    if (broker == -2 && partition == -1)
        return snprintf(line, kLineSize, "%s BQX%04u%c %-8.8s -2 -- %.128s\n",
                        stamp, msgNum, severity, tag, text);
    if (broker == -2)
        return snprintf(line, kLineSize, "%s BQX%04u%c %-8.8s -2 %.2d %.128s\n",
                        stamp, msgNum, severity, tag, partition, text);
    if (partition == -1)
        return snprintf(line, kLineSize, "%s BQX%04u%c %-8.8s %.2d -- %.128s\n",
                        stamp, msgNum, severity, tag, broker, text);
    return snprintf(line, kLineSize, "%s BQX%04u%c %-8.8s %.2d %.2d %.128s\n",
                    stamp, msgNum, severity, tag, broker, partition, text);
}

// Where the lines go, chosen by BQX_LOG when the first line is written and
// again by bqx_log_configure: stdout (the default), stderr, file:PATH
// (appended), syslog or none. Lines are written with write() straight to
// the descriptor, never through stdio's buffer, so a line written is kept
// when the process dies.
enum class LogTarget { kUnset, kStdout, kStderr, kFile, kSyslog, kNone };

pthread_mutex_t gTargetLock = PTHREAD_MUTEX_INITIALIZER;
LogTarget gTarget = LogTarget::kUnset;
int gFileFd = -1;

// Caller holds gTargetLock.
void chooseTarget() {
    if (gFileFd != -1)
        close(gFileFd);
    gFileFd = -1;
    const char *setting = getenv("BQX_LOG");
    gTarget = LogTarget::kStdout;
    if (!setting || !setting[0] || strcmp(setting, "stdout") == 0)
        return;
    if (strcmp(setting, "stderr") == 0) {
        gTarget = LogTarget::kStderr;
    } else if (strcmp(setting, "none") == 0) {
        gTarget = LogTarget::kNone;
    } else if (strcmp(setting, "syslog") == 0) {
        openlog("bqx", LOG_PID, LOG_USER);
        gTarget = LogTarget::kSyslog;
    } else if (strncmp(setting, "file:", 5) == 0) {
        gFileFd = open(setting + 5, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        // A file that cannot be opened leaves the lines on standard output.
        gTarget = gFileFd != -1 ? LogTarget::kFile : LogTarget::kStdout;
    }
}

// Writes all of the line with one write() where possible; a write cut
// short by a signal goes on with the rest.
void writeAll(int fd, const char *line, size_t bytes) {
    while (bytes > 0) {
        ssize_t written = write(fd, line, bytes);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        line += written;
        bytes -= static_cast<size_t>(written);
    }
}

int syslogPriority(char severity) {
    return severity == 'E' ? LOG_ERR : severity == 'W' ? LOG_WARNING : LOG_INFO;
}

void emit(const char *line, size_t bytes, char severity) {
    pthread_mutex_lock(&gTargetLock);
    if (gTarget == LogTarget::kUnset)
        chooseTarget();
    switch (gTarget) {
    case LogTarget::kStderr:
        writeAll(STDERR_FILENO, line, bytes);
        break;
    case LogTarget::kFile:
        writeAll(gFileFd, line, bytes);
        break;
    case LogTarget::kSyslog:
        syslog(syslogPriority(severity), "%.*s", static_cast<int>(bytes > 0 ? bytes - 1 : 0), line);
        break;
    case LogTarget::kNone:
        break;
    default:
        writeAll(STDOUT_FILENO, line, bytes);
        break;
    }
    pthread_mutex_unlock(&gTargetLock);
}

} // namespace

void bqx_log_configure() {
    pthread_mutex_lock(&gTargetLock);
    chooseTarget();
    pthread_mutex_unlock(&gTargetLock);
}

int32_t bqx_count_format_args(const char *format) {
    if (!format)
        return 0;
    int32_t count = 0;
    for (const char *p = format; *p; ++p) {
        if (*p != '%')
            continue;
        ++count;
        if (p[1] == '*' || (p[1] == '.' && p[2] == '*'))
            ++count;
    }
    return count;
}

void log_sanitise(char *text) {
    for (char *c = text; c && *c; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
            *c = '?';
}

int64_t getTimeStamp() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int bqx_log_vf(uint32_t msgNum, PCB *pcb, const char *caller, int32_t broker,
               int32_t partition, int32_t argCount, ...) {
    char stamp[kTimeStampSize];
    formatTimeStamp(stamp, sizeof stamp);

    char text[kTextSize] = "";
    char severity = 'I';
    va_list values;
    va_start(values, argCount);
    uint32_t lineNum = checkAndFormat(msgNum, argCount, values, text, &severity);
    va_end(values);
    log_sanitise(text);

    if (msgNum >= kErrorBase && pcb)
        storeLastError(pcb, lineNum, text);

    char line[kLineSize];
    int length = formatLine(line, stamp, lineNum, severity, caller, broker,
                            partition, text);
    if (length < 0)
        return 0;
    size_t bytes = static_cast<size_t>(length) < sizeof line
                       ? static_cast<size_t>(length)
                       : sizeof line - 1;
    // One write per line so that lines of concurrent threads do not mix.
    emit(line, bytes, severity);
    return static_cast<int>(bytes);
}
