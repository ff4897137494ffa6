// The shared library exports the entry points and the listed data, and
// nothing else; it carries a soname.
#include <gtest/gtest.h>

#include <stdio.h>

#include <set>
#include <string>

namespace {

std::string run(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, n);
    pclose(pipe);
    return out;
}

TEST(Exports, OnlyEntryPointsAndDataAreExported) {
    std::string out = run(std::string("nm -D --defined-only ") + BQX_SHARED_LIBRARY);
    std::set<std::string> exported;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = out.substr(start, nl - start);
        size_t lastSpace = line.rfind(' ');
        std::string name = line.substr(lastSpace + 1);
        size_t at = name.find('@');
        if (at != std::string::npos) name = name.substr(0, at);
        exported.insert(name);
    }
    const std::set<std::string> expected = {
        "BQXOPEN",       "BQXCLSE",         "BQXTERM",       "BQXCONN",         "BQXAUTH",
        "BQXPROD",       "BQXCONS",         "BQXSYNC",       "BQXDBUG",         "BQXCLDB",
        "BQXTIMO",       "BQXGERR",         "BQXFUNC",       "BQXCONF",         "BQXINFO",
        "gpcbList",      "gMutex",          "giDebugLevel",  "giThreadActive",  "gThreadId",
        "gpszVersion",   "gpszClientID",    "gpszClientVer", "aszBqxInfMsgs",   "aszBqxWrnMsgs",
        "aszBqxErrMsgs", "gaszKafkaErrors", "crc32c_table",  "cCRCReferenzMsg", "paFctPrm"};
    EXPECT_EQ(exported, expected);
}

TEST(Exports, SharedLibraryHasASoname) {
    std::string out = run(std::string("readelf -d ") + BQX_SHARED_LIBRARY);
    EXPECT_NE(out.find("Library soname: [libbqx.so.1]"), std::string::npos) << out;
}

} // namespace
