// The request body: one Kafka field per two-character code of a format,
// written straight into the caller's buffer and never beyond its capacity.
#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include "codec/codec.h"
#include "codec/conv.h"
#include "codec/marshall.h"
#include "codec/wire.h"
#include "log/log.h"
#include "log/messages.h"

namespace {

constexpr const char *kTag = "Marshall";

struct Encoder {
    PCB *pcb;
    WireWriter out;
    uint32_t bufferSize; // as the caller gave it, for the log line
};

// How the byte count of a text precedes it on the wire.
enum class Prefix { None, Int16, CompactLength, ZigZag };

// True when `bytes` more fit at the current position; logs 7514 otherwise.
bool room_for(Encoder &e, uint64_t bytes) {
    if (bytes <= wire_space(e.out))
        return true;
    marshall_report_overrun(e.pcb, e.out.pos + bytes, e.bufferSize);
    return false;
}

int32_t put_integer(Encoder &e, uint64_t value, uint32_t width) {
    if (!room_for(e, width))
        return kCodecOverrun;
    put_be(e.out, value, width);
    return 0;
}

int32_t put_varint(Encoder &e, uint64_t value) {
    if (!room_for(e, uvarint_size(value)))
        return kCodecOverrun;
    put_uvarint(e.out, value);
    return 0;
}

uint32_t prefix_bytes(Prefix prefix, uint64_t count) {
    switch (prefix) {
    case Prefix::None:
        return 0;
    case Prefix::Int16:
        return 2;
    case Prefix::CompactLength:
        return uvarint_size(count + 1);
    case Prefix::ZigZag:
        return uvarint_size(zigzag_encode(static_cast<int64_t>(count)));
    }
    return 0;
}

void write_prefix(WireWriter &out, Prefix prefix, uint32_t count) {
    switch (prefix) {
    case Prefix::None:
        break;
    case Prefix::Int16:
        put_be(out, count, 2);
        break;
    case Prefix::CompactLength:
        put_uvarint(out, static_cast<uint64_t>(count) + 1);
        break;
    case Prefix::ZigZag:
        put_uvarint(out, zigzag_encode(count));
        break;
    }
}

void clear(char *bytes, uint32_t count) {
    if (count)
        memset(bytes, 0, count);
}

// Converts a text to UTF-8 into the `room` bytes at `dest`. False when the
// result does not fit; nothing of it is left in the buffer then. The room
// is the buffer's free space, not a multiple of the text's length, so that
// a text whose characters grow a lot (3 bytes for the euro sign) is never
// cut short.
bool convert_into(PCB *pcb, const char *text, uint32_t length, char *dest, uint32_t room,
                  uint32_t *sent) {
    uint32_t produced = 0;
    int error = conv_quiet(pcb, kToUtf8, text, length, dest, room, &produced);
    if (error == 0) {
        *sent = produced;
        return true;
    }
    clear(dest, produced);
    if (error == E2BIG && conv_measure(pcb, kToUtf8, text, length) > room)
        return false;
    // Invalid input or no usable descriptor: iconv_convert logs it and
    // passes the text through unchanged where it can.
    uint32_t bytes = room;
    uint32_t ignored = 0;
    if (iconv_convert(pcb, text, length, dest, &bytes, &ignored, kToUtf8) == -1) {
        clear(dest, bytes);
        return false;
    }
    *sent = bytes;
    return true;
}

bool copy_into(const char *text, uint32_t length, char *dest, uint32_t room, uint32_t *sent) {
    if (length > room)
        return false;
    if (length)
        memcpy(dest, text, length);
    *sent = length;
    return true;
}

// Writes a text behind its byte count. The text goes straight into the
// buffer behind room for the shortest prefix; when its count needs a longer
// varint, the text is moved up behind it.
int32_t put_text(Encoder &e, Prefix prefix, const char *text, uint32_t length, bool convert) {
    uint32_t space = wire_space(e.out);
    uint32_t kept = prefix_bytes(prefix, 0);
    if (space >= kept) {
        uint8_t *start = e.out.buf + e.out.pos;
        char *dest = reinterpret_cast<char *>(start + kept);
        uint32_t room = space - kept;
        uint32_t sent = 0;
        bool placed = convert ? convert_into(e.pcb, text, length, dest, room, &sent)
                              : copy_into(text, length, dest, room, &sent);
        uint32_t needed = prefix_bytes(prefix, sent);
        if (placed && static_cast<uint64_t>(needed) + sent <= space) {
            if (needed != kept)
                memmove(start + needed, dest, sent);
            write_prefix(e.out, prefix, sent);
            e.out.pos += sent;
            return 0;
        }
        if (placed)
            clear(dest, sent);
    }
    uint64_t bytes = convert ? conv_measure(e.pcb, kToUtf8, text, length) : length;
    marshall_report_overrun(e.pcb, e.out.pos + prefix_bytes(prefix, bytes) + bytes,
                            e.bufferSize);
    return kCodecOverrun;
}

uint32_t text_length(const char *text) {
    size_t length = strlen(text);
    return length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
}

// "vs": a record key or value; null or empty is the null form -1.
int32_t put_record_bytes(Encoder &e, const char *text, uint32_t length, bool convert) {
    if (!text || length == 0)
        return put_varint(e, zigzag_encode(-1));
    return put_text(e, Prefix::ZigZag, text, length, convert);
}

// "ns": null is the length -1; longer texts keep their first 65535 bytes.
int32_t put_nullable(Encoder &e, const char *text, bool convert) {
    if (!text)
        return put_integer(e, 0xFFFF, 2);
    return put_text(e, Prefix::Int16, text, text_length(text) & 0xFFFF, convert);
}

// "st", "cs", "sw": always converted. A null pointer is an empty STRING,
// the null COMPACT_STRING and no bytes at all respectively.
int32_t put_string(Encoder &e, Prefix prefix, const char *text) {
    if (!text && prefix == Prefix::CompactLength)
        return put_varint(e, 0);
    if (!text)
        text = "";
    return put_text(e, prefix, text, text_length(text), true);
}

int32_t encode_field(Encoder &e, WireCode code, va_list *args) {
    switch (code) {
    case WireCode::I1:
        return put_integer(e, static_cast<uint32_t>(va_arg(*args, int32_t)), 1);
    case WireCode::I2:
        return put_integer(e, static_cast<uint32_t>(va_arg(*args, int32_t)), 2);
    case WireCode::I4:
        return put_integer(e, static_cast<uint32_t>(va_arg(*args, int32_t)), 4);
    case WireCode::I8:
        return put_integer(e, static_cast<uint64_t>(va_arg(*args, int64_t)), 8);
    case WireCode::UV:
        return put_varint(e, va_arg(*args, uint64_t));
    case WireCode::VI:
        return put_varint(e, zigzag_encode(va_arg(*args, int64_t)));
    case WireCode::VS: {
        const char *text = va_arg(*args, const char *);
        uint32_t length = va_arg(*args, uint32_t);
        return put_record_bytes(e, text, length, va_arg(*args, int32_t) != 0);
    }
    case WireCode::NS: {
        const char *text = va_arg(*args, const char *);
        return put_nullable(e, text, va_arg(*args, int32_t) != 0);
    }
    case WireCode::ST:
        return put_string(e, Prefix::Int16, va_arg(*args, const char *));
    case WireCode::CS:
        return put_string(e, Prefix::CompactLength, va_arg(*args, const char *));
    case WireCode::SW:
        return put_string(e, Prefix::None, va_arg(*args, const char *));
    default:
        return kCodecBadFormat; // reply-only codes and non-codes
    }
}

int32_t encode_all(Encoder &e, const char *format, va_list *args) {
    for (const char *pair = format; *pair; pair += 2) {
        int32_t rc = encode_field(e, wire_code(pair), args);
        if (rc != 0)
            return rc;
    }
    return static_cast<int32_t>(e.out.pos);
}

} // namespace

void marshall_report_overrun(PCB *pcb, uint64_t required, uint32_t capacity) {
    int32_t shown = required > kMaxWirePosition ? static_cast<int32_t>(kMaxWirePosition)
                                                : static_cast<int32_t>(required);
    bqx_log_vf(ERR_MARSHALL, pcb, kTag, -1, -1, 2, shown, capacity);
}

int32_t kafka_marshall_new(PCB *pcb, uint8_t *buffer, uint32_t bufferSize, int32_t position,
                           const char *format, ...) {
    if (position < 0)
        return position;
    if (!format)
        return kCodecBadFormat;
    uint32_t capacity = !buffer ? 0 : bufferSize < kMaxWirePosition ? bufferSize : kMaxWirePosition;
    uint32_t start = static_cast<uint32_t>(position);
    if (start > capacity) {
        if (*format == '\0')
            return position;
        marshall_report_overrun(pcb, start, bufferSize);
        return kCodecOverrun;
    }
    Encoder e{pcb, {buffer, capacity, start}, bufferSize};
    va_list args;
    va_start(args, format);
    int32_t result = encode_all(e, format, &args);
    va_end(args);
    return result;
}
