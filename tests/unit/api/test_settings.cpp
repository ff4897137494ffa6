// Settings calls and BQXGERR: values stored, confirmation lines, the last
// error copied into the caller's buffer, and bad arguments refused.
#include <gtest/gtest.h>

#include <string.h>

#include "api/session.h"
#include "bqx.h"
#include "log/log.h"
#include "log/messages.h"
#include "support/log_capture.h"

using bqxtest::captureLog;

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bqxtest::captureLines([&] { handle = BQXOPEN(); });
        pcb = get_BQXPCB(handle);
        ASSERT_NE(pcb, nullptr);
    }
    void TearDown() override { bqxtest::captureLines([] { BQXTERM(); }); }
    int32_t handle = -1;
    PCB *pcb = nullptr;
};

TEST_F(SettingsTest, DebugLevel) {
    auto negative = captureLog([&] { EXPECT_EQ(BQXDBUG(handle, -5), 0); });
    EXPECT_EQ(pcb->iDebugLevel, 0);
    EXPECT_TRUE(negative.empty());
    auto three = captureLog([&] { EXPECT_EQ(BQXDBUG(handle, 3), 0); });
    ASSERT_EQ(three.size(), 1u);
    EXPECT_EQ(three[0].number, "0017");
    EXPECT_EQ(three[0].severity, "I");
    EXPECT_EQ(three[0].text, "DebugLevel is set to 3");
    EXPECT_EQ(pcb->iDebugLevel, 3);
}

TEST_F(SettingsTest, LoadBalancingAndTimeout) {
    auto silent = captureLog([&] {
        EXPECT_EQ(BQXCLDB(handle, 7), 0);
        EXPECT_EQ(BQXTIMO(handle, 0), 0);
    });
    EXPECT_TRUE(silent.empty());
    EXPECT_EQ(pcb->u32ConsumerLoadBalancing, 7u);
    EXPECT_EQ(pcb->u32Timeout, 0u);
    pcb->iDebugLevel = 1;
    auto lines = captureLog([&] {
        BQXCLDB(handle, 0);
        BQXTIMO(handle, 45);
    });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "Consumer load balancing disabled");
    EXPECT_EQ(lines[1].text, "Server Connection Timeout is set to 45");
    // Confirmations are not errors and never become the last error.
    EXPECT_EQ(pcb->i32LastError, 0);
}

TEST_F(SettingsTest, LastErrorIsCopiedUpToTheBufferSize) {
    char text[300];
    int32_t length = sizeof(text);
    EXPECT_EQ(BQXGERR(handle, text, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(text[0], '\0');

    bqxtest::captureLines([&] {
        bqx_log_vf(ERR_NO_LEADER, pcb, "Produce", -1, -1, 2, 7, "a-topic-name-of-some-length");
    });
    const std::string expected = "No Leader available for Partition 7, Topic a-topic-name-of-some-length";
    memset(text, 0, sizeof(text));
    length = sizeof(text);
    EXPECT_EQ(BQXGERR(handle, text, &length), 7509);
    EXPECT_EQ(length, int32_t(expected.size()));
    EXPECT_EQ(std::string(text), expected);

    memset(text, '#', sizeof(text));
    length = 10;
    EXPECT_EQ(BQXGERR(handle, text, &length), 7509);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(std::string(text, 10), expected.substr(0, 10));
    EXPECT_EQ(text[10], '#') << "nothing is written beyond the given size";
}

TEST_F(SettingsTest, InvalidHandleAndBadArguments) {
    char text[16] = "xxxx";
    int32_t length = sizeof(text);
    auto lines = captureLog([&] { EXPECT_EQ(BQXGERR(4, text, &length), 7502); });
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(length, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].tag, "BQXGERR ");
    EXPECT_EQ(pcb->i32LastError, 0) << "an invalid handle is stored in no session";

    bqxtest::captureLines([&] {
        EXPECT_EQ(BQXGERR(handle, text, nullptr), 7536);
        length = 12;
        EXPECT_EQ(BQXGERR(handle, nullptr, &length), 7536);
        EXPECT_EQ(length, 0);
        length = -3;
        EXPECT_EQ(BQXGERR(handle, text, &length), 7536);
        length = 0;
        EXPECT_EQ(BQXGERR(handle, nullptr, &length), 0) << "no buffer and no size is fine";
        EXPECT_EQ(BQXDBUG(9, 1), 7502);
        EXPECT_EQ(BQXCLDB(-1, 1), 7502);
        EXPECT_EQ(BQXTIMO(5, 1), 7502);
    });
}

TEST_F(SettingsTest, SynchModeAndWindows) {
    auto lines = captureLog([&] { EXPECT_EQ(BQXSYNC(handle, 0, 0, 10001), 5004); });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "Invalid window size. send window size = 0 it will be reset to default size (100)");
    EXPECT_EQ(lines[1].text, "Invalid window size. receive window size = 10001 it will be reset to default size (100)");
    EXPECT_EQ(pcb->u32SendWindow, 100u);
    EXPECT_EQ(pcb->u32ReceiveWindow, 100u);
    EXPECT_EQ(pcb->i16Acks, 1);

    bqxtest::captureLines([&] {
        EXPECT_EQ(BQXSYNC(handle, 0, 1, 10000), 0);
        EXPECT_EQ(BQXSYNC(handle, 1, 0, 0), 0);
    });
    EXPECT_EQ(pcb->u32SendWindow, 1u);
    EXPECT_EQ(pcb->u32ReceiveWindow, 10000u);
    EXPECT_EQ(pcb->u32Synchronous, 1u);
    EXPECT_EQ(pcb->i16Acks, -1);

    auto bad = captureLog([&] { EXPECT_EQ(BQXSYNC(handle, 3, 1, 1), 7527); });
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].text, "Synch-Mode 3 is not supported");
    EXPECT_EQ(pcb->u32Synchronous, 1u);
    EXPECT_EQ(pcb->i32LastError, 0) << "7527 is logged without the session";

    pcb->iDebugLevel = 1;
    auto two = captureLog([&] { EXPECT_EQ(BQXSYNC(handle, 2, 0, 0), 0); });
    ASSERT_EQ(two.size(), 1u);
    EXPECT_EQ(two[0].number, "0038");
    EXPECT_EQ(pcb->u32Synchronous, 0u);
}

} // namespace
