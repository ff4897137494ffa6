// Hex dumps as log lines, and the texts and flags of the Kafka error codes.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "api/pcb.h"
#include "bqx.h"
#include "log/log.h"

namespace {

// The text column of every line written by `body` (after the fixed columns
// "stamp BQXnnnnS tag----- bb pp ").
std::vector<std::string> capturedTexts(const std::function<void()> &body) {
    testing::internal::CaptureStdout();
    body();
    std::string out = testing::internal::GetCapturedStdout();
    constexpr size_t kTextColumn = 23 + 1 + 8 + 1 + 8 + 1 + 6;
    std::vector<std::string> texts;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = out.substr(start, nl - start);
        EXPECT_GE(line.size(), kTextColumn) << line;
        texts.push_back(line.size() < kTextColumn ? "" : line.substr(kTextColumn));
    }
    return texts;
}

std::vector<std::string> dump(PCB *pcb, const void *data, int32_t length) {
    return capturedTexts([&] { hexdump(pcb, "Produce", 1, 0, "Request", data, length); });
}

std::vector<uint8_t> countingBytes(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

} // namespace

TEST(HexDump, EmptyOrMissingDataWritesOnlyTheHeader) {
    uint8_t byte = 0x41;
    EXPECT_EQ(dump(nullptr, &byte, 0), std::vector<std::string>{"HEXDump for Request len=0"});
    EXPECT_EQ(dump(nullptr, nullptr, 5), std::vector<std::string>{"HEXDump for Request len=5"});
    EXPECT_EQ(dump(nullptr, &byte, -3), std::vector<std::string>{"HEXDump for Request len=-3"});
}

TEST(HexDump, SixteenBytesMakeOneFullLine) {
    const char *data = "ABCDefgh-12 xyz9";
    std::vector<std::string> texts = dump(nullptr, data, 16);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "HEXDump for Request len=16");
    EXPECT_EQ(texts[1], "   HEXDump 0000:  41 42 43 44 65 66 67 68  2D 31 32 20 78 79 7A 39 "
                        "ABCDefgh.12.xyz9");
}

TEST(HexDump, PartialLastLineIsPaddedSoColumnsLineUp) {
    std::vector<uint8_t> bytes = countingBytes(17);
    bytes[16] = 0xFF;
    std::vector<std::string> texts = dump(nullptr, bytes.data(), 17);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[2], "   HEXDump " + std::string("0010:  FF") + std::string(46, ' ') + " .");
    EXPECT_EQ(texts[1].size(), texts[2].size() + 15);
}

TEST(HexDump, HighBytesShowAsHexAndDots) {
    const uint8_t bytes[] = {0x80, 0xE9, 0x7F, 0x00, '0', 'z'};
    std::vector<std::string> texts = dump(nullptr, bytes, 6);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1].substr(11, 24), "0000:  80 E9 7F 00 30 7A");
    EXPECT_EQ(texts[1].substr(texts[1].size() - 6), "....0z");
}

TEST(HexDump, LongBlocksAreCutAt256BytesBelowLevel15) {
    std::vector<uint8_t> bytes = countingBytes(300);
    PCB pcb{};
    pcb.iDebugLevel = 5;
    std::vector<std::string> cut = dump(&pcb, bytes.data(), 300);
    ASSERT_EQ(cut.size(), 17u);
    EXPECT_EQ(cut[0], "HEXDump for Request len=300");
    EXPECT_EQ(cut[16].substr(11, 12), "00F0:  F0 F1");
    EXPECT_EQ(dump(nullptr, bytes.data(), 300).size(), 17u);

    pcb.iDebugLevel = 15;
    std::vector<std::string> full = dump(&pcb, bytes.data(), 300);
    ASSERT_EQ(full.size(), 20u);
    EXPECT_EQ(full[19].substr(11, 9), "0120:  20");
    EXPECT_NE(full[19].find(" 2B "), std::string::npos); // byte 299
}

TEST(KafkaErrors, TextsByCode) {
    EXPECT_STREQ(getErrorText(0), "OK");
    EXPECT_STREQ(getErrorText(3), "This server does not host this topic - partition.");
    EXPECT_STREQ(getErrorText(27), "The group is rebalancing, so a rejoin is needed.");
    EXPECT_STREQ(getErrorText(104), "The clusterId in the request does not match that found on the server");
    EXPECT_STREQ(getErrorText(105), "internal error");
    EXPECT_STREQ(getErrorText(-1), "internal error");
    EXPECT_STREQ(getErrorText(INT32_MIN), "internal error");
    EXPECT_NE(strstr(getErrorText(6), "current leader.For requests intended for any replica"), nullptr);
}

TEST(KafkaErrors, TableFollowsTheTextConventions) {
    size_t longest = 0;
    for (int code = 0; code < 105; ++code) {
        const char *text = gaszKafkaErrors[code].pszText;
        ASSERT_NE(text, nullptr);
        size_t len = strlen(text);
        ASSERT_GT(len, 1u);
        longest = len > longest ? len : longest;
        EXPECT_EQ(strstr(text, ". "), nullptr) << code; // sentences are joined
        for (const char *h = strchr(text, '-'); h; h = strchr(h + 1, '-'))
            EXPECT_TRUE(h[-1] == ' ' && h[1] == ' ') << code;
        bool unstopped = code == 0 || code == 94 || code == 98 || code == 103 || code == 104;
        EXPECT_EQ(text[len - 1] == '.', !unstopped) << code;
    }
    EXPECT_EQ(longest, 407u);
}

TEST(KafkaErrors, RetriableFlags) {
    int retriable = 0;
    for (const KafkaErrorText &row : gaszKafkaErrors) {
        EXPECT_LE(row.ullRetriable, 1u);
        retriable += static_cast<int>(row.ullRetriable);
    }
    EXPECT_EQ(retriable, 27);
    EXPECT_EQ(gaszKafkaErrors[3].ullRetriable, 1u);
    EXPECT_EQ(gaszKafkaErrors[16].ullRetriable, 1u);
    EXPECT_EQ(gaszKafkaErrors[103].ullRetriable, 1u);
    EXPECT_EQ(gaszKafkaErrors[27].ullRetriable, 0u);
    EXPECT_EQ(gaszKafkaErrors[51].ullRetriable, 0u);
}
