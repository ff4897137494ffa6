// BQXFUNC: every entry point by its function code, and the table of
// parameter descriptors for callers that build their calls from a table.
#include <stdarg.h>

#include "bqx.h"
#include "log/log.h"
#include "log/messages.h"

// Descriptors: one type letter and size digit per argument ("i4" signed
// 32-bit, "u4" unsigned 32-bit, "p4" pointer), handle included.
const BqxFctPrm paFctPrm = {
    0xC2D8E7C6, // "BQXF" in EBCDIC
    BQX_FC_COUNT,
    {
        "",               // 1 BQXOPEN
        "i4p4i4p4i4",     // 2 BQXCONN
        "i4",             // 3 BQXCLSE
        "i4p4i4p4i4i4",   // 4 BQXPROD
        "i4p4i4p4p4i4i4", // 5 BQXCONS
        "i4i4",           // 6 BQXDBUG
        "i4i4u4u4",       // 7 BQXSYNC
        "i4p4i4p4i4",     // 8 BQXAUTH
        "i4p4p4",         // 9 BQXGERR
        "i4i4",           // 10 BQXCLDB
        "",               // 11 BQXTERM
        "i4i4",           // 12 BQXTIMO
        "i4p4i4p4i4",     // 13 BQXCONF
        "i4p4p4p4p4p4p4", // 14 BQXINFO
    },
};

static_assert(sizeof(paFctPrm) == 16 * 8, "the table is 16 64-bit words");

// Each argument is fetched in its own statement: the order of evaluation
// of function arguments is unspecified, the order of va_arg calls is not.
// BQXCONN and BQXAUTH: a handle and two texts with their lengths.
using TwoTextCall = int32_t (*)(int32_t, const char *, int32_t, const char *, int32_t);

static int32_t call_two_texts(TwoTextCall entryPoint, va_list ap) {
    int32_t handle = va_arg(ap, int32_t);
    const char *first = va_arg(ap, const char *);
    int32_t firstLen = va_arg(ap, int32_t);
    const char *second = va_arg(ap, const char *);
    int32_t secondLen = va_arg(ap, int32_t);
    return entryPoint(handle, first, firstLen, second, secondLen);
}

static int32_t call_prod(va_list ap) {
    int32_t handle = va_arg(ap, int32_t);
    const char *key = va_arg(ap, const char *);
    uint32_t keyLen = va_arg(ap, uint32_t);
    const char *message = va_arg(ap, const char *);
    uint32_t messageLen = va_arg(ap, uint32_t);
    uint32_t convert = va_arg(ap, uint32_t);
    return BQXPROD(handle, key, keyLen, message, messageLen, convert);
}

static int32_t call_cons(va_list ap) {
    int32_t handle = va_arg(ap, int32_t);
    const char *group = va_arg(ap, const char *);
    int32_t groupLen = va_arg(ap, int32_t);
    char *buffer = va_arg(ap, char *);
    uint32_t *bufferLen = va_arg(ap, uint32_t *);
    int32_t convert = va_arg(ap, int32_t);
    int32_t timeout = va_arg(ap, int32_t);
    return BQXCONS(handle, group, groupLen, buffer, bufferLen, convert, timeout);
}

static int32_t call_sync(va_list ap) {
    int32_t handle = va_arg(ap, int32_t);
    int32_t mode = va_arg(ap, int32_t);
    uint32_t sendWindow = va_arg(ap, uint32_t);
    uint32_t receiveWindow = va_arg(ap, uint32_t);
    return BQXSYNC(handle, mode, sendWindow, receiveWindow);
}

static int32_t call_gerr(va_list ap) {
    int32_t handle = va_arg(ap, int32_t);
    char *buffer = va_arg(ap, char *);
    int32_t *length = va_arg(ap, int32_t *);
    return BQXGERR(handle, buffer, length);
}

static int32_t call_info(va_list ap) {
    int32_t handle = va_arg(ap, int32_t);
    char *key = va_arg(ap, char *);
    uint32_t *keyLength = va_arg(ap, uint32_t *);
    int32_t *partition = va_arg(ap, int32_t *);
    int64_t *offset = va_arg(ap, int64_t *);
    int64_t *timestamp = va_arg(ap, int64_t *);
    uint32_t *flags = va_arg(ap, uint32_t *);
    return BQXINFO(handle, key, keyLength, partition, offset, timestamp, flags);
}

static int32_t call_handle_int(uint32_t code, va_list ap) {
    int32_t handle = va_arg(ap, int32_t);
    int32_t value = va_arg(ap, int32_t);
    if (code == BQX_FC_DBUG) return BQXDBUG(handle, value);
    if (code == BQX_FC_CLDB) return BQXCLDB(handle, value);
    return BQXTIMO(handle, static_cast<uint32_t>(value));
}

static int32_t dispatch(uint32_t code, va_list ap) {
    switch (code) {
    case BQX_FC_TABLE:
        // Only the low 32 bits of the address fit the result; 64-bit callers
        // reach the table by its exported name.
        return static_cast<int32_t>(reinterpret_cast<uintptr_t>(&paFctPrm));
    case BQX_FC_OPEN: return BQXOPEN();
    case BQX_FC_CONN: return call_two_texts(BQXCONN, ap);
    case BQX_FC_CLSE: return BQXCLSE(va_arg(ap, int32_t));
    case BQX_FC_PROD: return call_prod(ap);
    case BQX_FC_CONS: return call_cons(ap);
    case BQX_FC_SYNC: return call_sync(ap);
    case BQX_FC_AUTH: return call_two_texts(BQXAUTH, ap);
    case BQX_FC_CONF:
        return call_two_texts(BQXCONF, ap);
    case BQX_FC_INFO:
        return call_info(ap);
    case BQX_FC_GERR: return call_gerr(ap);
    case BQX_FC_TERM: BQXTERM(); return 0;
    case BQX_FC_DBUG:
    case BQX_FC_CLDB:
    case BQX_FC_TIMO: return call_handle_int(code, ap);
    default:
        bqx_log_vf(ERR_FUNCTION_CODE, nullptr, "BQXFUNC", -1, -1, 2, static_cast<int32_t>(code),
                   BQX_FC_COUNT);
        return ERR_FUNCTION_CODE;
    }
}

int32_t BQXFUNC(uint32_t functionCode, ...) {
    va_list ap;
    va_start(ap, functionCode);
    int32_t result = dispatch(functionCode, ap);
    va_end(ap);
    return result;
}
