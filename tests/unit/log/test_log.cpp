// The log line as it appears on standard output: timestamp, number,
// severity, caller tag, broker and partition columns, text; the argument
// check, the message-number check and the session's last error.
#include <gtest/gtest.h>

#include <string.h>
#include <time.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "api/pcb.h"
#include "bqx.h"
#include "log/log.h"
#include "log/messages.h"
#include "support/log_capture.h"

namespace {

using bqxtest::captureLines;
using bqxtest::LogLine;

LogLine parse(const std::string &line) { return bqxtest::parseLine(line); }

LogLine logOne(const std::function<void()> &body) {
    std::vector<std::string> lines = captureLines(body);
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? LogLine{} : parse(lines[0]);
}

// Milliseconds since the epoch of a "%m/%d/%Y %H:%M:%S.mmm" local time.
int64_t stampToMillis(const std::string &stamp) {
    struct tm local = {};
    const char *rest = strptime(stamp.c_str(), "%m/%d/%Y %H:%M:%S", &local);
    EXPECT_NE(rest, nullptr);
    local.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&local)) * 1000 + atoi(rest + 1);
}

} // namespace

TEST(LogLine, ShowsLocalTimeNumberSeverityTagAndText) {
    int64_t before = getTimeStamp();
    int written = 0;
    std::vector<std::string> lines = captureLines([&] {
        written = bqx_log_vf(INF_IS_SET_TO, nullptr, "BQXDBUG", -1, -1, 2, "DebugLevel", 3);
    });
    int64_t after = getTimeStamp();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(written, static_cast<int>(lines[0].size() + 1));
    LogLine l = parse(lines[0]);
    EXPECT_EQ(l.number, "0017");
    EXPECT_EQ(l.severity, "I");
    EXPECT_EQ(l.tag, "BQXDBUG ");
    EXPECT_EQ(l.text, "DebugLevel is set to 3");
    int64_t logged = stampToMillis(l.stamp);
    EXPECT_GE(logged, before);
    EXPECT_LE(logged, after);
}

TEST(LogLine, CallerTagIsCutToEightCharacters) {
    EXPECT_EQ(logOne([] { bqx_log_vf(INF_OK, nullptr, "HeartBeatThread", -1, -1, 1, ""); }).tag,
              "HeartBea");
    EXPECT_EQ(logOne([] { bqx_log_vf(INF_OK, nullptr, nullptr, -1, -1, 1, ""); }).tag,
              "        ");
}

TEST(LogLine, BrokerAndPartitionColumns) {
    struct Case {
        int32_t broker, partition;
        const char *brokerColumn, *partitionColumn;
    } cases[] = {{-1, -1, "--", "--"}, {-1, 3, "--", "03"},   {-2, -1, "-2", "--"},
                 {-2, 3, "-2", "03"},  {7, -1, "07", "--"},   {7, 12, "07", "12"},
                 {0, 0, "00", "00"},   {123, 4567, "123", "4567"}};
    for (const Case &c : cases) {
        LogLine l = logOne(
            [&] { bqx_log_vf(INF_OFFSET, nullptr, "FetchRy", c.broker, c.partition, 1, 42LL); });
        EXPECT_EQ(l.broker, c.brokerColumn) << c.broker << "/" << c.partition;
        EXPECT_EQ(l.partition, c.partitionColumn) << c.broker << "/" << c.partition;
        EXPECT_EQ(l.text, "Offset=42");
    }
}

TEST(LogLine, SeverityFollowsTheNumberRange) {
    LogLine w = logOne([] { bqx_log_vf(WRN_TRUNCATED, nullptr, "BQXCONS", -1, -1, 2, 900, 100); });
    EXPECT_EQ(w.number + w.severity, "5000W");
    EXPECT_EQ(w.text, "Received Message truncated from 900 to 100 bytes");
    LogLine e = logOne([] { bqx_log_vf(ERR_MEMORY, nullptr, "BQXOPEN", -1, -1, 1, "PCB"); });
    EXPECT_EQ(e.number + e.severity, "7503E");
    // A number without a text takes no values and writes an empty text.
    LogLine empty = logOne([] { bqx_log_vf(5001, nullptr, "BQXCONS", -1, -1, 0); });
    EXPECT_EQ(empty.number + empty.severity + empty.text, "5001W");
}

TEST(LogLine, TextIsCutTo127Characters) {
    std::string longValue(300, 'x');
    LogLine l = logOne([&] { bqx_log_vf(INF_OK, nullptr, "BQXOPEN", -1, -1, 1, longValue.c_str()); });
    EXPECT_EQ(l.text, "OK" + std::string(125, 'x'));
}

TEST(LogLine, ErrorIsStoredInTheSessionOnlyWithPcb) {
    PCB pcb{};
    logOne([&] { bqx_log_vf(ERR_MEMORY, &pcb, "BQXOPEN", -1, -1, 1, "Topic"); });
    EXPECT_EQ(pcb.i32LastError, 7503);
    EXPECT_STREQ(pcb.szLastError, "Cannot allocate Memory for Topic");

    // Info and warning lines leave the last error alone.
    logOne([&] { bqx_log_vf(INF_OK, &pcb, "BQXOPEN", -1, -1, 1, ""); });
    logOne([&] { bqx_log_vf(WRN_ALL_CLOSED, &pcb, "BQXTERM", -1, -1, 1, ""); });
    EXPECT_EQ(pcb.i32LastError, 7503);
    EXPECT_STREQ(pcb.szLastError, "Cannot allocate Memory for Topic");

    // The stored text is the text of the line, cut as the line is.
    std::string longValue(200, 'y');
    LogLine l = logOne([&] {
        bqx_log_vf(ERR_MUTEX, &pcb, "BQXCONS", -1, -1, 3, "pthread_mutex_lock", 22, longValue.c_str());
    });
    EXPECT_EQ(pcb.i32LastError, 7532);
    EXPECT_EQ(strlen(pcb.szLastError), 127u);
    EXPECT_EQ(l.text, pcb.szLastError);
    EXPECT_EQ(l.text.rfind("pthread_mutex_lo failed. Error=22, yyy", 0), 0u);
}

TEST(LogLine, WrongArgumentCountWrites7504WithoutFormattingValues) {
    PCB pcb{};
    LogLine l = logOne([] { bqx_log_vf(INF_IS_SET_TO, nullptr, "BQXDBUG", -1, -1, 1, "x"); });
    EXPECT_EQ(l.number + l.severity, "7504E");
    EXPECT_EQ(l.text, "------- bqx_log_vf is called with MessageNum (17) and provides 1 arguments, "
                      "but 2 arguments are required for this Message");

    // A warning turned into 7504 is not stored; an error turned into it is.
    l = logOne([&] { bqx_log_vf(WRN_TRUNCATED, &pcb, "BQXCONS", -1, -1, 3, 1, 2, 3); });
    EXPECT_EQ(l.number + l.severity, "7504E");
    EXPECT_EQ(pcb.i32LastError, 0);
    l = logOne([&] { bqx_log_vf(ERR_MEMORY, &pcb, "BQXOPEN", 2, 5, 0); });
    EXPECT_EQ(l.number + l.severity + l.broker + l.partition, "7504E0205");
    EXPECT_EQ(pcb.i32LastError, 7504);
    EXPECT_STREQ(pcb.szLastError, l.text.c_str());
    EXPECT_NE(l.text.find("(7503) and provides 0 arguments, but 1 arguments"), std::string::npos);
}

TEST(LogLine, NumberBeyondItsTableWrites7505) {
    LogLine l = logOne([] { bqx_log_vf(60, nullptr, "BQXOPEN", -1, -1, 0); });
    EXPECT_EQ(l.number + l.severity, "7505E");
    EXPECT_EQ(l.text, "------- bqx_log_vf is called with MessageNum (60). Array has only 50 elements, "
                      "60 Element of array cannot be accessed");

    PCB pcb{};
    l = logOne([&] { bqx_log_vf(5010, &pcb, "BQXOPEN", -1, -1, 0); });
    EXPECT_NE(l.text.find("(5010). Array has only 10 elements, 10 Element"), std::string::npos);
    EXPECT_EQ(pcb.i32LastError, 0);
    l = logOne([&] { bqx_log_vf(7550, &pcb, "BQXOPEN", -1, -1, 0); });
    EXPECT_EQ(l.number, "7505");
    EXPECT_EQ(pcb.i32LastError, 7505);
}

TEST(LogFormat, CountsValuesAsTheCheckExpects) {
    EXPECT_EQ(bqx_count_format_args(""), 0);
    EXPECT_EQ(bqx_count_format_args(nullptr), 0);
    EXPECT_EQ(bqx_count_format_args("Msg=%.*s (len=%d)"), 3);
    EXPECT_EQ(bqx_count_format_args("%*d"), 2);
    EXPECT_EQ(bqx_count_format_args("100%%"), 2);
    EXPECT_EQ(bqx_count_format_args("%lld %s%d"), 3);
}

TEST(LogCatalogue, TablesHoldTheListedTexts) {
    struct Table {
        const char *const *texts;
        int count, listed;
    } tables[] = {{aszBqxInfMsgs, 50, 50}, {aszBqxWrnMsgs, 10, 9}, {aszBqxErrMsgs, 50, 48}};
    for (const Table &t : tables) {
        int listed = 0;
        for (int i = 0; i < t.count; ++i) {
            ASSERT_NE(t.texts[i], nullptr);
            listed += t.texts[i][0] != '\0';
            // The count rule only knows "%*" and "%.*": any other '*' would
            // let vsnprintf take a value the check did not count.
            for (const char *star = strchr(t.texts[i], '*'); star; star = strchr(star + 1, '*'))
                EXPECT_TRUE(star[-1] == '%' || (star[-1] == '.' && star[-2] == '%')) << t.texts[i];
        }
        EXPECT_EQ(listed, t.listed);
    }
    EXPECT_STREQ(aszBqxInfMsgs[8], "Server %.64s:%d supports %-12.12s Verion %2d-%2d");
    EXPECT_STREQ(aszBqxErrMsgs[19], "No valid IP address or hostname is provided for BrokerID %d (\"%.128s\")");
    EXPECT_STREQ(aszBqxErrMsgs[44], "Could not convert Message %s UTF-8: %s");
}
