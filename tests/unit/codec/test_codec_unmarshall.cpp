// Reply decoding: every reply code from its wire bytes, conversion of texts,
// and replies that end too early or carry lengths beyond their end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "test_codec_session.h"

namespace {

template <typename... Args>
int32_t decode(CodecSession &s, const Bytes &reply, int32_t position, const char *format,
               Args... args) {
    return kafka_unmarshall_new(&s.pcb, reply.data(), static_cast<uint32_t>(reply.size()),
                                position, format, args...);
}

// Frees a decoded text and returns it as a string ("<null>" for null).
std::string take(char *text) {
    std::string value = text ? text : "<null>";
    free(text);
    return value;
}

TEST(UnmarshallFields, IntegersInHostOrder) {
    CodecSession s;
    Bytes reply{0, 0, 0, 0x13, 0, 0, 0, 7, 0xAB, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0, 1, 0};
    int32_t size = 0, correlation = 0;
    uint8_t flag = 0;
    int16_t small = 0;
    int64_t wide = 0;
    EXPECT_EQ(decode(s, reply, 0, "i4i4i1i2i8", &size, &correlation, &flag, &small, &wide), 19);
    EXPECT_EQ(size, 0x13);
    EXPECT_EQ(correlation, 7);
    EXPECT_EQ(flag, 0xAB);
    EXPECT_EQ(small, -2);
    EXPECT_EQ(wide, 256);
}

TEST(UnmarshallFields, Varints) {
    CodecSession s;
    const std::pair<Bytes, uint64_t> unsignedCases[] = {
        {{0x00}, 0},
        {{0x7F}, 127},
        {{0x80, 0x01}, 128},
        {{0xAC, 0x02}, 300},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, UINT64_MAX},
    };
    for (const auto &[wire, value] : unsignedCases) {
        uint64_t got = 1;
        EXPECT_EQ(decode(s, wire, 0, "uv", &got), static_cast<int32_t>(wire.size()));
        EXPECT_EQ(got, value);
    }
    const std::pair<Bytes, int64_t> zigzagCases[] = {
        {{0x01}, -1}, {{0x02}, 1}, {{0x80, 0x01}, 64}, {{0x81, 0x01}, -65},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, INT64_MIN},
    };
    for (const auto &[wire, value] : zigzagCases) {
        int64_t got = 0;
        EXPECT_EQ(decode(s, wire, 0, "vi", &got), static_cast<int32_t>(wire.size()));
        EXPECT_EQ(got, value);
    }
    int32_t count = 0;
    EXPECT_EQ(decode(s, Bytes{0x00}, 0, "u3", &count), 1);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(decode(s, Bytes{0x03, 0, 0}, 0, "u3", &count), 1);
    EXPECT_EQ(count, 2);
}

TEST(UnmarshallFields, Int16LengthStrings) {
    CodecSession s;
    char *text = nullptr;
    for (const char *code : {"ns", "st"}) {
        EXPECT_EQ(decode(s, Bytes{0, 0, 'x'}, 0, code, &text), 2);
        EXPECT_EQ(text, nullptr) << "length 0 is null";
        EXPECT_EQ(decode(s, Bytes{0xFF, 0xFF, 'x'}, 0, code, &text), 2);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(decode(s, Bytes{0, 3, 'a', 'b', 'c', 'x'}, 0, code, &text), 5);
        EXPECT_EQ(take(text), "abc");
    }
}

TEST(UnmarshallFields, CompactStringsAndBytes) {
    CodecSession s;
    char *text = reinterpret_cast<char *>(1);
    EXPECT_EQ(decode(s, Bytes{0x00}, 0, "cs", &text), 1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(decode(s, Bytes{0x01}, 0, "cs", &text), 1);
    EXPECT_EQ(take(text), "");
    EXPECT_EQ(decode(s, Bytes{0x04, 'a', 'b', 'c'}, 0, "cs", &text), 4);
    EXPECT_EQ(take(text), "abc");

    char *data = reinterpret_cast<char *>(1);
    EXPECT_EQ(decode(s, Bytes{0x00}, 0, "cb", &data), 1);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(decode(s, Bytes{0x03, 0x00, 0xFF}, 0, "cb", &data), 3);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Bytes(data, data + 2), (Bytes{0x00, 0xFF})) << "copied, not converted";
    free(data);
}

TEST(UnmarshallFields, RecordKeyOrValue) {
    CodecSession s;
    int32_t length = -1;
    char *data = reinterpret_cast<char *>(1);
    EXPECT_EQ(decode(s, Bytes{0x00}, 0, "c1", &length, &data, 0), 1);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(decode(s, Bytes{0x01}, 0, "c1", &length, &data, 1), 1);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(take(data), "") << "the null form gives an empty text";
    EXPECT_EQ(decode(s, Bytes{0x06, 'a', 'b', 'c', 'x'}, 0, "c1", &length, &data, 0), 4);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(take(data), "abc");
}

TEST(UnmarshallFields, RawBytesTouchOnlyTheirCount) {
    CodecSession s;
    uint8_t target[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(decode(s, Bytes{0x11, 0x22}, 0, "um", target, 1u), 1);
    EXPECT_EQ(Bytes(target, target + 4), (Bytes{0x11, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(decode(s, Bytes{0x11, 0x22}, 1, "um", target, 0u), 1);
}

TEST(UnmarshallConversion, TextsArriveInTheLocalCodePage) {
    CodecSession s("ISO-8859-15");
    char *text = nullptr;
    EXPECT_EQ(decode(s, Bytes{0, 3, 0xE2, 0x82, 0xAC}, 0, "st", &text), 5);
    EXPECT_EQ(take(text), "\xA4");
    EXPECT_EQ(decode(s, Bytes{0x03, 0xC3, 0xA4}, 0, "cs", &text), 3);
    EXPECT_EQ(take(text), "\xE4");
    int32_t length = 0;
    EXPECT_EQ(decode(s, Bytes{0x06, 0xE2, 0x82, 0xAC}, 0, "c1", &length, &text, 1), 4);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(take(text), "\xA4");
    EXPECT_EQ(decode(s, Bytes{0x06, 0xE2, 0x82, 0xAC}, 0, "c1", &length, &text, 0), 4);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(take(text), "\xE2\x82\xAC");
}

TEST(UnmarshallConversion, InvalidUtf8IsKeptRaw) {
    CodecSession s;
    char *text = nullptr;
    testing::internal::CaptureStdout(); // the 7544 line
    EXPECT_EQ(decode(s, Bytes{0, 2, 0xFF, 0xFE}, 0, "st", &text), 4);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(take(text), "\xFF\xFE");
    EXPECT_NE(log.find("BQX7544E"), std::string::npos) << log;
}

TEST(UnmarshallFormat, PairsThatAreNotReplyCodes) {
    CodecSession s;
    Bytes reply{0, 0, 0, 5, 1, 2, 3, 4};
    int32_t value = 0;
    char *text = nullptr;
    EXPECT_EQ(decode(s, reply, 0, "i4vs", &value, &text), kCodecBadFormat);
    EXPECT_EQ(value, 5) << "fields before the bad pair keep their values";
    EXPECT_EQ(decode(s, reply, 0, "sw", &text), kCodecBadFormat);
    EXPECT_EQ(decode(s, reply, 0, "i4i", &value), kCodecBadFormat);
    EXPECT_EQ(decode(s, reply, 3, ""), 3);
}

// All targets of one decode call, filled with non-zero values beforehand.
struct Targets {
    uint8_t i1;
    int16_t i2;
    int32_t i4;
    int64_t i8;
    uint64_t uv;
    int64_t vi;
    int32_t u3;
    uint8_t raw[4];
    char *text;
    int32_t recordLength;
    char *record;
    int32_t after; // the field behind the one under test

    // Every target is zero or null.
    bool cleared() const {
        return i1 == 0 && i2 == 0 && i4 == 0 && i8 == 0 && uv == 0 && vi == 0 && u3 == 0 &&
               Bytes(raw, raw + 4) == Bytes(4, 0) && text == nullptr && recordLength == 0 &&
               record == nullptr && after == 0;
    }
};

char gNotDecoded; // what text targets point at before decoding

// Targets holding non-zero values.
Targets filled() {
    Targets t;
    memset(&t, 0x5A, sizeof t);
    t.text = t.record = &gNotDecoded;
    return t;
}

using Decode = std::function<int32_t(CodecSession &, const Bytes &, Targets &)>;

struct TruncationCase {
    const char *code;
    Bytes wire; // one complete field
    Decode decode;
    std::function<bool(const Targets &)> ownCleared;
};

template <typename... Ptrs>
Decode with(const char *format, Ptrs Targets::*...members) {
    return [=](CodecSession &s, const Bytes &reply, Targets &t) {
        return decode(s, reply, 0, format, &(t.*members)...);
    };
}

// Each code cut off anywhere inside its field: kCodecOverrun, and its own
// target and the one behind it are zero or null.
TEST(UnmarshallTruncated, EveryCodeCutShortClearsItsTargets) {
    const TruncationCase cases[] = {
        {"i1", {7}, with("i1i4", &Targets::i1, &Targets::after),
         [](const Targets &t) { return t.i1 == 0; }},
        {"i2", {1, 2}, with("i2i4", &Targets::i2, &Targets::after),
         [](const Targets &t) { return t.i2 == 0; }},
        {"i4", {1, 2, 3, 4}, with("i4i4", &Targets::i4, &Targets::after),
         [](const Targets &t) { return t.i4 == 0; }},
        {"i8", {1, 2, 3, 4, 5, 6, 7, 8}, with("i8i4", &Targets::i8, &Targets::after),
         [](const Targets &t) { return t.i8 == 0; }},
        {"uv", {0xAC, 0x82, 0x01}, with("uvi4", &Targets::uv, &Targets::after),
         [](const Targets &t) { return t.uv == 0; }},
        {"vi", {0x81, 0x01}, with("vii4", &Targets::vi, &Targets::after),
         [](const Targets &t) { return t.vi == 0; }},
        {"u3", {0x02}, with("u3i4", &Targets::u3, &Targets::after),
         [](const Targets &t) { return t.u3 == 0; }},
        {"ns", {0, 2, 'a', 'b'}, with("nsi4", &Targets::text, &Targets::after),
         [](const Targets &t) { return t.text == nullptr; }},
        {"st", {0, 2, 'a', 'b'}, with("sti4", &Targets::text, &Targets::after),
         [](const Targets &t) { return t.text == nullptr; }},
        {"cs", {0x03, 'a', 'b'}, with("csi4", &Targets::text, &Targets::after),
         [](const Targets &t) { return t.text == nullptr; }},
        {"cb", {0x03, 'a', 'b'}, with("cbi4", &Targets::text, &Targets::after),
         [](const Targets &t) { return t.text == nullptr; }},
        {"um", {9, 8, 7, 6},
         [](CodecSession &s, const Bytes &reply, Targets &t) {
             return decode(s, reply, 0, "umi4", t.raw, 4u, &t.after);
         },
         [](const Targets &t) { return Bytes(t.raw, t.raw + 4) == Bytes(4, 0); }},
        {"c1", {0x04, 'a', 'b'},
         [](CodecSession &s, const Bytes &reply, Targets &t) {
             return decode(s, reply, 0, "c1i4", &t.recordLength, &t.record, 1, &t.after);
         },
         [](const Targets &t) { return t.record == nullptr && t.recordLength == 0; }},
    };
    CodecSession s;
    for (const TruncationCase &c : cases) {
        Targets whole = filled();
        Bytes complete = c.wire;
        complete.insert(complete.end(), {0, 0, 0, 9});
        ASSERT_EQ(c.decode(s, complete, whole), static_cast<int32_t>(complete.size())) << c.code;
        EXPECT_EQ(whole.after, 9) << c.code;
        for (char *decoded : {whole.text, whole.record})
            if (decoded != &gNotDecoded)
                free(decoded);
        for (size_t cut = 0; cut < c.wire.size(); ++cut) {
            SCOPED_TRACE(std::string(c.code) + " cut at " + std::to_string(cut));
            Targets t = filled();
            Bytes reply(c.wire.begin(), c.wire.begin() + cut);
            EXPECT_EQ(c.decode(s, reply, t), kCodecOverrun);
            EXPECT_TRUE(c.ownCleared(t));
            EXPECT_EQ(t.after, 0);
        }
    }
}

TEST(UnmarshallTruncated, NegativePositionClearsEveryTarget) {
    CodecSession s;
    Bytes reply(64, 0x01);
    Targets t = filled();
    int32_t rc = kafka_unmarshall_new(&s.pcb, reply.data(), 64, kCodecOverrun,
                                      "i1i2i4i8uvviu3umnsc1i4", &t.i1, &t.i2, &t.i4, &t.i8, &t.uv,
                                      &t.vi, &t.u3, t.raw, 4u, &t.text, &t.recordLength,
                                      &t.record, 0, &t.after);
    EXPECT_EQ(rc, kCodecOverrun);
    EXPECT_TRUE(t.cleared());
}

TEST(UnmarshallTruncated, FailureMidwayClearsTheRestAndKeepsEarlierTexts) {
    CodecSession s;
    Bytes reply{0x04, 'a', 'b', 'c', 0x00, 0x09, 'x'};
    char *first = nullptr;
    char *second = reinterpret_cast<char *>(1);
    int32_t after = 5;
    EXPECT_EQ(decode(s, reply, 0, "csnsi4", &first, &second, &after), kCodecOverrun);
    EXPECT_EQ(take(first), "abc") << "decoded before the failure, owned by the caller";
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(after, 0);
}

TEST(UnmarshallTruncated, MalformedLengthsAndCounts) {
    CodecSession s;
    uint64_t value = 1;
    Bytes elevenBytes(10, 0x80);
    elevenBytes.push_back(0x01);
    EXPECT_EQ(decode(s, elevenBytes, 0, "uv", &value), kCodecOverrun) << "varint over 10 bytes";
    EXPECT_EQ(value, 0u);

    int32_t count = 1;
    EXPECT_EQ(decode(s, Bytes{0x05, 1, 2, 3}, 0, "u3", &count), kCodecOverrun)
        << "4 elements cannot fit in 3 bytes";
    EXPECT_EQ(count, 0);
    EXPECT_EQ(decode(s, Bytes{0x05, 1, 2, 3, 4}, 0, "u3", &count), 1);
    EXPECT_EQ(count, 4);

    int32_t length = 1;
    char *data = reinterpret_cast<char *>(1);
    Bytes hugeRecord{0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 'x'};
    EXPECT_EQ(decode(s, hugeRecord, 0, "c1", &length, &data, 0), kCodecOverrun);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0);

    int32_t beyond = 1;
    EXPECT_EQ(decode(s, Bytes{1, 2, 3, 4}, 5, "i1", &beyond), kCodecOverrun);
    EXPECT_EQ(beyond, 0);
    EXPECT_EQ(kafka_unmarshall_new(&s.pcb, nullptr, 8, 0, "i4", &beyond), kCodecOverrun);
}

} // namespace
