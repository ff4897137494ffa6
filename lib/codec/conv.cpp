// The conversion loop shared by iconv_convert and the marshaller: pieces of
// at most 2048 input bytes, a character split by a piece boundary carried
// into the next piece.
#include "codec/conv.h"

#include <errno.h>
#include <iconv.h>

#include "api/pcb.h"
#include "codec/codec.h"

namespace {

constexpr uint32_t kPieceSize = 2048;
constexpr size_t kMeasureChunk = 512;
const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

// The session's descriptor for `direction`, or kNoDescriptor.
iconv_t descriptor(const PCB *pcb, int32_t direction) {
    if (!pcb)
        return kNoDescriptor;
    iconv_t cd = kNoDescriptor;
    if (direction == kToUtf8)
        cd = pcb->cdEncode;
    else if (direction == kFromUtf8)
        cd = pcb->cdDecode;
    return cd ? cd : kNoDescriptor; // a session never opened holds null
}

// Every call converts a self-contained text: forget any shift state that an
// earlier, failed conversion left behind.
void reset_state(iconv_t cd) { iconv(cd, nullptr, nullptr, nullptr, nullptr); }

} // namespace

int conv_quiet(PCB *pcb, int32_t direction, const char *input, uint32_t length,
               char *output, uint32_t capacity, uint32_t *produced) {
    *produced = 0;
    iconv_t cd = descriptor(pcb, direction);
    if (cd == kNoDescriptor)
        return EBADF;
    reset_state(cd);
    char *next = const_cast<char *>(input); // iconv's interface is not const
    const char *end = input + length;
    char *out = output;
    size_t room = capacity;
    while (next < end) {
        const char *pieceStart = next;
        size_t pieceLeft = static_cast<size_t>(end - next) < kPieceSize
                               ? static_cast<size_t>(end - next)
                               : kPieceSize;
        size_t rc = iconv(cd, &next, &pieceLeft, &out, &room);
        *produced = capacity - static_cast<uint32_t>(room);
        if (rc != static_cast<size_t>(-1))
            continue;
        int error = errno;
        // A sequence cut by the piece boundary is completed by the next
        // piece, which starts at its first byte. Only at the very end of
        // the input is an incomplete sequence an error.
        bool splitByPiece = error == EINVAL && next + pieceLeft < end && next != pieceStart;
        if (!splitByPiece)
            return error;
    }
    return 0;
}

uint64_t conv_measure(PCB *pcb, int32_t direction, const char *input, uint32_t length) {
    iconv_t cd = descriptor(pcb, direction);
    if (cd == kNoDescriptor)
        return 0;
    reset_state(cd);
    char *next = const_cast<char *>(input);
    size_t left = length;
    uint64_t total = 0;
    char chunk[kMeasureChunk];
    for (;;) {
        char *out = chunk;
        size_t room = sizeof chunk;
        size_t rc = iconv(cd, &next, &left, &out, &room);
        total += sizeof chunk - room;
        if (rc != static_cast<size_t>(-1))
            return total;
        if (errno != E2BIG || room == sizeof chunk)
            break;
    }
    // Input the converter rejects is passed through unchanged, but only
    // after the converter has written everything before the bad byte: the
    // caller needs room for the larger of the two.
    return total > length ? total : length;
}
