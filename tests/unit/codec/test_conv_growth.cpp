// A text that grows beyond twice its length on the way to UTF-8 and also
// holds a byte that the code page cannot convert: both the produce value
// and a request text sized by measuring must end in 7544 (the text passed
// through unchanged), not in 7539 with hex dumps because the measured room
// was too small for the converter to reach the bad byte.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <functional>
#include <string>

#include "codec/codec.h"
#include "group/coordinator_request.h"
#include "log/messages.h"
#include "support/fake_cluster.h"
#include "support/log_capture.h"

using namespace bqxtest;

namespace {

// In code page 1252, 0x80 is the euro sign (three UTF-8 bytes) and 0x81 is
// undefined.
const std::string kGrowingThenInvalid = std::string(10, '\x80') + "\x81";

int32_t produceValue(TableSession &s, const std::string &text) {
    s.brokers({1}, {true});
    s.partitions({{0, 1, 0}});
    s.topic("orders");
    return BQXPROD(s.handle, "", 0, text.data(), static_cast<uint32_t>(text.size()), 1);
}

// A request text in a buffer of exactly the measured size, as the sized
// request builders (OffsetFetch, OffsetCommit, Heartbeat) make it: 0 when
// the text went out unchanged behind its count.
int32_t requestText(TableSession &s, const std::string &text) {
    uint64_t bytes = kafka_compact_text_bytes(s.pcb, "OffsFetc", text.c_str());
    if (bytes == 0)
        return -2;
    std::vector<uint8_t> buffer(bytes);
    int32_t end = kafka_marshall_new(s.pcb, buffer.data(), static_cast<uint32_t>(bytes), 0, "cs",
                                     text.c_str());
    bool unchanged = end == static_cast<int32_t>(text.size()) + 1 &&
                     memcmp(buffer.data() + 1, text.data(), text.size()) == 0;
    return unchanged ? 0 : end;
}

struct GrowthCase {
    const char *name;
    int32_t result; // the value is refused, the request text sent unchanged
    std::function<int32_t(TableSession &, const std::string &)> run;
};

class ConvGrowth : public testing::TestWithParam<GrowthCase> {};

TEST_P(ConvGrowth, GrowingTextWithInvalidByteIsPassedThroughWith7544) {
    TableSession s;
    ASSERT_NE(s.pcb, nullptr);
    iconv_close(s.pcb->cdEncode);
    s.pcb->cdEncode = iconv_open("UTF-8", "CP1252");
    ASSERT_NE(s.pcb->cdEncode, reinterpret_cast<iconv_t>(-1));
    int32_t rc = 0;
    std::vector<std::string> numbers =
        numbersOf(captureLog([&] { rc = GetParam().run(s, kGrowingThenInvalid); }));
    EXPECT_EQ(rc, GetParam().result);
    EXPECT_EQ(numbers, std::vector<std::string>{"7544"}); // no 7539, no dump lines
}

INSTANTIATE_TEST_SUITE_P(
    ValueAndRequestText, ConvGrowth,
    testing::Values(GrowthCase{"ProduceValue", ERR_CONVERT, produceValue},
                    GrowthCase{"RequestText", 0, requestText}),
    [](const testing::TestParamInfo<GrowthCase> &info) { return std::string(info.param.name); });

} // namespace
