#include "diag/logutils.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/kelmem.h"
#include "diag/GlobalRC.h"
#include "diag/nlsinit.h"
#include "diag/nlsmsg.h"

namespace fs = std::filesystem;

namespace {

// Texts of the build's American English catalog.
const std::string END_TEXT = "<<< end of log data >>>";
const std::string CONT_TEXT = "<<< log continues at the top of this file >>>";
const size_t HEADER_LEN = 26;   // "LOGHEADERREC " + 12 characters + newline

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int quiet(char *) { return 0; }

// The next-write field of the header record, read from its fixed layout.
uint64_t headerNext(const std::string &c)
{
    EXPECT_EQ(c.compare(0, 13, "LOGHEADERREC "), 0);
    const std::string field = c.substr(13, 12);
    size_t digits = field.find_first_not_of("0123456789");
    EXPECT_TRUE(digits != 0 && field.find_first_not_of(' ', digits) == std::string::npos) << "'" << field << "'";
    EXPECT_EQ(c[25], '\n');
    return std::stoull(field);
}

// Whether s holds at pos the pattern, '9' standing for any digit.
bool matchesAt(const std::string &s, size_t pos, const char *pattern)
{
    for (size_t i = 0; pattern[i] != '\0'; i++) {
        if (pos + i >= s.size())
            return false;
        char c = s[pos + i];
        if (pattern[i] == '9' ? !isdigit((unsigned char)c) : c != pattern[i])
            return false;
    }
    return true;
}

// A dated log line begins "<date> <time> ": month/day/year and 24-hour time.
const char DATED[] = "99/99/9999 99:99:99 ";
const size_t DATED_LEN = sizeof DATED - 1;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kel-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        savedGRC_ = gRC;
        for (auto &fn : outFns_)
            fn = quiet;
        ASSERT_NE(newNlsGlobalObject(outFns_, 1), nullptr);
        nlsReturnInfo_t info{};
        ASSERT_EQ(nlinit("EN", 5, KEL_BINARY_DIR "/catalogs", 0, 1, 1, 1, &info, nullptr), 0)
            << "the catalogs are built with the project";
    }
    void TearDown() override
    {
        errorLogFile.close();
        schedLogFile.close();
        trShutdown();
        TR_ERROR = 0;
        trReset(0);
        destroyNlsGlobalObject();
        gRC = savedGRC_;
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    void openTrace(const std::string &file)
    {
        trOpenParms_t p;
        p.fileName = file.c_str();
        ASSERT_EQ(trOpen(&p), 0);
    }

    std::string dir_;
    GlobalRC *savedGRC_ = nullptr;
    nlsOutFn_t outFns_[9] = {};
};

TEST_F(LogTest, ClosedLogAndInvalidCalls)
{
    EXPECT_EQ(LogMsg("nothing\n"), 0);
    EXPECT_EQ(LogMsg(nullptr), 109);
    EXPECT_EQ(LogSchedMsg("nothing\n"), 0);
    EXPECT_EQ(errorLogFile.open(nullptr, 0, 0), 109);
    EXPECT_EQ(errorLogFile.open("", 0, 0), 109);
    EXPECT_EQ(errorLogFile.open(path("tiny").c_str(), 60, 1), 109) << "no room for header and a wrap";
    destroyNlsGlobalObject();
    EXPECT_EQ(LogMsg("no message system\n"), 109);
}

TEST_F(LogTest, PlainLogGetsDatedLinesWithOneNewline)
{
    const std::string file = path("plain.log");
    ASSERT_EQ(errorLogFile.open(file.c_str(), 0, 0), 0);
    const int n1 = LogMsg("first");
    const int n2 = LogMsg("second\n");
    errno = 55;
    LogMsg("third");
    EXPECT_EQ(errno, 55);
    const std::string c = readFile(file);
    std::vector<std::string> lines;
    std::istringstream in(c);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u) << c;
    for (const auto &[line, text] : {std::pair{lines[0], "first"}, {lines[1], "second"}, {lines[2], "third"}}) {
        ASSERT_TRUE(matchesAt(line, 0, DATED)) << line;
        EXPECT_EQ(line.substr(DATED_LEN), text);
    }
    EXPECT_EQ(n1, (int)lines[0].size() + 1);
    EXPECT_EQ(n2, (int)lines[1].size() + 1);
}

TEST_F(LogTest, WrappingLogEndsExactlyAtMaximum)
{
    const uint32_t M = 600;
    const std::string file = path("wrap.log");
    ASSERT_EQ(errorLogFile.open(file.c_str(), M, 1), 0);
    std::string c = readFile(file);
    EXPECT_EQ(c, "LOGHEADERREC 26          \n" + END_TEXT + "\n");

    int wrappedAt = -1;
    uint64_t nextBefore = 0;
    for (int i = 0; i < 40 && wrappedAt < 0; i++) {
        nextBefore = headerNext(c);
        LogMsg(("message number " + std::to_string(i) + " " + std::string(20, 'm')).c_str());
        c = readFile(file);
        if (headerNext(c) < nextBefore)
            wrappedAt = i;
    }
    ASSERT_GE(wrappedAt, 0) << "never wrapped";
    EXPECT_EQ(c.size(), M);
    EXPECT_EQ(c.substr(M - 2), "*\n");
    EXPECT_EQ(c.substr(nextBefore, CONT_TEXT.size()), CONT_TEXT) << "continuation where the next message would go";
    const size_t fillStart = nextBefore + CONT_TEXT.size();
    EXPECT_EQ(c.substr(fillStart, M - 2 - fillStart), std::string(M - 2 - fillStart, ' '));

    // The wrapping message stands right behind the header record, then the marker.
    const std::string expected = "message number " + std::to_string(wrappedAt) + " " + std::string(20, 'm') + "\n";
    ASSERT_TRUE(matchesAt(c, HEADER_LEN, DATED)) << c;
    EXPECT_EQ(c.substr(HEADER_LEN + DATED_LEN, expected.size()), expected);
    const uint64_t next = headerNext(c);
    EXPECT_EQ(next, HEADER_LEN + DATED_LEN + expected.size());
    EXPECT_EQ(c.substr(next, END_TEXT.size() + 1), END_TEXT + "\n");
}

TEST_F(LogTest, OversizedMessageLeavesNoHugeFill)
{
    const uint32_t M = 400;
    const std::string file = path("oversized.log");
    ASSERT_EQ(errorLogFile.open(file.c_str(), M, 1), 0);
    LogMsg(std::string(700, 'o').c_str());
    EXPECT_GT(readFile(file).size(), M);
    EXPECT_GT(LogMsg("small one"), 0);
    const std::string c = readFile(file);
    EXPECT_LT(c.size(), 2u * 1024) << "the room left after the maximum is negative, not huge";
    EXPECT_NE(c.find("small one\n" + END_TEXT + "\n"), std::string::npos);
    EXPECT_EQ(c.find("small one"), HEADER_LEN + DATED_LEN) << "behind the header record and the date and time";
}

TEST_F(LogTest, ExistingLogsContinueOrAreLeftAlone)
{
    const std::string file = path("again.log");
    ASSERT_EQ(errorLogFile.open(file.c_str(), 4096, 1), 0);
    LogMsg("before close");
    errorLogFile.close();
    ASSERT_EQ(errorLogFile.open(file.c_str(), 4096, 1), 0);
    LogMsg("after reopen");
    errorLogFile.close();
    std::string c = readFile(file);
    const size_t before = c.find("before close\n"), after = c.find("after reopen\n");
    ASSERT_NE(before, std::string::npos);
    ASSERT_NE(after, std::string::npos);
    EXPECT_EQ(after, before + 13 + DATED_LEN) << "continues right behind the last message";
    EXPECT_EQ(c.find("LOGHEADERREC", 1), std::string::npos);

    const std::string foreign = path("foreign.log");
    std::ofstream(foreign) << "somebody's text\n";
    EXPECT_EQ(errorLogFile.open(foreign.c_str(), 4096, 1), 621);
    EXPECT_EQ(errorLogFile.isOpen, 0);
    EXPECT_EQ(readFile(foreign), "somebody's text\n");

    const std::string link = path("link.log");
    fs::create_symlink(foreign, link);
    EXPECT_EQ(errorLogFile.open(link.c_str(), 0, 0), 621);
    EXPECT_EQ(readFile(foreign), "somebody's text\n");
}

TEST_F(LogTest, FailedWriteIsReported)
{
    const std::string file = path("full.log");
    ASSERT_EQ(errorLogFile.open(file.c_str(), 0, 0), 0);
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_GE(dup2(full, fileno(errorLogFile.stream)), 0);
    close(full);
    EXPECT_EQ(LogMsg("lost"), 621);
    EXPECT_EQ(errorLogFile.lastError, ENOSPC);

    // A catalog message of 10000 and above reports the failed log write negated.
    openTrace(path("t.trc"));
    EXPECT_EQ(trNlsLogPrintf("src", 1, TR_GENERAL, 11143), -621);
}

TEST_F(LogTest, ScheduleLogDatesTheFirstPieceOnly)
{
    const std::string file = path("sched.log");
    ASSERT_EQ(schedLogFile.open(file.c_str(), 0, 0), 0);
    EXPECT_EQ(LogSchedMsg("part one, "), 0);
    EXPECT_EQ(LogSchedMsg("part two\n"), 0);
    EXPECT_EQ(LogSchedMsg("next\n"), 0);
    const std::string c = readFile(file);
    const std::string first = "part one, part two\n", second = "next\n";
    ASSERT_EQ(c.size(), 2 * DATED_LEN + first.size() + second.size()) << c;
    EXPECT_TRUE(matchesAt(c, 0, DATED)) << c;
    EXPECT_EQ(c.substr(DATED_LEN, first.size()), first);
    EXPECT_TRUE(matchesAt(c, DATED_LEN + first.size(), DATED)) << c;
    EXPECT_EQ(c.substr(2 * DATED_LEN + first.size()), second);
}

TEST_F(LogTest, TraceLogLineReachesTheLogWithoutTraceObject)
{
    const std::string file = path("error.log");
    ASSERT_EQ(errorLogFile.open(file.c_str(), 0, 0), 0);
    ASSERT_EQ(traceObj, nullptr);
    EXPECT_EQ(trLogPrintf("unit", 5, TR_GENERAL, "value %d\n", 42), 0);
    TR_PREFIX = 1;
    trLogPrintf("unit", 6, 0, "with prefix\n");
    const std::string c = readFile(file);
    EXPECT_NE(c.find(" value 42\n"), std::string::npos) << c;
    EXPECT_NE(c.find(" unit                (   6): with prefix\n"), std::string::npos) << c;
}

TEST_F(LogTest, CatalogMessagesLoggedBySeverity)
{
    const std::string file = path("error.log");
    ASSERT_EQ(errorLogFile.open(file.c_str(), 0, 0), 0);
    GlobalRC g;
    gRC = &g;
    char *text = nullptr;
    int n = nlLogsprintf(text, 102, "/some/catalog");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(n, (int)strlen(text));
    EXPECT_NE(std::string(text).find("/some/catalog"), std::string::npos);
    KEL_FREE(text);
    EXPECT_EQ(g.rc, 8);

    n = nlLogsprintf(text, 2218, "NODE1", "SERVER1");
    ASSERT_NE(text, nullptr);
    KEL_FREE(text);
    EXPECT_EQ(nlLogsprintf(text, 4242), 0) << "no such message";
    EXPECT_EQ(text, nullptr);

    const std::string c = readFile(file);
    EXPECT_NE(c.find("/some/catalog"), std::string::npos) << "a warning is logged";
    EXPECT_EQ(c.find("NODE1"), std::string::npos) << "an informational message is not";
}

TEST_F(LogTest, TracedCatalogMessages)
{
    const std::string log = path("error.log"), trc = path("cat.trc");
    ASSERT_EQ(errorLogFile.open(log.c_str(), 0, 0), 0);
    FILE *copy = tmpfile();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(trNlsPrintf("src", 1, 2218, "N", "S"), 0) << "no trace object";
    trOpenParms_t p;
    p.fileName = trc.c_str();
    p.errCopyStream = copy;
    ASSERT_EQ(trOpen(&p), 0);
    TR_PREFIX = 1;

    // The prefix pads the source name but never cuts it, whatever its length and line.
    const std::string longName(40, 'L');
    EXPECT_EQ(trNlsLogPrintf(longName.c_str(), 123456, 1, 11143), (int)END_TEXT.size());
    const std::string prefixed = longName + "(123456): " + END_TEXT;
    EXPECT_NE(readFile(log).find(" " + prefixed + "\n"), std::string::npos) << readFile(log);
    EXPECT_NE(readFile(trc).find(prefixed), std::string::npos);

    // Below 10000: logged by severity, traced with "%s", copied as it stands.
    const std::string hostile = "/a/%s%n%x";
    const int len = trNlsLogPrintf("src", 7, 1, 1834, hostile.c_str());
    EXPECT_GT(len, (int)hostile.size());
    EXPECT_NE(readFile(log).find(hostile), std::string::npos);
    EXPECT_NE(readFile(trc).find("src                 (   7): QEB1834E The password file location " + hostile),
              std::string::npos)
        << readFile(trc);
    rewind(copy);
    char got[256] = {};
    ASSERT_NE(fgets(got, sizeof got, copy), nullptr);
    EXPECT_NE(std::string(got).find(hostile), std::string::npos);
    fclose(copy);
    traceObj->errCopyStream = nullptr;

    const int traced = trNlsPrintf("unit", 9, 2218, "NODE9", "SERVER9");
    EXPECT_GT(traced, 0);
    EXPECT_NE(readFile(trc).find("unit                (   9): QEB2218I The encryption key password of node NODE9"),
              std::string::npos);

    // With the gate shut the log still gets the line; the result is 0.
    trShutdown();
    EXPECT_EQ(trNlsLogPrintf("src", 8, 1, 11144), 0);
    EXPECT_NE(readFile(log).find(CONT_TEXT), std::string::npos);
}

} // namespace
