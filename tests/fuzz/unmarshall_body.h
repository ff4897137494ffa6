// The body shared by the unmarshaller fuzz drivers (the seeded one and the
// coverage-guided one): the targets of every reply code, one decode call of
// one or two codes from a position, and the decoder's promises checked after
// it: a failed call passes its failure on and clears its targets, an overrun
// clears the target it stopped at, a decoded text is terminated and within
// its limit, and the position only moves forward inside the reply. Memory
// errors are left to the sanitizers.
#ifndef BQX_TESTS_FUZZ_UNMARSHALL_BODY_H
#define BQX_TESTS_FUZZ_UNMARSHALL_BODY_H

#include <iconv.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <tuple>
#include <utility>

#include "api/pcb.h"
#include "codec/codec.h"
#include "fuzz/fuzz_support.h"

namespace bqxfuzz {

constexpr int kCodeCount = 13;
constexpr const char *kCodes[kCodeCount] = {"i1", "i2", "i4", "i8", "uv", "vi", "u3",
                                            "um", "ns", "st", "cs", "cb", "c1"};
enum Code { I1, I2, I4, I8, UV, VI, U3, UM, NS, ST, CS, CB, C1 };

inline char gUntouched; // what text targets point at before a call

// The targets of one code.
struct Slot {
    alignas(8) uint8_t raw[16]; // integer codes and "um"
    char *text;                 // text and byte codes, "c1" data
    int32_t length;             // "c1" length
    uint32_t count;             // "um" byte count
    int32_t convert;            // "c1" flag

    void fill(uint32_t byteCount, int32_t convertFlag) {
        memset(raw, 0xA5, sizeof raw);
        text = &gUntouched;
        length = 0x7777;
        count = byteCount % (sizeof raw + 1);
        convert = convertFlag;
    }
};

template <int C>
inline auto targets_of(Slot &s) {
    if constexpr (C == UM)
        return std::make_tuple(static_cast<void *>(s.raw), s.count);
    else if constexpr (C == C1)
        return std::make_tuple(&s.length, &s.text, s.convert);
    else if constexpr (C == NS || C == ST || C == CS || C == CB)
        return std::make_tuple(&s.text);
    else
        return std::make_tuple(static_cast<void *>(s.raw));
}

using Decoder = int32_t (*)(PCB *, const Bytes &, int32_t, Slot *);

template <int A>
inline int32_t decode_one(PCB *pcb, const Bytes &reply, int32_t position, Slot *slots) {
    static constexpr char format[] = {kCodes[A][0], kCodes[A][1], '\0'};
    return std::apply(
        [&](auto... args) {
            return kafka_unmarshall_new(pcb, reply.data(), static_cast<uint32_t>(reply.size()),
                                        position, format, args...);
        },
        targets_of<A>(slots[0]));
}

template <int A, int B>
inline int32_t decode_two(PCB *pcb, const Bytes &reply, int32_t position, Slot *slots) {
    static constexpr char format[] = {kCodes[A][0], kCodes[A][1], kCodes[B][0], kCodes[B][1], '\0'};
    return std::apply(
        [&](auto... args) {
            return kafka_unmarshall_new(pcb, reply.data(), static_cast<uint32_t>(reply.size()),
                                        position, format, args...);
        },
        std::tuple_cat(targets_of<A>(slots[0]), targets_of<B>(slots[1])));
}

template <size_t... I>
constexpr std::array<Decoder, sizeof...(I)> singles(std::index_sequence<I...>) {
    return {&decode_one<I>...};
}

template <size_t... I>
constexpr std::array<Decoder, sizeof...(I)> pairs(std::index_sequence<I...>) {
    return {&decode_two<I / kCodeCount, I % kCodeCount>...};
}

constexpr auto kSingles = singles(std::make_index_sequence<kCodeCount>());
constexpr auto kPairs = pairs(std::make_index_sequence<kCodeCount * kCodeCount>());

inline uint32_t zero_width(int code, const Slot &slot) {
    switch (code) {
    case I1: return 1;
    case I2: return 2;
    case I4: case U3: return 4;
    case UM: return slot.count;
    case I8: case UV: case VI: return 8;
    default: return 0;
    }
}

inline bool is_cleared(int code, const Slot &slot) {
    for (uint32_t i = 0; i < zero_width(code, slot); ++i)
        if (slot.raw[i] != 0)
            return false;
    if (code == C1)
        return slot.text == nullptr && slot.length == 0;
    if (code == NS || code == ST || code == CS || code == CB)
        return slot.text == nullptr;
    return true;
}

// Checks what a decoded text or record promises and frees it.
inline bool release(int code, Slot &slot) {
    bool ok = true;
    if (slot.text == &gUntouched)
        ok = !(code == NS || code == ST || code == CS || code == CB || code == C1);
    else if (slot.text && (code == NS || code == ST || code == CS))
        ok = strlen(slot.text) <= 2 * 0xFFFFull;
    else if (slot.text && code == C1)
        ok = slot.length >= 0 && slot.text[slot.length] == '\0';
    if (slot.text != &gUntouched)
        free(slot.text);
    slot.text = nullptr;
    return ok;
}

// Outcomes of all calls, to show that every kind is reached.
struct Outcomes {
    unsigned long decoded, overrun, passedOn;
};
inline Outcomes gOutcomes;

struct Call {
    int codes[2];
    int width; // 1 or 2 codes
};

// One decode call from `position` with its checks; returns the new position.
inline int32_t run_call(PCB *pcb, const Bytes &reply, int32_t position, const Call &call,
                        Slot *slots, bool *ok) {
    Decoder decoder = call.width == 1 ? kSingles[call.codes[0]]
                                      : kPairs[call.codes[0] * kCodeCount + call.codes[1]];
    int32_t result = decoder(pcb, reply, position, slots);
    int last = call.codes[call.width - 1];
    if (position < 0) {
        ++gOutcomes.passedOn;
        *ok &= result == position;
        for (int i = 0; i < call.width; ++i)
            *ok &= is_cleared(call.codes[i], slots[i]);
    } else if (result == kCodecOverrun) {
        ++gOutcomes.overrun;
        *ok &= is_cleared(last, slots[call.width - 1]);
    } else {
        ++gOutcomes.decoded;
        *ok &= result >= position && static_cast<size_t>(result) <= reply.size();
    }
    for (int i = 0; i < call.width; ++i)
        *ok &= release(call.codes[i], slots[i]);
    return result;
}

// A chain of calls over one reply, each from where the last one stopped.
inline bool run_chain(PCB *pcb, const Bytes &reply, int32_t position, const Call *calls,
                      Slot (*slots)[2], uint32_t callCount) {
    bool ok = true;
    for (uint32_t c = 0; c < callCount; ++c)
        position = run_call(pcb, reply, position, calls[c], slots[c], &ok);
    return ok;
}

// Two sessions: UTF-8 and ISO-8859-15 as the local code set.
inline void open_sessions(PCB (&sessions)[2]) {
    const char *codeSets[2] = {"UTF-8", "ISO-8859-15"};
    for (int n = 0; n < 2; ++n) {
        memset(&sessions[n], 0, sizeof sessions[n]);
        sessions[n].cdEncode = iconv_open("UTF-8", codeSets[n]);
        sessions[n].cdDecode = iconv_open(codeSets[n], "UTF-8");
    }
}

} // namespace bqxfuzz

#endif
