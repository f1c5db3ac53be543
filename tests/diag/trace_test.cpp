#include "diag/trace.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "diag/traceplus.h"

namespace fs = std::filesystem;

namespace {

const char HEADER_ID[] = "ZAR Trace   ";
const char EOD[] = "\nEND OF DATA\n\n";
const char EOD_CLOSE[] = "\nEND OF DATA - close\n\n";

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t countOf(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        n++;
    return n;
}

// A fixed-width field: a decimal number, left-justified, blank-padded.
bool isNumberField(const std::string &f)
{
    size_t digits = 0;
    while (digits < f.size() && isdigit((unsigned char)f[digits]))
        digits++;
    return digits > 0 && f.find_first_not_of(' ', digits) == std::string::npos;
}

// The header fields written out byte by byte: "ZAR Trace   ", 12 characters of
// next-write position, 10 characters of maximum size, then the product line.
struct Header {
    uint64_t nextWrite = 0;
    unsigned maxMB = 0;
    size_t dataStart = 0;   // behind the header's empty line
};

Header parseHeader(const std::string &c)
{
    Header h;
    EXPECT_EQ(c.substr(0, 12), HEADER_ID);
    const std::string next = c.substr(12, 12), max = c.substr(24, 10);
    EXPECT_TRUE(isNumberField(next)) << "next-write field '" << next << "'";
    EXPECT_TRUE(isNumberField(max)) << "maximum field '" << max << "'";
    h.nextWrite = std::stoull(next);
    h.maxMB = (unsigned)std::stoul(max);
    EXPECT_EQ(c.substr(34, 33), " Quorvane 6.1.5.00   Build date: ");
    size_t end = c.find("\n\n");
    EXPECT_NE(end, std::string::npos);
    h.dataStart = end + 2;
    return h;
}

// Line i as traced with the prefix on and a 200-byte payload.
std::string tracedLine(int i)
{
    char prefix[64];
    snprintf(prefix, sizeof prefix, "%-20s(%4d): ", "trace_test", i % 10000);
    return std::string(prefix) + std::to_string(100000 + i) + " " + std::string(200, 'x') + "\n";
}

void traceLines(int from, int to)
{
    const std::string payload(200, 'x');
    for (int i = from; i < to; i++)
        trPrintf("trace_test", (unsigned)(i % 10000), "%d %s\n", 100000 + i, payload.c_str());
}

// Number of the traced line that starts at pos.
const size_t LINE_LEN = tracedLine(0).size();

int lineNumberAt(const std::string &c, size_t pos)
{
    if (c.compare(pos, 10, "trace_test") != 0)
        return -1;
    size_t close = c.find("): ", pos);
    if (close == std::string::npos || close - pos != 25)
        return -1;
    const std::string num = c.substr(close + 3, 6);
    if (num.size() != 6 || num.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoi(num) - 100000;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::path(::testing::TempDir()) / "kel-trace-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir_ = buf.data();
    }
    void TearDown() override
    {
        trShutdown();
        TR_ERROR = 0;
        trReset(0);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    int openWrapping(const std::string &file, uint32_t maxMB)
    {
        trOpenParms_t p;
        p.fileName = file.c_str();
        p.wrapping = 1;
        p.maxSizeMB = maxMB;
        return trOpen(&p);
    }

    std::string dir_;
};

TEST_F(TraceTest, WithoutTraceObjectNothingIsWrittenAndErrnoKept)
{
    ASSERT_EQ(traceObj, nullptr);
    TR_GENERAL = 1;
    TR_ERROR = 1;
    errno = 4321;
    EXPECT_EQ(trCanOutPut(), 0);
    EXPECT_EQ(trPrintf("t", 1, "x %d\n", 1), 0);
    EXPECT_EQ(trPrint("plain %s\n", "text"), 0);
    EXPECT_EQ(trLogPrintf("t", 2, TR_GENERAL, "logged %d\n", 2), 0);
    TRACE_Fkt("t", 3)(TR_GENERAL, "functor %d\n", 3);
    trPrintStr("abc", 3, PS_HEX);
    EXPECT_EQ(trOutTSTrMessage("direct\n"), 0);
    EXPECT_EQ(trOutTrMessage("direct\n"), 0);
    EXPECT_EQ(errno, 4321);
}

TEST_F(TraceTest, ClassTable)
{
    int named = 0, comm = 0;
    for (const auto &e : trClassTable) {
        if (e.name == nullptr)
            break;
        named++;
        ASSERT_NE(e.flag, nullptr) << e.name;
        comm += e.commClass;
    }
    EXPECT_LT(named, TR_CLASS_TABLE_SIZE);
    EXPECT_STREQ(trClassTable[0].name, "ERROR");
    EXPECT_EQ(comm, 5);
    EXPECT_EQ(trSetClass("memory", 1), 0);
    EXPECT_EQ(TR_MEMORY, 1);
    EXPECT_EQ(trSetClass("NOSUCHCLASS", 1), -1);

    TR_ERROR = TR_GENERAL = TR_MEMORY = TR_COMMFULL = 1;
    trReset(0);
    EXPECT_EQ(TR_ERROR, 1) << "ERROR survives a reset";
    EXPECT_EQ(TR_GENERAL + TR_MEMORY + TR_COMMFULL, 0);
}

TEST_F(TraceTest, WrappingFileWrapsAndKeepsHeaderPositionRight)
{
    const std::string file = path("wrap.trc");
    ASSERT_EQ(openWrapping(file, 1), 0);
    TR_PREFIX = 1;

    // Before the limit: the marker stands where the header says.
    traceLines(0, 100);
    std::string c = readFile(file);
    Header h = parseHeader(c);
    EXPECT_EQ(h.maxMB, 1u);
    EXPECT_EQ(c.substr(h.dataStart, 21), "BEGINNING NEW TRACE\n\n");
    EXPECT_EQ(c.substr(h.nextWrite, sizeof EOD - 1), EOD);
    EXPECT_EQ(c.substr(h.nextWrite - LINE_LEN, LINE_LEN), tracedLine(99));

    // 6000 lines of 236 bytes pass 1 MB once.
    EXPECT_EQ(trPrintf("trace_test", 6000, "%d %s\n", 100000 + 100, std::string(200, 'x').c_str()), 208)
        << "the caller's text, prefix not counted";
    traceLines(101, 6000);
    c = readFile(file);
    h = parseHeader(c);
    EXPECT_LE(c.size(), 1048576u);
    size_t cont = c.find("\nContinued at beginning of file\n\n");
    ASSERT_NE(cont, std::string::npos);
    int firstAfterWrap = lineNumberAt(c, h.dataStart);
    ASSERT_GT(firstAfterWrap, 4000);
    EXPECT_EQ(lineNumberAt(c, cont - LINE_LEN), firstAfterWrap - 1) << "lines run on across the wrap";
    EXPECT_EQ(c.substr(h.nextWrite, sizeof EOD - 1), EOD);
    EXPECT_EQ(c.substr(h.nextWrite - LINE_LEN, LINE_LEN), tracedLine(5999));
    EXPECT_LT(h.nextWrite, cont) << "older lines behind the new ones remain";

    trShutdown();
    c = readFile(file);
    EXPECT_EQ(parseHeader(c).nextWrite, h.nextWrite);
    EXPECT_EQ(c.substr(h.nextWrite, sizeof EOD_CLOSE - 1), EOD_CLOSE);
}

TEST_F(TraceTest, SegmentedTraceRotatesWithContinuationLines)
{
    const std::string base = path("seg.trc");
    trOpenParms_t p;
    p.fileName = base.c_str();
    p.wrapping = 1;
    p.segmentCount = 3;
    p.segmentSizeMB = 1;
    ASSERT_EQ(trOpen(&p), 0);
    TR_PREFIX = 1;
    ASSERT_STREQ(traceObj->activeFileName, (base + ".1").c_str());

    // About 4460 lines fill a segment: 14000 lines go round to segment 1 again.
    traceLines(0, 14000);
    EXPECT_FALSE(fs::exists(base));
    const std::string s1 = readFile(base + ".1"), s2 = readFile(base + ".2"), s3 = readFile(base + ".3");
    const Header h1 = parseHeader(s1), h2 = parseHeader(s2), h3 = parseHeader(s3);

    EXPECT_EQ(s1.substr(h1.dataStart, 33), "Continued from end of segment 3\n\n") << "segment 1 recreated";
    EXPECT_EQ(s2.substr(h2.dataStart, 33), "Continued from end of segment 1\n\n");
    EXPECT_EQ(s3.substr(h3.dataStart, 33), "Continued from end of segment 2\n\n");
    for (const auto &[c, h, next] : {std::tuple{&s2, &h2, 3}, std::tuple{&s3, &h3, 1}}) {
        const std::string cont = "\nContinued at beginning of segment " + std::to_string(next) + "\n\n";
        EXPECT_EQ(c->substr(h->nextWrite, cont.size()), cont);
        EXPECT_LE(c->size(), 1048576u);
    }
    // The first line of segment 3 follows the last line of segment 2.
    EXPECT_EQ(lineNumberAt(s3, h3.dataStart + 33), lineNumberAt(s2, h2.nextWrite - LINE_LEN) + 1);
    EXPECT_EQ(s1.substr(h1.nextWrite, sizeof EOD - 1), EOD);
    EXPECT_EQ(s1.substr(h1.nextWrite - LINE_LEN, LINE_LEN), tracedLine(13999));
    EXPECT_STREQ(traceObj->activeFileName, (base + ".1").c_str());
}

// Untagged text (no prefix) until the file's next write would take it exactly
// to limit - room: the next byte written must wrap.
void fillToBound(uint64_t limit, uint64_t room)
{
    for (;;) {
        const uint64_t left = limit - room - (uint64_t)traceObj->nextWrite;
        if (left == 0)
            return;
        const size_t n = left < 4000 ? (size_t)left : 4000;
        trPrint("%s\n", std::string(n - 1, 'f').c_str());
    }
}

// A wrapping file keeps room behind every write for the longest marker it may
// still write there, the continuation line; filled to that bound, the next
// write wraps and the marker ends exactly at the limit, never beyond it.
TEST_F(TraceTest, FileNeverGrowsPastItsLimit)
{
    const std::string single = "\nContinued at beginning of file\n\n";
    struct Case {
        const char *name;
        uint32_t segments, sizeMB, lastMB;
        // per file written: its name suffix, limit in MB and the marker it ends with
        std::vector<std::tuple<std::string, uint32_t, std::string>> files;
    };
    const Case cases[] = {
        {"single file", 0, 1, 0, {{"", 1, single}}},
        {"segments", 2, 1, 2,
         {{".1", 1, "\nContinued at beginning of segment 2\n\n"},
          {".2", 2, "\nContinued at beginning of segment 1\n\n"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = path(std::string("bound-") + std::to_string(c.segments));
        trOpenParms_t p;
        p.fileName = base.c_str();
        p.wrapping = 1;
        p.maxSizeMB = c.segments ? 0 : c.sizeMB;
        p.segmentCount = c.segments;
        p.segmentSizeMB = c.segments ? c.sizeMB : 0;
        p.lastSegmentSizeMB = c.lastMB;
        ASSERT_EQ(trOpen(&p), 0);
        for (const auto &[suffix, mb, marker] : c.files) {
            const uint64_t limit = (uint64_t)mb * 1048576;
            fillToBound(limit, marker.size());
            ASSERT_EQ(readFile(base + suffix).find("Continued at beginning"), std::string::npos) << "wrapped early";
            // One byte at a time until the file wraps: never past the limit.
            std::string f;
            int writes = 0;
            while (writes < 64 && f.find(marker) == std::string::npos) {
                trPrint("x");
                writes++;
                f = readFile(base + suffix);
                ASSERT_LE(f.size(), limit) << suffix << " after " << writes << " bytes";
            }
            EXPECT_EQ(writes, 1) << suffix << ": the first byte past the bound wraps";
            EXPECT_EQ(f.size(), limit) << suffix;
            EXPECT_EQ(f.substr(f.size() - marker.size()), marker) << suffix;
            // Shortly behind the header again, or in the next segment.
            EXPECT_LT((uint64_t)traceObj->nextWrite, 4096u) << suffix;
        }
        trShutdown();
        for (const auto &[suffix, mb, marker] : c.files)
            EXPECT_LE(fs::file_size(base + suffix), (uint64_t)mb * 1048576) << suffix << " after close";
    }
}

// A dump longer than the whole file is cut to what fits behind the header.
TEST_F(TraceTest, OutputLargerThanTheFileIsCut)
{
    const std::string file = path("huge.trc");
    ASSERT_EQ(openWrapping(file, 1), 0);
    const std::string bytes(700000, '\xAB');   // 1.4 MB as hex pairs
    trPrintStr(bytes.data(), bytes.size(), PS_HEX);
    trPrint("after\n");
    trShutdown();
    const std::string c = readFile(file);
    EXPECT_LE(c.size(), 1048576u);
    const Header h = parseHeader(c);
    EXPECT_EQ(c.substr(h.nextWrite - 6, 6), "after\n");
    EXPECT_GT(countOf(c, "ABABABAB"), 100000u) << "the dump's beginning is kept";
}

TEST_F(TraceTest, ConcurrentWritersKeepLinesWholeAndHeaderRight)
{
    const std::string file = path("threads.trc");
    ASSERT_EQ(openWrapping(file, 1), 0);
    TR_PREFIX = 1;
    // Four writers, 1500 lines each: about 1.4 MB, so the file wraps while they run.
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; w++)
        writers.emplace_back([w] { traceLines(w * 1500, (w + 1) * 1500); });
    for (auto &t : writers)
        t.join();
    const std::string c = readFile(file);
    const Header h = parseHeader(c);
    ASSERT_EQ(c.substr(h.nextWrite, sizeof EOD - 1), EOD);
    ASSERT_NE(c.find("\nContinued at beginning of file\n\n"), std::string::npos);
    size_t lines = 0;
    for (size_t pos = h.dataStart; pos < h.nextWrite; pos += LINE_LEN, lines++) {
        const int n = lineNumberAt(c, pos);
        ASSERT_GE(n, 0) << "torn line at " << pos;
        ASSERT_EQ(c.substr(pos, LINE_LEN), tracedLine(n)) << "at " << pos;
    }
    EXPECT_GT(lines, 0u);
}

struct ReuseCase {
    const char *name;
    uint32_t firstMB;
    uint32_t secondMB;
    bool reused;
};

TEST_F(TraceTest, ExistingFileReusedOrRecreatedByRecordedMaximum)
{
    const ReuseCase cases[] = {
        {"same maximum", 2, 2, true},
        {"recorded maximum below current", 1, 2, true},
        {"recorded maximum above current", 2, 1, false},
    };
    for (const auto &rc : cases) {
        const std::string file = path(std::string("reuse-") + std::to_string(rc.firstMB) + std::to_string(rc.secondMB));
        ASSERT_EQ(openWrapping(file, rc.firstMB), 0) << rc.name;
        trPrintf("t", 1, "first run\n");
        trShutdown();
        const size_t firstEnd = parseHeader(readFile(file)).nextWrite;

        ASSERT_EQ(openWrapping(file, rc.secondMB), 0) << rc.name;
        trPrintf("t", 2, "second run\n");
        trShutdown();
        const std::string c = readFile(file);
        const Header h = parseHeader(c);
        EXPECT_EQ(h.maxMB, rc.secondMB) << rc.name;
        EXPECT_EQ(c.find("first run") != std::string::npos, rc.reused) << rc.name;
        EXPECT_EQ(countOf(c, "BEGINNING NEW TRACE"), rc.reused ? 2u : 1u) << rc.name;
        if (rc.reused) {
            EXPECT_EQ(c.substr(firstEnd, 21), "BEGINNING NEW TRACE\n\n") << rc.name << ": continues where it stopped";
        }
        EXPECT_EQ(c.substr(h.nextWrite, sizeof EOD_CLOSE - 1), EOD_CLOSE) << rc.name;
    }
}

TEST_F(TraceTest, ExistingFileThatCannotBeTrustedIsRecreated)
{
    struct Damage {
        const char *name;
        void (*apply)(const std::string &file);
    };
    const Damage damages[] = {
        {"larger than the maximum",
         [](const std::string &f) { std::ofstream(f, std::ios::app | std::ios::binary) << std::string(1100000, 'o'); }},
        {"next-write beyond the end",
         [](const std::string &f) {
             std::fstream s(f, std::ios::in | std::ios::out | std::ios::binary);
             s.seekp(12);
             s << "99999999    ";
         }},
        {"foreign text", [](const std::string &f) { std::ofstream(f, std::ios::binary) << "not a trace file\n"; }},
    };
    for (const auto &d : damages) {
        const std::string file = path("damaged");
        ASSERT_EQ(openWrapping(file, 1), 0);
        trPrintf("t", 1, "old line\n");
        trShutdown();
        d.apply(file);
        ASSERT_EQ(openWrapping(file, 1), 0) << d.name;
        trShutdown();
        const std::string c = readFile(file);
        EXPECT_EQ(c.find("old line"), std::string::npos) << d.name;
        EXPECT_EQ(countOf(c, "BEGINNING NEW TRACE"), 1u) << d.name;
        EXPECT_LT(c.size(), 200u) << d.name;
    }
}

// A file whose recorded position leaves no room for a marker before the
// maximum could only grow past it: it is recreated, not reused.
TEST_F(TraceTest, ExistingFileWithoutRoomBehindItsPositionIsRecreated)
{
    const std::string file = path("full.trc");
    ASSERT_EQ(openWrapping(file, 1), 0);
    trPrint("old line\n");
    fillToBound(1048576, 33);
    trShutdown();
    const size_t size = fs::file_size(file);
    ASSERT_GT(size, 1048576u - 64);
    {
        std::fstream s(file, std::ios::in | std::ios::out | std::ios::binary);
        s.seekp(12);
        s << std::left << std::setw(12) << (size - 5);
    }
    ASSERT_EQ(openWrapping(file, 1), 0);
    trShutdown();
    const std::string c = readFile(file);
    EXPECT_EQ(c.find("old line"), std::string::npos);
    EXPECT_LT(c.size(), 200u);
}

TEST_F(TraceTest, FileNameLengthLimit)
{
    const std::string ok = "/" + std::string(TR_MAX_NAME_LEN - 1, 'n');
    const std::string tooLong = "/" + std::string(TR_MAX_NAME_LEN, 'n');
    trOpenParms_t p;
    p.fileName = "STDOUT";   // an object without a file name yet
    ASSERT_EQ(trOpen(&p), 0);
    EXPECT_EQ(trSetTraceFileNameNoLink(ok.c_str()), 0);
    EXPECT_EQ(std::string(traceObj->baseFileName), ok);
    EXPECT_EQ(std::string(traceObj->activeFileName), ok);
    trShutdown();

    ASSERT_EQ(trOpen(&p), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(trSetTraceFileNameNoLink(tooLong.c_str()), -1);
    EXPECT_EQ(trSetTraceFileNameNoLink(""), -1);
    EXPECT_EQ(trSetTraceFileNameNoLink(nullptr), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Invalid trace file name\nInvalid trace file name\nInvalid trace file name\n");
    EXPECT_EQ(traceObj->baseFileName[0], '\0');
    trShutdown();

    p.fileName = tooLong.c_str();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(trOpen(&p), -1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(traceObj, nullptr);
}

TEST_F(TraceTest, RelativeNameMadeAbsoluteWithinTheField)
{
    const char *oldPwd = getenv("PWD");
    const std::string saved = oldPwd != nullptr ? oldPwd : "";
    trOpenParms_t p;
    p.fileName = "STDOUT";

    setenv("PWD", dir_.c_str(), 1);
    ASSERT_EQ(trOpen(&p), 0);
    EXPECT_EQ(trSetTraceFileNameNoLink("  rel.trc"), 0);
    EXPECT_EQ(std::string(traceObj->activeFileName), dir_ + "/rel.trc");
    trShutdown();

    // A name that is short enough but too long once made absolute is refused.
    const std::string longDir = "/" + std::string(400, 'd');
    setenv("PWD", longDir.c_str(), 1);
    ASSERT_EQ(trOpen(&p), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(trSetTraceFileNameNoLink(std::string(TR_MAX_NAME_LEN, 'r').c_str()), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Invalid trace file name\n");
    trShutdown();

    // A quoted name is taken without its quotes.
    setenv("PWD", dir_.c_str(), 1);
    ASSERT_EQ(trOpen(&p), 0);
    EXPECT_EQ(trSetTraceFileNameNoLink("'with blank.trc' ignored"), 0);
    EXPECT_EQ(std::string(traceObj->activeFileName), dir_ + "/with blank.trc");
    trShutdown();

    if (oldPwd != nullptr)
        setenv("PWD", saved.c_str(), 1);
    else
        unsetenv("PWD");
}

TEST_F(TraceTest, StandardStreamsInAnyCase)
{
    struct StdCase {
        const char *name;
        bool toStdout;
    };
    const StdCase cases[] = {{"STDOUT", true}, {"stdout", true}, {"StdOut", true}, {"sTdErR", false}};
    for (const auto &sc : cases) {
        trOpenParms_t p;
        p.fileName = sc.name;
        p.screenOutput = 1;
        if (sc.toStdout)
            ::testing::internal::CaptureStdout();
        else
            ::testing::internal::CaptureStderr();
        ASSERT_EQ(trOpen(&p), 0) << sc.name;
        EXPECT_EQ(trCanOutPut(), 1) << sc.name;
        EXPECT_EQ(trPrintf("t", 1, "line %d\n", 7), 7) << sc.name;
        trShutdown();
        std::string out = sc.toStdout ? ::testing::internal::GetCapturedStdout()
                                      : ::testing::internal::GetCapturedStderr();
        EXPECT_NE(out.find(sc.toStdout ? "Tracing to stdout\n" : "Tracing to stderr\n"), std::string::npos) << sc.name;
        EXPECT_NE(out.find("line 7\n"), std::string::npos) << sc.name;
    }

    // Without screen output the standard streams stay shut.
    trOpenParms_t p;
    p.fileName = "stdout";
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(trOpen(&p), 0);
    EXPECT_EQ(trCanOutPut(), 0);
    EXPECT_EQ(trPrintf("t", 1, "hidden\n"), 0);
    trShutdown();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

struct ConsoleLog {
    std::vector<std::pair<int, std::string>> calls;
    int openAnswer = 0;
};

int consoleFn(int kind, const char *text, void *ctx)
{
    auto *log = static_cast<ConsoleLog *>(ctx);
    log->calls.emplace_back(kind, text != nullptr ? text : "");
    return kind == 0 ? log->openAnswer : 1;
}

TEST_F(TraceTest, ConsoleCallback)
{
    ConsoleLog log;
    trOpenParms_t p;
    p.fileName = "Console";
    p.consoleFn = consoleFn;
    p.consoleCtx = &log;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(trOpen(&p), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Tracing to stderr\n");
    trPrintf("t", 1, "to console\n");
    trPrintStr("\x01\x02", 2, PS_HEX);
    trShutdown();
    ASSERT_EQ(log.calls.size(), 4u);
    EXPECT_EQ(log.calls[0].first, 0);
    EXPECT_EQ(log.calls[1], std::make_pair(1, std::string("to console\n")));
    EXPECT_EQ(log.calls[2], std::make_pair(1, std::string("0102")));
    EXPECT_EQ(log.calls[3].first, 2);

    ConsoleLog refusing;
    refusing.openAnswer = 5;
    p.consoleCtx = &refusing;
    EXPECT_EQ(trOpen(&p), 426);
    EXPECT_EQ(traceObj, nullptr);
}

TEST_F(TraceTest, PrintStrFormsReachEveryDestination)
{
    const std::string bytes("\x00\x01\x02\x03\x04", 5);
    for (int wrapping : {0, 1}) {
        const std::string file = path(wrapping ? "dump-wrap" : "dump-plain");
        trOpenParms_t p;
        p.fileName = file.c_str();
        p.wrapping = wrapping;
        p.maxSizeMB = 1;
        ASSERT_EQ(trOpen(&p), 0);
        trPrintStr(bytes.data(), bytes.size(), PS_HEXDUMP);
        trPrintStr("\xC1\xC2", 2, PS_EBCDIC);
        trPrintStr("ab\x01", 3, PS_CHAR);
        trPrintStr("xyz", 0, PS_HEX);   // nothing for length 0
        const std::string c = readFile(file);
        EXPECT_NE(c.find("00010203 04AB" "ab."), std::string::npos) << wrapping;
        if (wrapping) {
            const Header h = parseHeader(c);
            EXPECT_EQ(c.substr(h.nextWrite - 3, 3 + sizeof EOD - 1), std::string("ab.") + EOD);
        } else {
            EXPECT_EQ(c.compare(0, 12, HEADER_ID), 0);
            EXPECT_NE(c.find("\nBuild Date: "), std::string::npos);
            EXPECT_EQ(c.substr(c.size() - 16), "00010203 04ABab.");
        }
        trShutdown();
    }
}

void tagHook(char *line, size_t lineSize, char *tag, size_t tagSize)
{
    snprintf(line, lineSize, "thread line\n");
    snprintf(tag, tagSize, "<T7>");
}

TEST_F(TraceTest, PrefixesOfATracedLine)
{
    const std::string file = path("prefix.trc");
    trOpenParms_t p;
    p.fileName = file.c_str();
    p.clientType = 1;
    p.threadTagFn = tagHook;
    ASSERT_EQ(trOpen(&p), 0);
    TR_PREFIX = TR_TIMESTAMP = TR_PID = TR_TID = TR_CLIENTTYPE = 1;
    trPrintf("unit", 42, "tagged\n");
    TR_TIMESTAMP = TR_PID = TR_TID = 0;
    trPrintf("unit", 43, "client only\n");
    TR_CLIENTTYPE = 0;
    traceObj->clientType = 77;
    TR_CLIENTTYPE = 1;
    trPrintf("u", 1, "x\n");
    trShutdown();

    const std::string c = readFile(file);
    char pid[32];
    snprintf(pid, sizeof pid, "[%.6u]", (unsigned)getpid());
    // "<date> <hh:mm:ss.mmm> [pid] <tag>[client]: <file/line prefix><text>"
    const std::string tail = std::string(" ") + pid + " <T7>[ctCLAdmin   ]: unit                (  42): tagged\n";
    const size_t lineStart = c.find("thread line\n");
    ASSERT_NE(lineStart, std::string::npos) << c;
    const size_t tailAt = c.find(tail, lineStart);
    ASSERT_NE(tailAt, std::string::npos) << c;
    const std::string stamp = c.substr(lineStart + 12, tailAt - lineStart - 12);
    ASSERT_GE(stamp.size(), 14u) << stamp;
    const std::string clock = stamp.substr(stamp.size() - 12);
    EXPECT_EQ(stamp[stamp.size() - 13], ' ') << stamp;
    EXPECT_TRUE(clock[2] == ':' && clock[5] == ':' && clock[8] == '.') << stamp;
    EXPECT_NE(c.find("\n[ctCLAdmin   ]unit                (  43): client only\n"), std::string::npos) << c;
    EXPECT_NE(c.find("\n[ctUnkown    ]u                   (   1): x\n"), std::string::npos) << c;
}

TEST_F(TraceTest, TimestampOptionAndHeaderLines)
{
    const std::string file = path("header.trc");
    trOpenParms_t p;
    p.fileName = file.c_str();
    p.wrapping = 1;
    p.maxSizeMB = 3;
    p.timestamp = 1;
    p.printHeader = 1;
    ASSERT_EQ(trOpen(&p), 0);
    EXPECT_EQ(TR_TIMESTAMP, 1);
    EXPECT_EQ(TR_PREFIX, 1);
    trShutdown();
    const std::string c = readFile(file);
    EXPECT_NE(c.find("): Tracing to file: " + file + "\n"), std::string::npos) << c;
    EXPECT_NE(c.find("): Tracefile maximum length set to 3 MB.\n"), std::string::npos) << c;
    EXPECT_NE(c.find(" - Trace begun.\n"), std::string::npos) << c;
}

TEST_F(TraceTest, WriteFailureDisablesTracing)
{
    struct FailCase {
        const char *name;
        int wrapping;
        bool untagged;
        const char *message;
    };
    const FailCase cases[] = {
        {"plain", 0, false, "Unable to write to trace file %s. Tracing disabled.\n"},
        {"wrapping", 1, false, "Unable to write to trace file %s. Tracing disabled.\n"},
        {"plain untagged", 0, true, "Unable to write to trace file %s error is (28) No space left on device. Tracing disabled.\n"},
        {"wrapping untagged", 1, true, "Unable to write to trace file %s error is (0) Success. Tracing disabled.\n"},
    };
    for (const auto &fc : cases) {
        const std::string file = path("full.trc");
        trOpenParms_t p;
        p.fileName = file.c_str();
        p.wrapping = fc.wrapping;
        p.maxSizeMB = 1;
        ASSERT_EQ(trOpen(&p), 0) << fc.name;
        int full = open("/dev/full", O_WRONLY);
        ASSERT_GE(full, 0);
        ASSERT_GE(dup2(full, fileno(traceObj->stream)), 0);
        close(full);
        errno = 99;
        ::testing::internal::CaptureStdout();
        if (fc.untagged)
            trPrint("%s\n", std::string(100, 'u').c_str());
        else
            trPrintf("t", 1, "%s\n", std::string(100, 'w').c_str());
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(errno, 99) << fc.name;
        char expected[2048];
        snprintf(expected, sizeof expected, fc.message, file.c_str());
        EXPECT_NE(out.find(expected), std::string::npos) << fc.name << ": " << out;
        EXPECT_EQ(trCanOutPut(), 0) << fc.name;
        EXPECT_EQ(trPrintf("t", 2, "after\n"), 0) << fc.name;
        trShutdown();
        fs::remove(file);
    }
}

TEST_F(TraceTest, OpenRefusals)
{
    trOpenParms_t p;
    const std::string file = path("x.trc");
    p.fileName = file.c_str();
    p.wrapping = 1;
    EXPECT_EQ(trOpen(&p), -1) << "wrapping needs a maximum";
    p.maxSizeMB = 1;
    p.segmentCount = 2;
    EXPECT_EQ(trOpen(&p), -1) << "segments need a segment size";
    p.wrapping = 0;
    p.segmentSizeMB = 1;
    EXPECT_EQ(trOpen(&p), -1) << "segments need wrapping";
    EXPECT_EQ(trOpen(nullptr), -1);

    // A link is not followed; a directory cannot be opened.
    const std::string target = path("target"), link = path("link.trc");
    std::ofstream(target) << "keep me";
    fs::create_symlink(target, link);
    trOpenParms_t q;
    q.fileName = link.c_str();
    q.screenOutput = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(trOpen(&q), 426);
    q.fileName = dir_.c_str();
    EXPECT_EQ(trOpen(&q), 426);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Unable to open trace output file " + link + "\n"), std::string::npos) << out;
    EXPECT_EQ(readFile(target), "keep me");
    EXPECT_EQ(traceObj, nullptr);
}

TEST_F(TraceTest, ErrnoKeptWhileTracingToAFile)
{
    const std::string file = path("errno.trc");
    ASSERT_EQ(openWrapping(file, 1), 0);
    TR_GENERAL = 1;
    errno = 77;
    trPrintf("t", 1, "a\n");
    trPrint("b\n");
    TRACE_Fkt("t", 2)(TR_GENERAL, "c\n");
    trPrintStr("d", 1, PS_CHAR);
    trLogPrintf("t", 3, TR_GENERAL, "e\n");
    EXPECT_EQ(errno, 77);
    trShutdown();
    const std::string c = readFile(file);
    EXPECT_NE(c.find("a\nb\nc\nde\n"), std::string::npos) << c;
}

} // namespace
