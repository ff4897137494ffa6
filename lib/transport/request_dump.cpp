// Hex dumps of requests, with the SASL password hidden (all of a SCRAM
// message: client-final holds the proof).
#include <stdlib.h>
#include <string.h>

#include "log/log.h"
#include "transport/transport_internal.h"

namespace {

constexpr int16_t kSaslAuthenticateKey = 36;
constexpr uint32_t kClientIdLengthPos = 12;
constexpr uint32_t kMaxVarintBytes = 5;

// Position behind the request header (client id included), or 0 when the
// request ends inside it.
uint32_t headerEnd(const uint8_t *request, uint32_t length) {
    if (length < kClientIdLengthPos + 2)
        return 0;
    int16_t clientIdLength = transport_readBe16(request + kClientIdLengthPos);
    uint32_t end = kClientIdLengthPos + 2 + (clientIdLength > 0 ? clientIdLength : 0);
    return end <= length ? end : 0;
}

// Reads an unsigned varint at *pos. False when it does not end in time.
bool readVarint(const uint8_t *bytes, uint32_t length, uint32_t *pos, uint64_t *value) {
    *value = 0;
    for (uint32_t i = 0; i < kMaxVarintBytes && *pos < length; ++i) {
        uint8_t byte = bytes[(*pos)++];
        *value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

// First zero byte in [from, to), or `to` when there is none.
uint32_t findZero(const uint8_t *bytes, uint32_t from, uint32_t to) {
    while (from < to && bytes[from] != 0)
        ++from;
    return from;
}

void fill(uint8_t *bytes, uint32_t from, uint32_t to) {
    if (from < to)
        memset(bytes + from, '*', to - from);
}

} // namespace

void transport_maskSaslPassword(uint8_t *copy, uint32_t length) {
    uint32_t bodyStart = headerEnd(copy, length);
    if (bodyStart == 0) {
        fill(copy, length < kClientIdLengthPos ? length : kClientIdLengthPos, length);
        return;
    }
    // Body: tagged-field byte, auth_bytes length + 1, then 0 user 0 password.
    uint32_t pos = bodyStart + 1;
    uint64_t lengthPlusOne = 0;
    if (!readVarint(copy, length, &pos, &lengthPlusOne) || lengthPlusOne == 0 ||
        lengthPlusOne - 1 > length - pos) {
        fill(copy, bodyStart, length);
        return;
    }
    uint32_t authEnd = pos + static_cast<uint32_t>(lengthPlusOne - 1);
    // PLAIN begins with the empty authorization identity's zero byte;
    // anything else (SCRAM) is hidden whole.
    if (pos < authEnd && copy[pos] != 0) {
        fill(copy, pos, authEnd);
        return;
    }
    uint32_t firstZero = findZero(copy, pos, authEnd);
    uint32_t secondZero = firstZero < authEnd ? findZero(copy, firstZero + 1, authEnd) : authEnd;
    if (secondZero >= authEnd) {
        fill(copy, bodyStart, length);
        return;
    }
    fill(copy, secondZero + 1, authEnd);
}

void transport_dumpRequest(PCB *pcb, const char *tag, int32_t broker, const char *title,
                           const uint8_t *request, uint32_t length, uint32_t limit) {
    uint32_t shown = length < limit ? length : limit;
    if (shown > INT32_MAX)
        shown = INT32_MAX;
    bool isSaslAuth = length >= 6 && transport_readBe16(request + 4) == kSaslAuthenticateKey;
    if (!isSaslAuth) {
        hexdump(pcb, tag, broker, -1, title, request, static_cast<int32_t>(shown));
        return;
    }
    uint8_t *copy = static_cast<uint8_t *>(malloc(length));
    if (!copy) {
        // Without a copy to mask, show no more than the fixed header fields.
        uint32_t safe = shown < kRequestMinLength ? shown : kRequestMinLength;
        hexdump(pcb, tag, broker, -1, title, request, static_cast<int32_t>(safe));
        return;
    }
    memcpy(copy, request, length);
    transport_maskSaslPassword(copy, length);
    hexdump(pcb, tag, broker, -1, title, copy, static_cast<int32_t>(shown));
    free(copy);
}
