// Seeded random-input driver for the reply decoder: valid encodings of every
// reply code, mutated, truncated and extended, and plain random bytes, run
// through single codes, every pair of codes and chains of calls. Checks the
// decoder's promises after every call; memory errors are left to the
// sanitizers. Usage: bqx_fuzz_unmarshall [iterations] [seed]
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <tuple>
#include <utility>
#include <vector>

#include "api/pcb.h"
#include "codec/codec.h"
#include "fuzz/fuzz_rng.h"

namespace {

constexpr int kCodeCount = 13;
constexpr const char *kCodes[kCodeCount] = {"i1", "i2", "i4", "i8", "uv", "vi", "u3",
                                            "um", "ns", "st", "cs", "cb", "c1"};
enum Code { I1, I2, I4, I8, UV, VI, U3, UM, NS, ST, CS, CB, C1 };

using Bytes = std::vector<uint8_t>;

char gUntouched; // what text targets point at before a call

// The targets of one code.
struct Slot {
    alignas(8) uint8_t raw[16]; // integer codes and "um"
    char *text;                 // text and byte codes, "c1" data
    int32_t length;             // "c1" length
    uint32_t count;             // "um" byte count
    int32_t convert;            // "c1" flag

    void fill(Rng &rng) {
        memset(raw, 0xA5, sizeof raw);
        text = &gUntouched;
        length = 0x7777;
        count = rng.below(sizeof raw + 1);
        convert = static_cast<int32_t>(rng.below(2));
    }
};

template <int C>
auto targets_of(Slot &s) {
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
int32_t decode_one(PCB *pcb, const Bytes &reply, int32_t position, Slot *slots) {
    static constexpr char format[] = {kCodes[A][0], kCodes[A][1], '\0'};
    return std::apply(
        [&](auto... args) {
            return kafka_unmarshall_new(pcb, reply.data(), static_cast<uint32_t>(reply.size()),
                                        position, format, args...);
        },
        targets_of<A>(slots[0]));
}

template <int A, int B>
int32_t decode_two(PCB *pcb, const Bytes &reply, int32_t position, Slot *slots) {
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

void put_uvarint(Bytes &out, uint64_t value) {
    for (; value >= 0x80; value >>= 7)
        out.push_back(static_cast<uint8_t>(value | 0x80));
    out.push_back(static_cast<uint8_t>(value));
}

// Bytes of a text: ASCII, UTF-8 sequences and the odd invalid byte.
void put_text(Rng &rng, Bytes &out, uint32_t length) {
    static const uint8_t kAlphabet[] = {'a', 'Z', '0', ' ', 0xC3, 0xA4, 0xE2, 0x82, 0xAC, 0xFF, 0x00};
    for (uint32_t i = 0; i < length; ++i)
        out.push_back(kAlphabet[rng.below(sizeof kAlphabet)]);
}

uint64_t random_value(Rng &rng) { return rng.next() >> rng.below(64); }

void put_valid(Rng &rng, Bytes &out, int code, const Slot &slot) {
    static const uint32_t kWidth[] = {1, 2, 4, 8};
    uint32_t length = rng.below(24);
    switch (code) {
    case I1: case I2: case I4: case I8:
        for (uint32_t i = 0; i < kWidth[code]; ++i)
            out.push_back(static_cast<uint8_t>(rng.next()));
        break;
    case UV: case VI:
        put_uvarint(out, random_value(rng));
        break;
    case U3:
        put_uvarint(out, rng.below(6));
        break;
    case UM:
        put_text(rng, out, slot.count);
        break;
    case NS: case ST:
        if (rng.below(8) == 0)
            length = rng.below(2) ? 0xFFFF : 0;
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(length));
        put_text(rng, out, length == 0xFFFF ? 0 : length);
        break;
    case CS: case CB:
        put_uvarint(out, rng.below(8) == 0 ? 0 : length + 1);
        put_text(rng, out, length);
        break;
    default: // c1
        put_uvarint(out, rng.below(8) == 0 ? 1 : 2ull * length);
        put_text(rng, out, length);
    }
}

// Mutations of a valid reply: changed bytes, varint runs, a cut, an extension.
void mutate(Rng &rng, Bytes &reply) {
    for (uint32_t n = rng.below(4); n > 0 && !reply.empty(); --n) {
        size_t at = rng.below(static_cast<uint32_t>(reply.size()));
        reply[at] = rng.below(3) == 0 ? 0xFF : rng.below(2) ? 0x80 : static_cast<uint8_t>(rng.next());
    }
    if (rng.below(3) == 0 && !reply.empty())
        reply.resize(rng.below(static_cast<uint32_t>(reply.size())));
    if (rng.below(4) == 0)
        for (uint32_t n = rng.below(12); n > 0; --n)
            reply.push_back(rng.below(2) ? 0x80 : static_cast<uint8_t>(rng.next()));
}

uint32_t zero_width(int code, const Slot &slot) {
    switch (code) {
    case I1: return 1;
    case I2: return 2;
    case I4: case U3: return 4;
    case UM: return slot.count;
    case I8: case UV: case VI: return 8;
    default: return 0;
    }
}

bool is_cleared(int code, const Slot &slot) {
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
bool release(int code, Slot &slot) {
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
} gOutcomes;

struct Call {
    int codes[2];
    int width; // 1 or 2 codes
};

// One decode call from `position` with its checks; returns the new position.
int32_t run_call(PCB *pcb, const Bytes &reply, int32_t position, const Call &call, Slot *slots,
                 bool *ok) {
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

// One iteration: a chain of one to four calls over one reply.
bool run_iteration(Rng &rng, PCB *pcb) {
    Call calls[4];
    Slot slots[4][2];
    uint32_t callCount = 1 + rng.below(4);
    Bytes reply;
    bool randomBytes = rng.below(5) == 0;
    for (uint32_t c = 0; c < callCount; ++c) {
        calls[c].width = 1 + static_cast<int>(rng.below(2));
        for (int i = 0; i < calls[c].width; ++i) {
            calls[c].codes[i] = static_cast<int>(rng.below(kCodeCount));
            slots[c][i].fill(rng);
            if (!randomBytes)
                put_valid(rng, reply, calls[c].codes[i], slots[c][i]);
        }
    }
    if (randomBytes)
        for (uint32_t n = rng.below(48); n > 0; --n)
            reply.push_back(static_cast<uint8_t>(rng.next()));
    else
        mutate(rng, reply);
    bool ok = true;
    int32_t position = rng.below(16) == 0 ? static_cast<int32_t>(rng.below(8)) : 0;
    for (uint32_t c = 0; c < callCount; ++c)
        position = run_call(pcb, reply, position, calls[c], slots[c], &ok);
    return ok;
}

void open_session(PCB *pcb, const char *localCodeSet) {
    memset(pcb, 0, sizeof *pcb);
    pcb->cdEncode = iconv_open("UTF-8", localCodeSet);
    pcb->cdDecode = iconv_open(localCodeSet, "UTF-8");
}

} // namespace

int main(int argc, char **argv) {
    unsigned long iterations = argc > 1 ? strtoul(argv[1], nullptr, 10) : 10000;
    Rng rng{argc > 2 ? strtoull(argv[2], nullptr, 10) : 0x5EED};
    PCB sessions[2];
    open_session(&sessions[0], "UTF-8");
    open_session(&sessions[1], "ISO-8859-15");

    // Invalid texts make the converter log a line each: keep them off the terminal.
    fflush(stdout);
    int terminal = dup(STDOUT_FILENO);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);

    unsigned long passed = 0, failed = 0;
    for (unsigned long i = 0; i < iterations; ++i) {
        if (run_iteration(rng, &sessions[i & 1]))
            ++passed;
        else if (++failed <= 10)
            fprintf(stderr, "iteration %lu failed\n", i);
    }

    fflush(stdout);
    dup2(terminal, STDOUT_FILENO);
    close(devNull);
    close(terminal);
    iconv_done(&sessions[0]);
    iconv_done(&sessions[1]);
    printf("calls: %lu decoded, %lu overrun, %lu passed on after a failure\n",
           gOutcomes.decoded, gOutcomes.overrun, gOutcomes.passedOn);
    printf("%lu passed, %lu failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
