// Conversion between the local code page and UTF-8 with the session's two
// descriptors, and the log lines of its failures.
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <string.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "codec/conv.h"
#include "log/log.h"
#include "log/messages.h"

namespace {

constexpr const char *kTag = "iConvert";
constexpr const char *kDumpTag = "iconv";
constexpr const char *kNoCodePage =
    "Cannot get local CodePage, String conversion to UTF-8 not possible";
const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

int32_t dump_length(uint32_t length) {
    return length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(length);
}

// Opens one descriptor; logs 7538 with `name` when it cannot be opened.
int32_t open_descriptor(PCB *pcb, iconv_t *cd, const char *to, const char *from,
                        const char *name, int32_t *errorOut) {
    *cd = iconv_open(to, from);
    if (*cd != kNoDescriptor)
        return 0;
    int32_t error = errno;
    if (errorOut)
        *errorOut = error;
    bqx_log_vf(ERR_ICONV_OPEN, pcb, kTag, -1, -1, 2, name, error);
    return ERR_ICONV_OPEN;
}

void close_descriptor(iconv_t *cd) {
    if (*cd && *cd != kNoDescriptor)
        iconv_close(*cd);
    *cd = kNoDescriptor; // a second close must not free it again
}

// A null pointer where input is read or results are written: nothing is
// converted, and the failure is logged as 7539 with EFAULT.
int32_t reject_arguments(PCB *pcb, uint32_t *outputLen, uint32_t *errorOut) {
    if (outputLen)
        *outputLen = 0;
    if (errorOut)
        *errorOut = EFAULT;
    bqx_log_vf(ERR_ICONV, pcb, kTag, -1, -1, 1, EFAULT);
    return ERR_ICONV;
}

// Invalid or incomplete input: hand it over unconverted when it fits.
int32_t pass_through(PCB *pcb, const char *input, uint32_t inputLen, char *output,
                     uint32_t capacity, uint32_t *outputLen, uint32_t *errorOut,
                     int32_t direction) {
    const char *reason =
        *errorOut == EILSEQ
            ? "an input byte does not belong to the input codeset"
            : "an incomplete character or shift sequence at the end of the input buffer";
    bqx_log_vf(ERR_CONVERT, pcb, kTag, -1, -1, 2, direction == kFromUtf8 ? "from" : "to",
               reason);
    if (capacity < inputLen) {
        *errorOut = E2BIG;
        return -1;
    }
    memcpy(output, input, inputLen);
    *outputLen = inputLen;
    *errorOut = 0;
    return ERR_CONVERT;
}

// The dumps show the input and what was made of it; a credential's
// conversion (`dump` false) is logged by its error number alone.
int32_t report_failure(PCB *pcb, const char *input, uint32_t inputLen, const char *output,
                       uint32_t produced, uint32_t error, bool dump) {
    bqx_log_vf(ERR_ICONV, pcb, kTag, -1, -1, 1, static_cast<int32_t>(error));
    if (!dump)
        return ERR_ICONV;
    hexdump(pcb, kDumpTag, -1, -1, "input Buffer", input, dump_length(inputLen));
    hexdump(pcb, kDumpTag, -1, -1, "output Buffer", output, dump_length(produced));
    return ERR_ICONV;
}

int32_t convert(PCB *pcb, const char *input, uint32_t inputLen, char *output,
                uint32_t *outputLen, uint32_t *errorOut, int32_t direction, bool dump) {
    if (!outputLen || !errorOut || (inputLen != 0 && (!input || !output)))
        return reject_arguments(pcb, outputLen, errorOut);
    uint32_t capacity = *outputLen;
    *outputLen = 0;
    if (inputLen == 0)
        return 0;
    uint32_t produced = 0;
    int error = conv_quiet(pcb, direction, input, inputLen, output, capacity, &produced);
    *outputLen = produced;
    if (error == 0)
        return 0;
    *errorOut = static_cast<uint32_t>(error);
    if (error == EILSEQ || error == EINVAL)
        return pass_through(pcb, input, inputLen, output, capacity, outputLen, errorOut,
                            direction);
    return report_failure(pcb, input, inputLen, output, produced, *errorOut, dump);
}

} // namespace

int32_t iconv_init(PCB *pcb, int32_t *errorOut) {
    if (!pcb) {
        if (errorOut)
            *errorOut = EINVAL;
        bqx_log_vf(ERR_ICONV_OPEN, nullptr, kTag, -1, -1, 2, "Encode", EINVAL);
        return ERR_ICONV_OPEN;
    }
    setlocale(LC_CTYPE, "");
    const char *codeset = nl_langinfo(CODESET);
    if (!codeset || !*codeset) {
        bqx_log_vf(ERR_CODEPAGE, pcb, kTag, -1, -1, 1, kNoCodePage);
        return ERR_CODEPAGE;
    }
    int32_t rc = open_descriptor(pcb, &pcb->cdEncode, "UTF-8", codeset, "Encode", errorOut);
    if (rc != 0) {
        pcb->cdDecode = kNoDescriptor;
        return rc;
    }
    rc = open_descriptor(pcb, &pcb->cdDecode, codeset, "UTF-8", "Decode", errorOut);
    if (rc != 0)
        close_descriptor(&pcb->cdEncode); // the session is not opened: nothing may stay behind
    return rc;
}

int32_t iconv_convert(PCB *pcb, const char *input, uint32_t inputLen, char *output,
                      uint32_t *outputLen, uint32_t *errorOut, int32_t direction) {
    return convert(pcb, input, inputLen, output, outputLen, errorOut, direction, true);
}

int32_t iconv_convert_secret(PCB *pcb, const char *input, uint32_t inputLen, char *output,
                             uint32_t *outputLen, uint32_t *errorOut, int32_t direction) {
    return convert(pcb, input, inputLen, output, outputLen, errorOut, direction, false);
}

void iconv_done(PCB *pcb) {
    if (!pcb)
        return;
    close_descriptor(&pcb->cdEncode);
    close_descriptor(&pcb->cdDecode);
}
