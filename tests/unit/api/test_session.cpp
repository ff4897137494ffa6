// Sessions and handles: the five-slot table, reuse of handles, close and
// terminate results, the version line, and opens and closes from several
// threads at once.
#include <gtest/gtest.h>

#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/session.h"
#include "bqx.h"
#include "support/log_capture.h"

using bqxtest::captureLog;
using bqxtest::numbersOf;

namespace {

class SessionTest : public ::testing::Test {
  protected:
    void TearDown() override { bqxtest::captureLines([] { BQXTERM(); }); }
};

TEST_F(SessionTest, FiveHandlesThenTheLimitAndLowestFreeSlotIsReused) {
    std::vector<int32_t> handles;
    auto lines = captureLog([&] {
        for (int i = 0; i < 6; i++) handles.push_back(BQXOPEN());
    });
    EXPECT_EQ(handles, (std::vector<int32_t>{0, 1, 2, 3, 4, -1}));
    // Every open writes the version line first, the failing one too.
    ASSERT_EQ(lines.size(), 7u);
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(lines[i].number, "0007");
        EXPECT_EQ(lines[i].tag, "BQXOPEN ");
        EXPECT_NE(lines[i].text.find("Kafka Connector for Linux"), std::string::npos);
        EXPECT_NE(lines[i].text.find("1.2.1"), std::string::npos);
        EXPECT_NE(lines[i].text.find(" Build "), std::string::npos);
    }
    EXPECT_EQ(lines[6].number, "7531");
    EXPECT_EQ(lines[6].severity, "E");
    EXPECT_EQ(lines[6].text, "The limit of max 5 concurrent sessions is reached!");

    bqxtest::captureLines([&] {
        EXPECT_EQ(BQXCLSE(2), 4);
        EXPECT_EQ(BQXOPEN(), 2);
    });
}

TEST_F(SessionTest, CloseReportsOtherOpenSessionsAndRejectsBadHandles) {
    int32_t first = -1, second = -1;
    bqxtest::captureLines([&] {
        first = BQXOPEN();
        second = BQXOPEN();
    });
    for (int32_t bad : {-1, 5, 3, INT32_MIN}) {
        auto lines = captureLog([&] { EXPECT_EQ(BQXCLSE(bad), 7502); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, "Invalid BqX handle ");
        EXPECT_EQ(lines[0].tag, "BQXCLSE ");
    }
    bqxtest::captureLines([&] {
        EXPECT_EQ(BQXCLSE(first), 4);
        EXPECT_EQ(BQXCLSE(second), 0);
        EXPECT_EQ(BQXCLSE(second), 7502);
    });
    for (PCB *pcb : gpcbList) EXPECT_EQ(pcb, nullptr);
}

TEST_F(SessionTest, TerminateClosesEverySessionAndWarnsOnlyWhenLogging) {
    auto quiet = captureLog([] { EXPECT_EQ(BQXTERM(), 0); });
    EXPECT_TRUE(quiet.empty());

    bqxtest::captureLines([] {
        BQXOPEN();
        BQXOPEN();
        BQXOPEN();
        BQXDBUG(1, 1);
    });
    auto lines = captureLog([] { EXPECT_EQ(BQXTERM(), 0); });
    // Session 1 logs: the warning, then its closing statistics.
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0].number, "5006");
    EXPECT_EQ(lines[0].text, "All open Sessions are closed ");
    int warnings = 0;
    for (auto &line : lines) warnings += line.number == "5006";
    EXPECT_EQ(warnings, 1);
    for (PCB *pcb : gpcbList) EXPECT_EQ(pcb, nullptr);
}

TEST_F(SessionTest, OpenSetsDefaults) {
    int32_t h = -1;
    bqxtest::captureLines([&] { h = BQXOPEN(); });
    ASSERT_GE(h, 0);
    PCB *pcb = get_BQXPCB(h);
    ASSERT_NE(pcb, nullptr);
    EXPECT_EQ(pcb->i32CoordinatorID, -1);
    EXPECT_EQ(pcb->u32SendWindow, 100u);
    EXPECT_EQ(pcb->u32ReceiveWindow, 1u);
    EXPECT_EQ(pcb->i16Acks, -1);
    EXPECT_EQ(pcb->u32Timeout, 30u);
    EXPECT_EQ(pcb->iDebugLevel, 0);
    EXPECT_GT(pcb->ullStartTime, 1600000000000ull);
    EXPECT_EQ(pcb->pBrokerList, nullptr);
    EXPECT_EQ(get_BQXPCB(-1), nullptr);
    EXPECT_EQ(get_BQXPCB(5), nullptr);
}

TEST_F(SessionTest, ClosingAtDebugLevelOneLogsTheStatistics) {
    int32_t h = -1;
    bqxtest::captureLines([&] {
        h = BQXOPEN();
        BQXDBUG(h, 1);
    });
    auto lines = captureLog([&] { BQXCLSE(h); });
    EXPECT_EQ(numbersOf(lines), (std::vector<std::string>{"0018", "0019", "0049", "0022"}));
    for (auto &line : lines) EXPECT_EQ(line.tag, "BQXCLSE ");
    EXPECT_EQ(lines[0].text.rfind("Stats: #Msgs produce: 0  consume: 0 ConnectionTime: ", 0), 0u);

    bqxtest::captureLines([&] { h = BQXOPEN(); });
    auto silent = captureLog([&] { BQXCLSE(h); });
    EXPECT_TRUE(silent.empty());
}

// Several threads open and close sessions at once: a handle is never given
// to two open sessions, and every open either succeeds or reports the limit.
TEST_F(SessionTest, OpensAndClosesFromSeveralThreads) {
    std::atomic<int> owners[BQX_MAX_SESSIONS] = {};
    std::atomic<int> doubleOwned{0}, badResults{0}, opened{0};
    auto worker = [&] {
        for (int i = 0; i < 200; i++) {
            int32_t h = BQXOPEN();
            if (h < 0) continue;
            opened++;
            if (h >= BQX_MAX_SESSIONS || owners[h].fetch_add(1) != 0) doubleOwned++;
            owners[h].fetch_sub(1);
            int32_t rc = BQXCLSE(h);
            if (rc != 0 && rc != 4) badResults++;
        }
    };
    bqxtest::captureLines([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; t++) threads.emplace_back(worker);
        for (auto &thread : threads) thread.join();
    });
    EXPECT_EQ(doubleOwned.load(), 0);
    EXPECT_EQ(badResults.load(), 0);
    EXPECT_GT(opened.load(), 0);
    for (PCB *pcb : gpcbList) EXPECT_EQ(pcb, nullptr);
}

TEST_F(SessionTest, LockTracesFollowTheGlobalDebugLevel) {
    giDebugLevel = 2;
    auto lines = captureLog([] { BQXCLSE(4); });
    giDebugLevel = 0;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].number, "0041");
    EXPECT_EQ(lines[0].text, "General Mutex: Locked");
    EXPECT_EQ(lines[0].tag, "BQXCLSE ");
    EXPECT_EQ(lines[1].number, "7502");
    EXPECT_EQ(lines[2].text, "General Mutex: Unlocked");
}

// A locale whose code set no converter knows: the Latin-9 character map
// under another name, built with localedef into the build tree.
std::string buildLocaleWithUnknownCodeSet() {
    std::string dir = std::string(BQX_TEST_WORKDIR) + "/locale-unknown";
    std::string command = "mkdir -p '" + dir + "' && cd '" + dir +
                          "' && zcat /usr/share/i18n/charmaps/ISO-8859-15.gz | sed "
                          "'s/^<code_set_name>.*/<code_set_name> BQX-NO-SUCH-CODESET/' > cm && "
                          "localedef -c -i en_US -f ./cm ./bqxunknown.$$ >/dev/null 2>&1; "
                          "[ -d bqxunknown ] || mv bqxunknown.$$ bqxunknown; rm -rf bqxunknown.$$";
    (void)!system(command.c_str());
    struct stat st;
    return stat((dir + "/bqxunknown/LC_CTYPE").c_str(), &st) == 0 ? dir : "";
}

TEST_F(SessionTest, OpenWithoutConvertersFailsAndLeavesTheSlotEmpty) {
    std::string dir = buildLocaleWithUnknownCodeSet();
    if (dir.empty()) GTEST_SKIP() << "localedef could not build the test locale";
    const char *oldLocPath = getenv("LOCPATH");
    std::string savedLocPath = oldLocPath ? oldLocPath : "";
    setenv("LOCPATH", dir.c_str(), 1);
    setenv("LC_ALL", "bqxunknown", 1);
    int32_t h = 0;
    auto lines = captureLog([&] { h = BQXOPEN(); });
    unsetenv("LC_ALL");
    if (oldLocPath) setenv("LOCPATH", savedLocPath.c_str(), 1);
    else unsetenv("LOCPATH");
    setlocale(LC_CTYPE, "C");

    EXPECT_EQ(h, -1);
    ASSERT_EQ(numbersOf(lines), (std::vector<std::string>{"0007", "7538"}));
    EXPECT_EQ(lines[1].text.rfind("iconv_open() failed for Encode with error ", 0), 0u);
    for (PCB *pcb : gpcbList) EXPECT_EQ(pcb, nullptr);
    bqxtest::captureLines([&] { EXPECT_EQ(BQXOPEN(), 0) << "the slot was released at once"; });
}

} // namespace
