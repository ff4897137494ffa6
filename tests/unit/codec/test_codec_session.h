// A session record for the codec tests: converters opened directly between
// a named local code set and UTF-8 (no locale needed), and a broker table.
#ifndef BQX_TESTS_TEST_CODEC_SESSION_H
#define BQX_TESTS_TEST_CODEC_SESSION_H

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <vector>

#include "api/pcb.h"
#include "codec/codec.h"

using Bytes = std::vector<uint8_t>;

struct CodecSession {
    PCB pcb{};
    BrokerEntry brokers[3]{};

    explicit CodecSession(const char *localCodeSet = "UTF-8") {
        pcb.cdEncode = iconv_open("UTF-8", localCodeSet);
        pcb.cdDecode = iconv_open(localCodeSet, "UTF-8");
        EXPECT_NE(pcb.cdEncode, reinterpret_cast<iconv_t>(-1)) << localCodeSet;
        EXPECT_NE(pcb.cdDecode, reinterpret_cast<iconv_t>(-1)) << localCodeSet;
        pcb.pBrokerList = brokers;
        pcb.u32BrokerCount = 3;
    }
    ~CodecSession() { iconv_done(&pcb); }
    CodecSession(const CodecSession &) = delete;
    CodecSession &operator=(const CodecSession &) = delete;
};

#endif
