// Character conversion in a real non-UTF-8 locale (de_DE with ISO-8859-15,
// built with localedef into the build tree): both directions, long texts in
// pieces, invalid input, output too small, unusable arguments.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <locale.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "api/pcb.h"
#include "codec/codec.h"
#include "support/log_capture.h"

#ifndef BQX_TEST_WORKDIR
#define BQX_TEST_WORKDIR "/tmp"
#endif

namespace {

constexpr const char *kLocale = "de_DE.ISO-8859-15";

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Builds the locale once per build tree. Test processes may run in
// parallel, so each builds into a directory of its own and renames it.
bool build_locale(const std::string &root) {
    std::string target = root + "/" + kLocale;
    if (exists(target + "/LC_CTYPE"))
        return true;
    mkdir(root.c_str(), 0755);
    std::string scratch = target + ".tmp" + std::to_string(getpid());
    std::string command = "localedef -i de_DE -f ISO-8859-15 '" + scratch + "' >/dev/null 2>&1";
    (void)!system(command.c_str()); // warnings give a non-zero code; the files decide
    if (rename(scratch.c_str(), target.c_str()) != 0)
        (void)!system(("rm -rf '" + scratch + "'").c_str());
    return exists(target + "/LC_CTYPE");
}

struct SavedVariable {
    const char *name;
    bool wasSet = false;
    std::string value;
    void save() {
        const char *current = getenv(name);
        wasSet = current != nullptr;
        value = current ? current : "";
    }
    void restore() const {
        if (wasSet)
            setenv(name, value.c_str(), 1);
        else
            unsetenv(name);
    }
};

class Latin9Conversion : public testing::Test {
protected:
    static inline bool haveLocaledef = false;
    static inline bool localeBuilt = false;
    static inline PCB pcb{};
    static inline int32_t initResult = -1;
    static inline std::string codeSet;
    static inline SavedVariable locPath{"LOCPATH", false, ""};
    static inline SavedVariable lcAll{"LC_ALL", false, ""};

    static void SetUpTestSuite() {
        haveLocaledef = system("command -v localedef >/dev/null 2>&1") == 0;
        if (!haveLocaledef)
            return;
        std::string root = std::string(BQX_TEST_WORKDIR) + "/locale";
        localeBuilt = build_locale(root);
        locPath.save();
        lcAll.save();
        setenv("LOCPATH", root.c_str(), 1);
        setenv("LC_ALL", kLocale, 1);
        int32_t error = 0;
        initResult = iconv_init(&pcb, &error);
        codeSet = nl_langinfo(CODESET);
    }

    static void TearDownTestSuite() {
        if (!haveLocaledef)
            return;
        iconv_done(&pcb);
        locPath.restore();
        lcAll.restore();
        setlocale(LC_CTYPE, "C");
    }

    void SetUp() override {
        if (!haveLocaledef)
            GTEST_SKIP() << "localedef is not installed";
        ASSERT_TRUE(localeBuilt) << "localedef could not build " << kLocale;
        ASSERT_EQ(initResult, 0);
        ASSERT_EQ(codeSet, "ISO-8859-15");
    }

    struct Result {
        int32_t rc;
        std::string output;
        uint32_t errorOut;
    };

    // Converts `input` into an output of `capacity` bytes.
    static Result convert(const std::string &input, uint32_t capacity, int32_t direction) {
        std::string output(capacity + 1, '\x5A');
        uint32_t length = capacity;
        uint32_t error = 12345;
        int32_t rc = iconv_convert(&pcb, input.data(), static_cast<uint32_t>(input.size()),
                                   output.data(), &length, &error, direction);
        EXPECT_LE(length, capacity);
        EXPECT_EQ(output[capacity], '\x5A') << "written beyond the capacity";
        return {rc, output.substr(0, length), error};
    }
};

TEST_F(Latin9Conversion, EuroSignBothWays) {
    Result toUtf8 = convert("1\xA4\xE4", 16, kToUtf8);
    EXPECT_EQ(toUtf8.rc, 0);
    EXPECT_EQ(toUtf8.output, "1\xE2\x82\xAC\xC3\xA4");
    Result back = convert(toUtf8.output, 16, kFromUtf8);
    EXPECT_EQ(back.rc, 0);
    EXPECT_EQ(back.output, "1\xA4\xE4");
}

TEST_F(Latin9Conversion, EmptyInputProducesNothing) {
    uint32_t length = 8;
    uint32_t error = 0;
    char output[8];
    EXPECT_EQ(iconv_convert(&pcb, nullptr, 0, output, &length, &error, kToUtf8), 0);
    EXPECT_EQ(length, 0u);
}

// Local to UTF-8 over 5000 bytes (pieces of 2048, 2048, 904), growing as
// it goes; the result is the whole text.
TEST_F(Latin9Conversion, LongTextConvertsPieceByPiece) {
    std::string latin9, utf8;
    for (int i = 0; i < 5000; ++i) {
        char c = "a\xA4z\xE4"[i % 4];
        latin9 += c;
        utf8 += c == '\xA4' ? "\xE2\x82\xAC" : c == '\xE4' ? "\xC3\xA4" : std::string(1, c);
    }
    Result r = convert(latin9, static_cast<uint32_t>(utf8.size()), kToUtf8);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.output, utf8);
}

// UTF-8 to local where the 2048-byte piece boundary cuts a character: it is
// completed from the next piece instead of failing the whole text.
TEST_F(Latin9Conversion, CharacterCutByThePieceBoundaryIsCarried) {
    for (size_t offset : {2046u, 2047u, 4095u}) {
        SCOPED_TRACE(offset);
        std::string utf8(offset, 'a'), latin9(offset, 'a');
        utf8 += "\xE2\x82\xAC";
        latin9 += '\xA4';
        while (utf8.size() < 5000) {
            utf8 += "\xC3\xA4";
            latin9 += '\xE4';
        }
        Result r = convert(utf8, 5000, kFromUtf8);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.output, latin9);
    }
}

TEST_F(Latin9Conversion, InvalidInputIsPassedThroughWhenItFits) {
    Result r;
    auto log = bqxtest::captureLog([&] { r = convert("ab\xFF" "c", 4, kFromUtf8); });
    EXPECT_EQ(r.rc, 7544);
    EXPECT_EQ(r.output, "ab\xFF" "c");
    EXPECT_EQ(r.errorOut, 0u);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].number, "7544");
    EXPECT_EQ(log[0].tag, "iConvert");
    EXPECT_EQ(log[0].broker, "--");
    EXPECT_EQ(log[0].text, "Could not convert Message from UTF-8: an input byte does not belong to the input codeset");

    log = bqxtest::captureLog([&] { r = convert("ab\xFF" "c", 3, kFromUtf8); });
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.errorOut, static_cast<uint32_t>(E2BIG));
    EXPECT_EQ(r.output, "ab") << "what was converted before the bad byte";
    EXPECT_EQ(bqxtest::numbersOf(log), std::vector<std::string>{"7544"});
}

TEST_F(Latin9Conversion, IncompleteCharacterAtTheEnd) {
    Result r;
    auto log = bqxtest::captureLog([&] { r = convert("ab\xE2\x82", 8, kFromUtf8); });
    EXPECT_EQ(r.rc, 7544);
    EXPECT_EQ(r.output, "ab\xE2\x82");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "Could not convert Message from UTF-8: an incomplete character or shift sequence at the end of the input buffer");
}

TEST_F(Latin9Conversion, CharacterLatin9LacksIsPassedThrough) {
    Result r;
    auto log = bqxtest::captureLog([&] { r = convert("x\xC2\xA4", 8, kFromUtf8); }); // U+00A4
    EXPECT_EQ(r.rc, 7544);
    EXPECT_EQ(r.output, "x\xC2\xA4");
    EXPECT_EQ(bqxtest::numbersOf(log), std::vector<std::string>{"7544"});
}

TEST_F(Latin9Conversion, OutputTooSmallFailsWithDumps) {
    Result r;
    auto log = bqxtest::captureLog([&] { r = convert("\xA4\xA4", 4, kToUtf8); });
    EXPECT_EQ(r.rc, 7539);
    EXPECT_EQ(r.output, "\xE2\x82\xAC") << "what fitted";
    EXPECT_EQ(r.errorOut, static_cast<uint32_t>(E2BIG));
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].number, "7539");
    EXPECT_EQ(log[0].tag, "iConvert");
    EXPECT_EQ(log[0].text, "iconv() failed with error 7");
    EXPECT_EQ(log[1].tag, "iconv   ");
    EXPECT_EQ(log[1].text, "HEXDump for input Buffer len=2");
    EXPECT_EQ(log[2].number, "0003");
    EXPECT_EQ(log[3].text, "HEXDump for output Buffer len=3");
    EXPECT_EQ(log[4].number, "0003");
}

// Unusable arguments are refused with 7539 instead of crashing.
TEST_F(Latin9Conversion, UnusableArgumentsAreRefused) {
    char output[8];
    uint32_t length = sizeof output;
    uint32_t error = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(iconv_convert(&pcb, nullptr, 3, output, &length, &error, kToUtf8), 7539);
    EXPECT_EQ(error, static_cast<uint32_t>(EFAULT));
    EXPECT_EQ(length, 0u);
    length = sizeof output;
    EXPECT_EQ(iconv_convert(&pcb, "abc", 3, nullptr, &length, &error, kToUtf8), 7539);
    EXPECT_EQ(iconv_convert(&pcb, "abc", 3, output, nullptr, &error, kToUtf8), 7539);
    EXPECT_EQ(iconv_convert(&pcb, "abc", 3, output, &length, nullptr, kToUtf8), 7539);
    length = sizeof output;
    EXPECT_EQ(iconv_convert(nullptr, "abc", 3, output, &length, &error, kToUtf8), 7539);
    EXPECT_EQ(error, static_cast<uint32_t>(EBADF));
    length = sizeof output;
    EXPECT_EQ(iconv_convert(&pcb, "abc", 3, output, &length, &error, 2), 7539) << "no such direction";
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("iconv() failed with error 14"), std::string::npos) << log;
}

TEST_F(Latin9Conversion, ClosedSessionIsNotConvertedAndClosesOnce) {
    PCB other{};
    int32_t error = 0;
    ASSERT_EQ(iconv_init(&other, &error), 0);
    iconv_done(&other);
    iconv_done(&other); // a second close must not free the descriptors again
    char output[8];
    uint32_t length = sizeof output;
    uint32_t convError = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(iconv_convert(&other, "abc", 3, output, &length, &convError, kToUtf8), 7539);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(convError, static_cast<uint32_t>(EBADF));
}

} // namespace
