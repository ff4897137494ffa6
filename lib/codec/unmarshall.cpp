// The reply decoder: one Kafka field per two-character code of a format,
// stored through the caller's pointers, never read beyond the reply.
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "codec/codec.h"
#include "codec/wire.h"

namespace {

struct Decoder {
    PCB *pcb;
    WireReader in;
};

// The arguments of one code: the target, and for "um" its byte count, for
// "c1" the data pointer's target and the convert flag.
struct Targets {
    void *first;
    void *second;
    uint32_t value;
};

bool is_reply_code(WireCode code) {
    return code != WireCode::None && code != WireCode::VS && code != WireCode::SW;
}

Targets take_targets(WireCode code, va_list *args) {
    Targets t{va_arg(*args, void *), nullptr, 0};
    if (code == WireCode::UM)
        t.value = va_arg(*args, uint32_t);
    if (code == WireCode::C1) {
        t.second = va_arg(*args, void *);
        t.value = va_arg(*args, uint32_t);
    }
    return t;
}

// Stores the low `width` bytes of `value` in host order. memcpy keeps a
// caller's target of any alignment safe.
void store(void *target, uint64_t value, uint32_t width) {
    switch (width) {
    case 1: {
        uint8_t v = static_cast<uint8_t>(value);
        memcpy(target, &v, 1);
        break;
    }
    case 2: {
        uint16_t v = static_cast<uint16_t>(value);
        memcpy(target, &v, 2);
        break;
    }
    case 4: {
        uint32_t v = static_cast<uint32_t>(value);
        memcpy(target, &v, 4);
        break;
    }
    default:
        memcpy(target, &value, 8);
    }
}

void store_pointer(void *target, void *pointer) { memcpy(target, &pointer, sizeof pointer); }

// Sets the targets of one code to zero or null.
void zero_targets(WireCode code, const Targets &t) {
    switch (code) {
    case WireCode::I1:
        store(t.first, 0, 1);
        break;
    case WireCode::I2:
        store(t.first, 0, 2);
        break;
    case WireCode::I4:
    case WireCode::U3:
        store(t.first, 0, 4);
        break;
    case WireCode::UM:
        if (t.value)
            memset(t.first, 0, t.value);
        break;
    case WireCode::C1:
        store(t.first, 0, 4);
        store_pointer(t.second, nullptr);
        break;
    case WireCode::NS:
    case WireCode::ST:
    case WireCode::CS:
    case WireCode::CB:
        store_pointer(t.first, nullptr);
        break;
    default: // i8, uv, vi
        store(t.first, 0, 8);
    }
}

char *allocate(uint64_t bytes) {
    return bytes > SIZE_MAX ? nullptr : static_cast<char *>(malloc(static_cast<size_t>(bytes)));
}

uint32_t capacity_of(uint64_t bytes) {
    return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

// A text converted from UTF-8 into a new buffer of `bufferBytes` (more than
// `capacity`), NUL-terminated; null when it cannot be allocated.
char *decode_text(PCB *pcb, const uint8_t *bytes, uint32_t length, uint64_t bufferBytes,
                  uint64_t capacity, uint32_t *produced) {
    char *text = allocate(bufferBytes);
    *produced = 0;
    if (!text)
        return nullptr;
    uint32_t converted = capacity_of(capacity);
    uint32_t error = 0;
    iconv_convert(pcb, reinterpret_cast<const char *>(bytes), length, text, &converted, &error,
                  kFromUtf8);
    text[converted] = '\0';
    *produced = converted;
    return text;
}

// "ns", "st": INT16 length; 0 and -1 are both null.
bool decode_string(Decoder &d, void *target) {
    uint64_t length = 0;
    if (!get_be(d.in, 2, &length))
        return false;
    if (length == 0 || length == 0xFFFF) {
        store_pointer(target, nullptr);
        return true;
    }
    const uint8_t *bytes = get_bytes(d.in, length);
    if (!bytes)
        return false;
    uint32_t produced = 0;
    uint32_t count = static_cast<uint32_t>(length);
    store_pointer(target, decode_text(d.pcb, bytes, count, 2 * length + 1, 2 * length, &produced));
    return true;
}

// "cs" (text, converted) and "cb" (bytes, copied): varint length + 1; 0 is null.
bool decode_compact(Decoder &d, void *target, bool isText) {
    uint64_t n = 0;
    if (!get_uvarint(d.in, &n))
        return false;
    if (n == 0) {
        store_pointer(target, nullptr);
        return true;
    }
    const uint8_t *bytes = get_bytes(d.in, n - 1);
    if (!bytes)
        return false;
    uint32_t length = static_cast<uint32_t>(n - 1);
    uint32_t produced = 0;
    if (isText) {
        store_pointer(target, decode_text(d.pcb, bytes, length, 2 * n + 1, 2 * n, &produced));
        return true;
    }
    char *data = allocate(2 * n);
    if (data && length)
        memcpy(data, bytes, length);
    store_pointer(target, data);
    return true;
}

// "c1": a record key or value, zigzag length; null and empty both give 0.
bool decode_record_bytes(Decoder &d, const Targets &t) {
    uint64_t r = 0;
    if (!get_uvarint(d.in, &r))
        return false;
    const uint8_t *bytes = get_bytes(d.in, r >> 1);
    if (!bytes)
        return false;
    uint32_t length = static_cast<uint32_t>(r >> 1);
    char *data = nullptr;
    uint32_t produced = 0;
    if (r != 0 && t.value != 0) {
        data = decode_text(d.pcb, bytes, length, 2 * r + 1, 2 * r, &produced);
    } else if (r != 0) {
        data = allocate(2 * r + 1);
        if (data && length)
            memcpy(data, bytes, length);
        if (data)
            data[length] = '\0';
        produced = data ? length : 0;
    }
    store(t.first, produced, 4);
    store_pointer(t.second, data);
    return true;
}

// "u3": compact array count + 1; 0 is the null array (-1). Every element
// takes at least one byte, so a count beyond the rest of the reply is false.
bool decode_compact_count(Decoder &d, void *target) {
    uint64_t n = 0;
    if (!get_uvarint(d.in, &n))
        return false;
    if (n != 0 && n - 1 > d.in.len - d.in.pos)
        return false;
    store(target, n - 1, 4);
    return true;
}

bool decode_integer(Decoder &d, void *target, uint32_t width) {
    uint64_t value = 0;
    if (!get_be(d.in, width, &value))
        return false;
    store(target, value, width);
    return true;
}

bool decode_varint(Decoder &d, void *target, bool zigzag) {
    uint64_t value = 0;
    if (!get_uvarint(d.in, &value))
        return false;
    store(target, zigzag ? static_cast<uint64_t>(zigzag_decode(value)) : value, 8);
    return true;
}

bool decode_raw(Decoder &d, const Targets &t) {
    const uint8_t *bytes = get_bytes(d.in, t.value);
    if (!bytes)
        return false;
    if (t.value)
        memcpy(t.first, bytes, t.value);
    return true;
}

bool decode_field(Decoder &d, WireCode code, const Targets &t) {
    switch (code) {
    case WireCode::I1:
        return decode_integer(d, t.first, 1);
    case WireCode::I2:
        return decode_integer(d, t.first, 2);
    case WireCode::I4:
        return decode_integer(d, t.first, 4);
    case WireCode::I8:
        return decode_integer(d, t.first, 8);
    case WireCode::UV:
        return decode_varint(d, t.first, false);
    case WireCode::VI:
        return decode_varint(d, t.first, true);
    case WireCode::U3:
        return decode_compact_count(d, t.first);
    case WireCode::UM:
        return decode_raw(d, t);
    case WireCode::NS:
    case WireCode::ST:
        return decode_string(d, t.first);
    case WireCode::CS:
        return decode_compact(d, t.first, true);
    case WireCode::CB:
        return decode_compact(d, t.first, false);
    default: // c1
        return decode_record_bytes(d, t);
    }
}

// Decodes the fields of `format`. Once a field fails (or when the chain
// failed before: `result` negative on entry), the targets of that field and
// of every later one are zeroed and `result` is returned.
int32_t decode_all(Decoder &d, const char *format, int32_t result, va_list *args) {
    bool failed = result < 0;
    for (const char *pair = format; *pair; pair += 2) {
        WireCode code = wire_code(pair);
        if (!is_reply_code(code))
            return failed ? result : kCodecBadFormat;
        Targets targets = take_targets(code, args);
        if (!failed && !decode_field(d, code, targets)) {
            failed = true;
            result = kCodecOverrun;
        }
        if (failed)
            zero_targets(code, targets);
    }
    return failed ? result : static_cast<int32_t>(d.in.pos);
}

} // namespace

int32_t kafka_unmarshall_new(PCB *pcb, const uint8_t *reply, uint32_t replyLen,
                             int32_t position, const char *format, ...) {
    if (!format)
        return position < 0 ? position : kCodecBadFormat;
    if (*format == '\0')
        return position;
    uint32_t length = !reply ? 0 : replyLen < kMaxWirePosition ? replyLen : kMaxWirePosition;
    int32_t result = position;
    if (position >= 0 && static_cast<uint32_t>(position) > length)
        result = kCodecOverrun; // every field would start beyond the reply
    uint32_t start = result > 0 ? static_cast<uint32_t>(result) : 0;
    Decoder d{pcb, {reply, length, start}};
    va_list args;
    va_start(args, format);
    result = decode_all(d, format, result, &args);
    va_end(args);
    return result;
}
