// Request header and body marshalling: wire bytes of every request code,
// conversion of texts, refusal of fields that do not fit the buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "support/log_capture.h"
#include "test_codec_session.h"

namespace {

constexpr uint8_t kCanary = 0xAA;

// Marshals `format` at position 0 of a roomy buffer; the bytes written.
template <typename... Args>
Bytes marshal(CodecSession &s, const char *format, Args... args) {
    uint8_t buffer[512];
    memset(buffer, kCanary, sizeof buffer);
    int32_t end = kafka_marshall_new(&s.pcb, buffer, sizeof buffer, 0, format, args...);
    EXPECT_GE(end, 0) << format;
    return Bytes(buffer, buffer + (end > 0 ? end : 0));
}

Bytes with_text(Bytes prefix, const std::string &text) {
    prefix.insert(prefix.end(), text.begin(), text.end());
    return prefix;
}

TEST(MarshallHeader, FirstRequestsOfAnEntryCountUpFromOne) {
    CodecSession s;
    uint8_t buffer[32];
    memset(buffer, kCanary, sizeof buffer);
    ASSERT_EQ(kafka_marshall_ReqHdr(&s.pcb, 1, buffer, sizeof buffer, 3, 4), 17);
    Bytes expected{0, 0, 0, 0, 0, 3, 0, 4, 0, 0, 0, 1, 0, 3, 'B', 'q', 'X'};
    EXPECT_EQ(Bytes(buffer, buffer + 17), expected);
    EXPECT_EQ(Bytes(buffer + 17, buffer + 32), Bytes(15, 0)) << "rest of the buffer cleared";

    ASSERT_EQ(kafka_marshall_ReqHdr(&s.pcb, 1, buffer, sizeof buffer, 0, 7), 17);
    EXPECT_EQ(Bytes(buffer + 4, buffer + 12), (Bytes{0, 0, 0, 7, 0, 0, 0, 2}));
    EXPECT_EQ(s.brokers[0].u32LastCorrelID, 0u) << "other entries keep their own counter";
    EXPECT_EQ(s.brokers[1].u32LastCorrelID, 2u);
}

TEST(MarshallHeader, CorrelationIdWrapsToOneNeverZero) {
    CodecSession s;
    s.brokers[2].u32LastCorrelID = 0xFFFFFFFE;
    uint8_t buffer[17];
    ASSERT_EQ(kafka_marshall_ReqHdr(&s.pcb, 2, buffer, sizeof buffer, 18, 3), 17);
    EXPECT_EQ(Bytes(buffer + 8, buffer + 12), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(kafka_marshall_ReqHdr(&s.pcb, 2, buffer, sizeof buffer, 18, 3), 17);
    EXPECT_EQ(Bytes(buffer + 8, buffer + 12), (Bytes{0, 0, 0, 1}));
}

TEST(MarshallHeader, TooSmallBufferIsRefusedAndLogged) {
    CodecSession s;
    uint8_t buffer[32];
    memset(buffer, kCanary, sizeof buffer);
    int32_t rc = 1;
    auto log = bqxtest::captureLog([&] { rc = kafka_marshall_ReqHdr(&s.pcb, 0, buffer, 16, 3, 4); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Bytes(buffer, buffer + 32), Bytes(32, kCanary)) << "nothing written";
    EXPECT_EQ(s.brokers[0].u32LastCorrelID, 0u) << "no correlation id used up";
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].number, "7514");
    EXPECT_EQ(log[0].severity, "E");
    EXPECT_EQ(log[0].tag, "Marshall");
    EXPECT_EQ(log[0].broker, "--");
    EXPECT_EQ(log[0].partition, "--");
    EXPECT_EQ(log[0].text, "Marshall RequestHeader failed: required 17 bytes, available 16 bytes");
    EXPECT_EQ(s.pcb.i32LastError, 7514);
}

TEST(MarshallHeader, UnknownBrokerEntryWritesNothing) {
    CodecSession s;
    uint8_t buffer[32];
    memset(buffer, kCanary, sizeof buffer);
    EXPECT_EQ(kafka_marshall_ReqHdr(&s.pcb, 3, buffer, sizeof buffer, 3, 4), 0);
    s.pcb.pBrokerList = nullptr;
    EXPECT_EQ(kafka_marshall_ReqHdr(&s.pcb, 0, buffer, sizeof buffer, 3, 4), 0);
    EXPECT_EQ(Bytes(buffer, buffer + 32), Bytes(32, kCanary));
}

TEST(MarshallFields, IntegersAreBigEndianLowBits) {
    CodecSession s;
    EXPECT_EQ(marshal(s, "i1i2i4i8", 0x1FF, 0x12345, static_cast<int32_t>(0x89ABCDEF),
                      static_cast<int64_t>(0x0102030405060708)),
              (Bytes{0xFF, 0x23, 0x45, 0x89, 0xAB, 0xCD, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(MarshallFields, Varints) {
    CodecSession s;
    const std::pair<uint64_t, Bytes> unsignedCases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {300, {0xAC, 0x02}},
        {UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const auto &[value, wire] : unsignedCases)
        EXPECT_EQ(marshal(s, "uv", value), wire) << value;
    const std::pair<int64_t, Bytes> zigzagCases[] = {
        {0, {0x00}},       {-1, {0x01}},       {1, {0x02}},
        {63, {0x7E}},      {64, {0x80, 0x01}}, {-65, {0x81, 0x01}},
        {INT64_MIN, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const auto &[value, wire] : zigzagCases)
        EXPECT_EQ(marshal(s, "vi", value), wire) << value;
}

TEST(MarshallFields, StringForms) {
    CodecSession s;
    const char *none = nullptr;
    EXPECT_EQ(marshal(s, "vs", none, 5u, 0), Bytes{0x01});
    EXPECT_EQ(marshal(s, "vs", "abc", 0u, 1), Bytes{0x01});
    EXPECT_EQ(marshal(s, "vs", "abc", 3u, 0), (Bytes{0x06, 'a', 'b', 'c'}));
    EXPECT_EQ(marshal(s, "vs", "abc", 2u, 1), (Bytes{0x04, 'a', 'b'})) << "length, not the NUL, ends it";
    EXPECT_EQ(marshal(s, "ns", none, 1), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(marshal(s, "ns", "", 1), (Bytes{0x00, 0x00}));
    EXPECT_EQ(marshal(s, "ns", "ab", 0), (Bytes{0x00, 0x02, 'a', 'b'}));
    EXPECT_EQ(marshal(s, "st", "abc"), (Bytes{0x00, 0x03, 'a', 'b', 'c'}));
    EXPECT_EQ(marshal(s, "st", ""), (Bytes{0x00, 0x00}));
    EXPECT_EQ(marshal(s, "cs", ""), Bytes{0x01});
    EXPECT_EQ(marshal(s, "cs", "abc"), (Bytes{0x04, 'a', 'b', 'c'}));
    EXPECT_EQ(marshal(s, "cs", none), Bytes{0x00});
    EXPECT_EQ(marshal(s, "sw", ""), Bytes{});
    EXPECT_EQ(marshal(s, "sw", "xy"), (Bytes{'x', 'y'}));
}

TEST(MarshallFields, LongRecordValueGetsATwoByteLength) {
    CodecSession s;
    std::string value(64, 'v');
    Bytes expected = with_text({0x80, 0x01}, value);
    EXPECT_EQ(marshal(s, "vs", value.c_str(), 64u, 0), expected);
    EXPECT_EQ(marshal(s, "vs", value.c_str(), 64u, 1), expected) << "converted in place, then moved";
    std::string text(200, 't');
    EXPECT_EQ(marshal(s, "cs", text.c_str()), with_text({0xC9, 0x01}, text));
}

TEST(MarshallConversion, LengthsCountTheUtf8BytesAsSent) {
    CodecSession s("ISO-8859-15");
    EXPECT_EQ(marshal(s, "st", "\xA4"), (Bytes{0x00, 0x03, 0xE2, 0x82, 0xAC}));
    EXPECT_EQ(marshal(s, "cs", "\xA4x"), (Bytes{0x05, 0xE2, 0x82, 0xAC, 'x'}));
    EXPECT_EQ(marshal(s, "sw", "\xA4"), (Bytes{0xE2, 0x82, 0xAC}));
    EXPECT_EQ(marshal(s, "vs", "\xA4", 1u, 1), (Bytes{0x06, 0xE2, 0x82, 0xAC}));
    EXPECT_EQ(marshal(s, "vs", "\xA4", 1u, 0), (Bytes{0x02, 0xA4}));
    EXPECT_EQ(marshal(s, "ns", "\xE4", 1), (Bytes{0x00, 0x02, 0xC3, 0xA4}));
    EXPECT_EQ(marshal(s, "ns", "\xE4", 0), (Bytes{0x00, 0x01, 0xE4}));
}

// Euro signs triple in UTF-8: a text is converted in full as long as the
// buffer has room, not cut at twice its local length.
TEST(MarshallConversion, TextsGrowingBeyondTwiceTheirLengthAreComplete) {
    CodecSession s("ISO-8859-15");
    std::string euros(30, '\xA4');
    std::string utf8;
    for (int i = 0; i < 30; ++i) utf8 += "\xE2\x82\xAC";
    EXPECT_EQ(marshal(s, "st", euros.c_str()), with_text({0x00, 90}, utf8));
    EXPECT_EQ(marshal(s, "vs", euros.c_str(), 30u, 1), with_text({0xB4, 0x01}, utf8));
}

TEST(MarshallConversion, InvalidTextIsSentUnconvertedAndLogged) {
    CodecSession s;
    Bytes wire;
    auto log = bqxtest::captureLog([&] { wire = marshal(s, "st", "a\xFF" "b"); });
    EXPECT_EQ(wire, (Bytes{0x00, 0x03, 'a', 0xFF, 'b'}));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].number, "7544");
    EXPECT_EQ(log[0].tag, "iConvert");
    EXPECT_EQ(log[0].text, "Could not convert Message to UTF-8: an input byte does not belong to the input codeset");
}

TEST(MarshallFormat, PairsThatAreNotRequestCodes) {
    CodecSession s;
    uint8_t buffer[16] = {};
    EXPECT_EQ(kafka_marshall_new(&s.pcb, buffer, sizeof buffer, 0, "i4zz", 1), kCodecBadFormat);
    EXPECT_EQ(buffer[3], 1) << "fields before the bad pair stay written";
    EXPECT_EQ(kafka_marshall_new(&s.pcb, buffer, sizeof buffer, 0, "i2i", 1), kCodecBadFormat);
    for (const char *replyOnly : {"u3", "um", "cb", "c1"})
        EXPECT_EQ(kafka_marshall_new(&s.pcb, buffer, sizeof buffer, 0, replyOnly, buffer), kCodecBadFormat);
    EXPECT_EQ(kafka_marshall_new(&s.pcb, buffer, sizeof buffer, 5, ""), 5);
}

TEST(MarshallChaining, NegativePositionPassesThroughUntouched) {
    CodecSession s;
    uint8_t buffer[16];
    memset(buffer, kCanary, sizeof buffer);
    int32_t rc[2] = {};
    auto log = bqxtest::captureLog([&] {
        rc[0] = kafka_marshall_new(&s.pcb, buffer, sizeof buffer, kCodecOverrun, "i4st", 7, "x");
        rc[1] = kafka_marshall_new(&s.pcb, buffer, sizeof buffer, kCodecBadFormat, "zz");
    });
    EXPECT_EQ(rc[0], kCodecOverrun);
    EXPECT_EQ(rc[1], kCodecBadFormat);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(Bytes(buffer, buffer + 16), Bytes(16, kCanary));
}

TEST(MarshallChaining, PlaceholdersAreFilledInLaterAndScratchMeasures) {
    CodecSession s;
    uint8_t buffer[16] = {};
    int32_t end = kafka_marshall_new(&s.pcb, buffer, sizeof buffer, 0, "i4i2", 0, 0x0102);
    ASSERT_EQ(end, 6);
    kafka_marshall_new(&s.pcb, buffer, sizeof buffer, 0, "i4", end - 4);
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0, 0, 0, 2, 1, 2}));
    uint8_t scratch[10];
    EXPECT_EQ(kafka_marshall_new(&s.pcb, scratch, sizeof scratch, 0, "vi", int64_t{300}), 2);
}

// One field marshalled at `position` into `capacity` bytes of `buffer`.
using FieldWriter = std::function<int32_t(PCB *, uint8_t *, uint32_t, int32_t)>;

struct CapacityCase {
    const char *name;
    FieldWriter write;
};

template <typename... Args>
CapacityCase field(const char *format, Args... args) {
    return {format, [=](PCB *pcb, uint8_t *buffer, uint32_t capacity, int32_t position) {
                return kafka_marshall_new(pcb, buffer, capacity, position, format, args...);
            }};
}

// Every code: at its exact size the field is written; one byte less and it
// is refused with 7514 naming the bytes required, and nothing lands beyond
// the capacity.
TEST(MarshallCapacity, EveryCodeRefusesAFieldOneByteTooLong) {
    static const std::string longText(70, 'L');
    const char *none = nullptr;
    const CapacityCase cases[] = {
        field("i1", 1), field("i2", 1), field("i4", 1), field("i8", int64_t{1}),
        field("uv", uint64_t{300}), field("vi", int64_t{-65}), field("vs", "abc", 3u, 0),
        field("vs", "abc", 3u, 1), field("vs", longText.c_str(), 70u, 1),
        field("vs", none, 0u, 0), field("ns", "ab", 1), field("ns", "ab", 0),
        field("ns", none, 0), field("st", "abc"), field("cs", "abc"),
        field("cs", longText.c_str()), field("cs", none), field("sw", "xyz"),
        field("i4st", 1, "abc"),
    };
    constexpr int32_t kStart = 3;
    CodecSession s;
    for (const CapacityCase &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buffer[128];
        memset(buffer, kCanary, sizeof buffer);
        int32_t end = c.write(&s.pcb, buffer, sizeof buffer, kStart);
        ASSERT_GT(end, kStart);
        Bytes full(buffer, buffer + end);

        memset(buffer, kCanary, sizeof buffer);
        EXPECT_EQ(c.write(&s.pcb, buffer, static_cast<uint32_t>(end), kStart), end);
        EXPECT_EQ(Bytes(buffer, buffer + end), full) << "exact fit";

        memset(buffer, kCanary, sizeof buffer);
        int32_t rc = 0;
        uint32_t capacity = static_cast<uint32_t>(end - 1);
        auto log = bqxtest::captureLog([&] { rc = c.write(&s.pcb, buffer, capacity, kStart); });
        EXPECT_EQ(rc, kCodecOverrun);
        EXPECT_EQ(Bytes(buffer + capacity, buffer + sizeof buffer), Bytes(sizeof buffer - capacity, kCanary));
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].number, "7514");
        EXPECT_EQ(log[0].tag, "Marshall");
        EXPECT_EQ(log[0].text, "Marshall RequestHeader failed: required " + std::to_string(end) +
                                   " bytes, available " + std::to_string(capacity) + " bytes");
    }
}

TEST(MarshallCapacity, ConvertedTextTooLongForTheRoomLeavesNoPart) {
    CodecSession s("ISO-8859-15");
    uint8_t buffer[16];
    memset(buffer, kCanary, sizeof buffer);
    int32_t rc = 0;
    auto log = bqxtest::captureLog([&] {
        rc = kafka_marshall_new(&s.pcb, buffer, 7, 0, "st", "\xA4\xA4");
    });
    EXPECT_EQ(rc, kCodecOverrun);
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(buffer[i] == kCanary || (i < 7 && buffer[i] == 0)) << "byte " << i;
    ASSERT_EQ(log.size(), 1u) << "only the marshaller's line, no conversion failure";
    EXPECT_EQ(log[0].text, "Marshall RequestHeader failed: required 8 bytes, available 7 bytes");
}

TEST(MarshallCapacity, PositionBeyondTheBufferIsRefused) {
    CodecSession s;
    uint8_t buffer[8];
    int32_t rc = 0;
    auto log = bqxtest::captureLog([&] { rc = kafka_marshall_new(&s.pcb, buffer, 8, 20, "i1", 1); });
    EXPECT_EQ(rc, kCodecOverrun);
    EXPECT_EQ(bqxtest::numbersOf(log), std::vector<std::string>{"7514"});
}

} // namespace
