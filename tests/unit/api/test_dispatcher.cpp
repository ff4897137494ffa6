// BQXFUNC: function codes reach their entry points with their arguments,
// invalid codes are refused, and the descriptor table describes them.
#include <gtest/gtest.h>

#include <string.h>

#include "api/session.h"
#include "bqx.h"
#include "support/log_capture.h"

using bqxtest::captureLog;

namespace {

class DispatcherTest : public ::testing::Test {
  protected:
    void TearDown() override { bqxtest::captureLines([] { BQXTERM(); }); }
};

TEST_F(DispatcherTest, InvalidCodesAreRefused) {
    for (uint32_t code : {15u, 0xFFFFFFFFu, 1000u}) {
        auto lines = captureLog([&] { EXPECT_EQ(BQXFUNC(code), 7537); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].number, "7537");
        EXPECT_EQ(lines[0].text, "Invalid Function Code " + std::to_string(int32_t(code)) +
                                     ". Only Function Codes from 1 to 14 are supported");
    }
}

TEST_F(DispatcherTest, OpenAndCloseBehaveLikeTheirEntryPoints) {
    int32_t h = -1;
    auto open = captureLog([&] { h = BQXFUNC(BQX_FC_OPEN); });
    EXPECT_EQ(h, 0);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].tag, "BQXOPEN ");
    EXPECT_EQ(BQXFUNC(BQX_FC_OPEN), 1);
    bqxtest::captureLines([&] {
        EXPECT_EQ(BQXFUNC(BQX_FC_CLSE, 1), 4);
        EXPECT_EQ(BQXFUNC(BQX_FC_CLSE, 0), 0);
    });
    auto bad = captureLog([] { EXPECT_EQ(BQXFUNC(BQX_FC_CLSE, 0), 7502); });
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].tag, "BQXCLSE ");
    EXPECT_EQ(BQXFUNC(BQX_FC_TERM), 0);
}

TEST_F(DispatcherTest, SettingsCodesPassTheirArguments) {
    int32_t h = -1;
    bqxtest::captureLines([&] { h = BQXFUNC(BQX_FC_OPEN); });
    PCB *pcb = get_BQXPCB(h);
    ASSERT_NE(pcb, nullptr);
    auto dbug = captureLog([&] { EXPECT_EQ(BQXFUNC(BQX_FC_DBUG, h, 3), 0); });
    EXPECT_EQ(pcb->iDebugLevel, 3);
    ASSERT_EQ(dbug.size(), 1u);
    EXPECT_EQ(dbug[0].tag, "BQXDBUG ");
    bqxtest::captureLines([&] {
        EXPECT_EQ(BQXFUNC(BQX_FC_TIMO, h, 77), 0);
        EXPECT_EQ(BQXFUNC(BQX_FC_CLDB, h, 5), 0);
        EXPECT_EQ(BQXFUNC(BQX_FC_SYNC, h, 0, 7u, 9u), 0);
    });
    EXPECT_EQ(pcb->u32Timeout, 77u);
    EXPECT_EQ(pcb->u32ConsumerLoadBalancing, 5u);
    EXPECT_EQ(pcb->u32SendWindow, 7u);
    EXPECT_EQ(pcb->u32ReceiveWindow, 9u);

    EXPECT_EQ(BQXFUNC(BQX_FC_AUTH, h, "user", 4, "secret", 6), 0);
    EXPECT_STREQ(pcb->pszSaslUser, "user");
    EXPECT_STREQ(pcb->pszSaslPassword, "secret");
    auto conn = captureLog([&] { EXPECT_EQ(BQXFUNC(BQX_FC_CONN, h, ":1", 2, "t", 1), 7519); });
    ASSERT_EQ(conn.size(), 1u);
    EXPECT_EQ(conn[0].tag, "BQXCONN ");

    char text[64];
    int32_t length = sizeof(text);
    EXPECT_EQ(BQXFUNC(BQX_FC_GERR, h, text, &length), 7519);
    EXPECT_EQ(std::string(text, length).rfind("No valid IP address or hostname", 0), 0u);

    // Wrong handles reach the entry point, which refuses them.
    bqxtest::captureLines([&] {
        EXPECT_EQ(BQXFUNC(BQX_FC_DBUG, 4, 1), 7502);
        EXPECT_EQ(BQXFUNC(BQX_FC_AUTH, 4, "u", 1, "p", 1), 7502);
        EXPECT_EQ(BQXFUNC(BQX_FC_PROD, 4, "", 0u, "m", 1u, 0u), 7502);
        EXPECT_EQ(BQXFUNC(BQX_FC_CONN, 4, "localhost", 9, "t", 1), 7502);
        EXPECT_EQ(BQXFUNC(BQX_FC_CONF, 4, "client.id", 9, "x", 1), 7502);
        EXPECT_EQ(BQXFUNC(BQX_FC_INFO, 4, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                  7502);
    });
}

TEST_F(DispatcherTest, DescriptorTable) {
    int32_t address = BQXFUNC(BQX_FC_TABLE);
    EXPECT_EQ(static_cast<uint32_t>(address),
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&paFctPrm)));
    const uint64_t *words = reinterpret_cast<const uint64_t *>(&paFctPrm);
    EXPECT_EQ(words[0], 0xC2D8E7C6u);
    EXPECT_EQ(words[1], 14u);
    const char *const expected[] = {
        "",     "i4p4i4p4i4", "i4",         "i4p4i4p4i4i4",  "i4p4i4p4p4i4i4",
        "i4i4", "i4i4u4u4",   "i4p4i4p4i4", "i4p4p4",        "i4i4",
        "",     "i4i4",       "i4p4i4p4i4", "i4p4p4p4p4p4p4"};
    for (int code = 1; code <= 14; code++) {
        const char *descriptor = reinterpret_cast<const char *>(words[1 + code]);
        EXPECT_STREQ(descriptor, expected[code - 1]) << "code " << code;
        EXPECT_EQ(strlen(descriptor) % 2, 0u);
    }
}

} // namespace
