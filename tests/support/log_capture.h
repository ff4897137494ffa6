// Captures the library's log lines from standard output and splits them
// into their columns.
#ifndef BQX_TESTS_LOG_CAPTURE_H
#define BQX_TESTS_LOG_CAPTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace bqxtest {

struct LogLine {
    std::string stamp, number, severity, tag, broker, partition, text;
};

// Runs `body` and returns what it wrote to standard output, line by line.
inline std::vector<std::string> captureLines(const std::function<void()> &body) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(out.substr(start, nl - start));
    EXPECT_EQ(start, out.size()) << "output does not end with a newline";
    return lines;
}

inline LogLine parseLine(const std::string &line) {
    static const std::regex shape(
        R"(^(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}) BQX(\d{4})([IWE]) (.{8}) (\S+) (\S+) (.*)$)");
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, shape)) << line;
    if (m.empty()) return {};
    return {m[1], m[2], m[3], m[4], m[5], m[6], m[7]};
}

// Runs `body` and returns its log lines parsed.
inline std::vector<LogLine> captureLog(const std::function<void()> &body) {
    std::vector<LogLine> parsed;
    for (const std::string &line : captureLines(body)) parsed.push_back(parseLine(line));
    return parsed;
}

// The message numbers of `lines`, in order, as "7502" texts.
inline std::vector<std::string> numbersOf(const std::vector<LogLine> &lines) {
    std::vector<std::string> numbers;
    for (const LogLine &line : lines) numbers.push_back(line.number);
    return numbers;
}

// Whether `lines` hold message `number`, with `text` in its text when given.
inline bool logged(const std::vector<LogLine> &lines, const std::string &number,
                   const std::string &text = "") {
    for (const LogLine &line : lines)
        if (line.number == number && line.text.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace bqxtest

#endif
